"""Signing in to the console: the client address that the lockout (django-axes) counts."""

import ipaddress

from django.conf import settings
from django.http import HttpRequest


def client_address(request: HttpRequest) -> str | None:
    """The address of the client, as the proxies that the settings trust report it.

    Each of ``TRUSTED_PROXY_COUNT`` proxies appends the address it was reached
    from to X-Forwarded-For, so the client's own is that many places from the
    right: whatever a client wrote there itself stands further left and is never
    taken.  Without trusted proxies, or when the header holds fewer addresses
    than that (a request that bypassed them), it is the connection's address.
    """
    count = settings.TRUSTED_PROXY_COUNT
    hops = request.META.get("HTTP_X_FORWARDED_FOR", "").split(",")
    if count and len(hops) >= count:
        try:
            return str(ipaddress.ip_address(hops[-count].strip()))
        except ValueError:
            pass  # not an address: the proxies are not the ones trusted
    return request.META.get("REMOTE_ADDR")
