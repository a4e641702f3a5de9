"""The machine identity page of the operators' console."""

from django.contrib import admin
from django.core.exceptions import PermissionDenied
from django.http import HttpRequest, HttpResponse
from django.template.response import TemplateResponse

from mysite.base.models import VIEW_IDENTITY, Parameter
from mysite.core.checks import check_machine_identity
from mysite.core.identity import exception_line
from mysite.core.report import identity_report

IDENTITY_PERMISSION = f"{Parameter._meta.app_label}.{VIEW_IDENTITY}"


def machine_identity(request: HttpRequest) -> HttpResponse:
    """The identity as read now, each source's answer, and the deployment checks' findings."""
    if not request.user.has_perm(IDENTITY_PERMISSION):
        raise PermissionDenied
    report, failure = None, None
    try:
        report = identity_report()
    except Exception as exc:  # the findings below say what to do about it
        failure = exception_line(exc)
    context = {
        **admin.site.each_context(request),
        "title": "Machine identity",
        "report": report,
        "failure": failure,
        "findings": check_machine_identity(),
    }
    return TemplateResponse(request, "admin/base/machine_identity.html", context)
