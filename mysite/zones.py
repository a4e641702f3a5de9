"""The zone of the times the application shows and logs, from MYSITE_TIME_ZONE: read by
the settings, and by gunicorn's master before it loads them."""

import os
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

from django.core.exceptions import ImproperlyConfigured


def configured_time_zone() -> str:
    """The zone MYSITE_TIME_ZONE names, UTC when it is empty or not set."""
    name = os.environ.get("MYSITE_TIME_ZONE") or "UTC"
    try:
        ZoneInfo(name)
    except (ZoneInfoNotFoundError, ValueError):  # not a name, or naming no zone
        raise ImproperlyConfigured(
            f"MYSITE_TIME_ZONE names no time zone: {name!r} (a name of the tz database, such as Europe/Berlin)"
        ) from None
    return name
