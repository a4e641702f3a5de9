"""WSGI entry of the application, for servers such as gunicorn: ``mysite.wsgi:application``.

Uses ``mysite.settings`` unless DJANGO_SETTINGS_MODULE names other settings.
"""

import os

from django.core.wsgi import get_wsgi_application

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

application = get_wsgi_application()
