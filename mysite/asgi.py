"""ASGI entry of the application, for asynchronous servers: ``mysite.asgi:application``.

Uses ``mysite.settings`` unless DJANGO_SETTINGS_MODULE names other settings,
and needs MYSITE_SECRET_KEY unless MYSITE_DEBUG=1.
"""

from django.core.asgi import get_asgi_application

from mysite.serving import served

application = served(get_asgi_application)
