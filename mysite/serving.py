"""What the WSGI and ASGI entries share: the settings a served site runs with,
and the server registry's record of each serving process."""

import os
from collections.abc import Callable
from typing import TypeVar

from django.core.exceptions import ImproperlyConfigured


def load_settings():
    """The settings a served site runs with: the application's, unless DJANGO_SETTINGS_MODULE
    names others.  Loading them makes their TIME_ZONE this process's zone (Django sets TZ)."""
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")
    from django.conf import settings

    settings.TIME_ZONE  # noqa: B018 - loads them
    return settings


def configure_served_settings() -> None:
    """Load the served settings and refuse to serve with the development secret key, which is
    published with the source: anyone could sign cookies for the site."""
    settings = load_settings()
    from mysite.settings import DEVELOPMENT_SECRET_KEY

    if not settings.DEBUG and settings.SECRET_KEY == DEVELOPMENT_SECRET_KEY:
        raise ImproperlyConfigured(
            "MYSITE_SECRET_KEY is not set: a served site needs a secret key of its own "
            "(only MYSITE_DEBUG=1 serves with the published development key)"
        )


Application = TypeVar("Application")


def served(make_application: Callable[[], Application]) -> Application:
    """The application an entry serves; each serving process records itself in
    the server registry from its first request on."""
    configure_served_settings()
    application = make_application()
    from mysite.base.servers import register_when_serving  # needs the application loaded

    register_when_serving()
    return application
