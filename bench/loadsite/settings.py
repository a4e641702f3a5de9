"""The application's settings, with the load views as URLs and server errors logged."""

from mysite.settings import *  # noqa: F403

ROOT_URLCONF = "bench.loadsite.urls"

# Without DEBUG, Django logs a server error's traceback nowhere visible.
LOGGING = {
    "version": 1,
    "disable_existing_loggers": False,
    "handlers": {"stderr": {"class": "logging.StreamHandler"}},
    "loggers": {"django.request": {"handlers": ["stderr"], "level": "ERROR"}},
}
