"""WSGI entry of the application, for servers such as gunicorn: ``mysite.wsgi:application``.

Uses ``mysite.settings`` unless DJANGO_SETTINGS_MODULE names other settings,
and needs MYSITE_SECRET_KEY unless MYSITE_DEBUG=1.
"""

from django.core.wsgi import get_wsgi_application

from mysite.serving import served

application = served(get_wsgi_application)
