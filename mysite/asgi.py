"""ASGI entry of the application, for asynchronous servers: ``mysite.asgi:application``.

Uses ``mysite.settings`` unless DJANGO_SETTINGS_MODULE names other settings.
"""

import os

from django.core.asgi import get_asgi_application

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

application = get_asgi_application()

# Each serving process records itself in the server registry, from its first request on.
from mysite.base.servers import register_when_serving  # noqa: E402 - needs the application loaded

register_when_serving()
