"""The machine identity and servers pages of the operators' console."""

from django.conf import settings
from django.contrib import admin, messages
from django.core.exceptions import PermissionDenied
from django.http import HttpRequest, HttpResponse
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


def installation_servers(request: HttpRequest) -> HttpResponse:
    """Every server recorded in the registry, with what stands out; POST ``remove``: drop a record."""
    if not request.user.has_perm(VIEW_SERVERS):
        raise PermissionDenied
    if request.method == "POST":
        if not request.user.has_perm(REMOVE_SERVERS):
            raise PermissionDenied
        chosen = request.POST.get("remove", "")
        server = Server.objects.filter(pk=chosen).first() if chosen.isdigit() else None
        if server:
            server.delete()
            messages.success(request, f"The record of {server.name} was removed. A server that still runs "
                             f"records itself again within {servers.REFRESH_SECONDS // 60} minutes.")
        return redirect("servers")
    rows, findings, failure = [], [], None
    try:
        recorded = servers.all_servers()
    except servers.RegistryUnavailable as exc:
        failure = str(exc)
    else:
        rows = servers.standings(recorded)
        this_server = next((server for server in recorded if server.name == settings.SERVER_NAME), None)
        findings = servers.findings(this_server, recorded) if this_server else []
    context = {
        **admin.site.each_context(request),
        "title": "Servers",
        "rows": rows,
        "findings": findings,
        "failure": failure,
        "this_server": settings.SERVER_NAME,
        "stale_days": settings.SERVER_STALE_DAYS,
        "may_remove": request.user.has_perm(REMOVE_SERVERS),
    }
    return TemplateResponse(request, "admin/base/servers.html", context)
