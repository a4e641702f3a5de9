"""Deployment checks of the native module (``python manage.py check --deploy``).

Registered for deployment checks only: reading the identity starts the
firmware-query programs, which an ordinary ``check``, run by every management
command and by the development server, must not do.  A check reports what it
finds and never raises: whatever goes wrong becomes one of its messages.
"""

import importlib
from dataclasses import dataclass

from django.core.checks import CheckMessage, Error, Warning

from mysite.core.identity import exception_line, firmware_hint, not_unique, not_unique_hint
from mysite.core.report import IdentityReport, identity_report

INSTALL_COMMAND = 'python -m pip install -e ".[production]"'
# The built-in key of a build that sets no VORLIK_DEFAULT_KEY (the default in
# pyproject.toml and CMakeLists.txt): anyone with the source code knows it.
PUBLISHED_DEFAULT_KEY = "Vk7#mQ2p!Lx9@Rb4"
KEY_PROBE = "Is the built-in key the published one?"


def _import_module():
    """The native module, or the E001 error that says why it cannot be imported."""
    try:
        return importlib.import_module("mysite.core.vorlik"), None
    except Exception as exc:
        return None, Error(
            f"The native module mysite.core.vorlik cannot be imported: {type(exc).__name__}: {exc}",
            hint=f"Build and install it with {INSTALL_COMMAND} in the project's virtual environment "
            "(see the README); it needs CMake and a C++20 compiler.",
            id="vorlik.E001",
        )


def _cannot_read(reason: str) -> Error:
    return Error(
        f"The machine identity cannot be read: {reason}",
        hint="python manage.py vorlik identity --verbose shows where it fails.",
        id="vorlik.E002",
    )


@dataclass
class IdentityCheck:
    """One reading of the machine identity and the findings about it."""

    report: IdentityReport | None
    failure: str  # why there is no report; empty when there is one
    findings: list[CheckMessage]


def check_identity() -> IdentityCheck:
    """Read the identity once, within its bound, and find what stands out about it; never raises."""
    _, error = _import_module()
    if error:
        return IdentityCheck(None, error.msg, [error])
    try:
        report = identity_report()
    except Exception as exc:
        failure = exception_line(exc)
        return IdentityCheck(None, failure, [_cannot_read(failure)])
    try:
        findings = _identity_findings(report)
    except Exception as exc:  # an identity of unexpected types
        findings = [_cannot_read(exception_line(exc))]
    return IdentityCheck(report, "", findings)


def check_machine_identity(app_configs=None, **kwargs) -> list:
    """The findings about the machine identity (see ``check_identity``)."""
    return check_identity().findings


def _identity_findings(report: IdentityReport) -> list:
    category, identifier, forced = report.category, report.identifier, report.forced_mac
    problem = not_unique(category, identifier)
    if problem:
        return [Warning(problem, hint=not_unique_hint(category, forced, report.notes), id="vorlik.W001")]
    if category == "MAC" and not forced:
        return [
            Warning(
                f"The machine identity comes from a network adapter's address (MAC {identifier}): it changes "
                "when that adapter is replaced or another one is listed first.",
                hint=firmware_hint(report.notes) + " The identity changes once when it does: update what was "
                "stored under the current one.",
                id="vorlik.W002",
            )
        ]
    return []


def check_default_key(app_configs=None, **kwargs) -> list:
    vorlik, error = _import_module()
    if error:
        return []  # the identity check reports it
    try:
        published = vorlik.aes_encrypt(KEY_PROBE) == vorlik.aes_encrypt(KEY_PROBE, PUBLISHED_DEFAULT_KEY)
    except Exception as exc:
        return [
            Error(
                f"The text cipher fails with its built-in default key: {type(exc).__name__}: {exc}",
                hint="python manage.py vorlik encrypt --verbose shows where it fails.",
                id="vorlik.E003",
            )
        ]
    if not published:
        return []
    return [
        Warning(
            "The text cipher's built-in default key is the one published with the source code: anyone "
            "who has the source can read what this installation encrypts without an explicit key.",
            hint="A new installation builds with its own key: VORLIK_DEFAULT_KEY='16 characters of your own' "
            f"{INSTALL_COMMAND} (see the README's security notes). An installation that has stored text "
            "under this key must keep it, or re-encrypt that text first.",
            id="vorlik.W003",
        )
    ]
