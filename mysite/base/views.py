"""The machine identity and servers pages of the operators' console."""

import re

from django.conf import settings
from django.contrib import admin, messages
from django.core.exceptions import PermissionDenied
from django.core.paginator import Paginator
from django.http import HttpRequest, HttpResponse, HttpResponseBadRequest
from django.shortcuts import redirect
from django.template.response import TemplateResponse

from mysite.base import servers
from mysite.base.models import VIEW_IDENTITY, Parameter, Server
from mysite.core.checks import check_identity

IDENTITY_PERMISSION = f"{Parameter._meta.app_label}.{VIEW_IDENTITY}"


def machine_identity(request: HttpRequest) -> HttpResponse:
    """The identity as read now, each source's answer, and the deployment checks' findings about
    that one reading."""
    if not request.user.has_perm(IDENTITY_PERMISSION):
        raise PermissionDenied
    checked = check_identity()
    context = {
        **admin.site.each_context(request),
        "title": "Machine identity",
        "report": checked.report,
        "failure": checked.failure,
        "findings": checked.findings,
    }
    return TemplateResponse(request, "admin/base/machine_identity.html", context)


VIEW_SERVERS = "base.view_server"
REMOVE_SERVERS = "base.delete_server"
SERVERS_PER_PAGE = 100
RECORD_NUMBER = re.compile(r"[0-9]{1,18}")  # ASCII digits only, and within a 64-bit key


def installation_servers(request: HttpRequest) -> HttpResponse:
    """Every server recorded in the registry, those where something stands out first, a page at a time;
    POST ``remove``: drop a record."""
    if not request.user.has_perm(VIEW_SERVERS):
        raise PermissionDenied
    if request.method == "POST":
        if not request.user.has_perm(REMOVE_SERVERS):
            raise PermissionDenied
        return _remove(request, request.POST.get("remove", ""))
    page, rows, standing_out, findings, recorded, failure = None, [], 0, [], None, None
    try:
        listing = servers.Listing()
        standing_out = len(listing.standing_out)
        page = Paginator(listing.order, SERVERS_PER_PAGE).get_page(request.GET.get("page"))
        rows = listing.standings(list(page.object_list))
        recorded = servers.this_server()
        if recorded:  # from what the list read already
            shown = next((row.history for row in rows if row.server.pk == recorded.pk), None)
            findings = servers.findings(recorded, listing.seen, shown)
    except servers.RegistryUnavailable as exc:
        failure = str(exc)
    context = {
        **admin.site.each_context(request),
        "title": "Servers",
        "page": page,
        "rows": rows,
        "standing_out": standing_out,
        "findings": findings,
        "recorded": recorded,
        "failure": failure,
        "this_server": settings.SERVER_NAME,
        "stale_days": settings.SERVER_STALE_DAYS,
        "time_zone": settings.TIME_ZONE,
        "forget_days": settings.SERVER_FORGET_DAYS,
        "refresh_minutes": servers.REFRESH_SECONDS // 60,
        "may_remove": request.user.has_perm(REMOVE_SERVERS),
    }
    return TemplateResponse(request, "admin/base/servers.html", context)


def _remove(request: HttpRequest, chosen: str) -> HttpResponse:
    if not RECORD_NUMBER.fullmatch(chosen):
        return HttpResponseBadRequest("remove: the number of a server's record, in ASCII digits, is expected")
    server = Server.objects.filter(pk=int(chosen)).first()
    minutes = servers.REFRESH_SECONDS // 60
    if server is None:
        messages.warning(request, "That record is no longer there: it was removed already.")
    elif server.name == settings.SERVER_NAME:
        server.delete()
        messages.success(request, f"The record of {server.name}, this server, was removed with its history. "
                         f"It comes back at this server's next refresh, within {minutes} minutes, "
                         "with a history that starts anew.")
    else:
        server.delete()
        messages.success(request, f"The record of {server.name} was removed with its history. A server that "
                         f"still runs records itself again within {minutes} minutes.")
    return redirect("servers")
