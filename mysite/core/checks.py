"""Deployment checks of the machine identity (``python manage.py check --deploy``).

Registered for deployment checks only: reading the identity starts the
firmware-query programs, which an ordinary ``check``, run by every management
command and by the development server, must not do.
"""

import importlib

from django.core.checks import Error, Warning

from mysite.core.identity import Notes, firmware_hint, not_unique, not_unique_hint, observe

INSTALL_COMMAND = 'python -m pip install -e ".[test]"'


def check_machine_identity(app_configs=None, **kwargs) -> list:
    try:
        vorlik = importlib.import_module("mysite.core.vorlik")
    except Exception as exc:
        return [
            Error(
                f"The native module mysite.core.vorlik cannot be imported: {type(exc).__name__}: {exc}",
                hint=f"Build and install it with {INSTALL_COMMAND} in the project's virtual environment "
                "(see the README); it needs CMake and a C++20 compiler.",
                id="vorlik.E001",
            )
        ]
    forced = bool(vorlik.FORCED_MAC)
    seen = Notes()
    try:
        category, identifier = observe(vorlik.logger, vorlik.get_system_uuid, seen)
    except Exception as exc:
        return [
            Error(
                f"The machine identity cannot be read: {type(exc).__name__}: {exc}",
                hint="python manage.py vorlik identity --verbose shows where it fails.",
                id="vorlik.E002",
            )
        ]
    problem = not_unique(category, identifier)
    if problem:
        return [Warning(problem, hint=not_unique_hint(category, forced, seen.notes), id="vorlik.W001")]
    if category == "MAC" and not forced:
        return [
            Warning(
                f"The machine identity comes from a network adapter's address (MAC {identifier}): it changes "
                "when that adapter is replaced or another one is listed first.",
                hint=firmware_hint(seen.notes) + " The identity changes once when it does: update what was "
                "stored under the current one.",
                id="vorlik.W002",
            )
        ]
    return []
