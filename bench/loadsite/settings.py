"""The application's settings, with the load views as URLs and server errors logged."""

from mysite.settings import *  # noqa: F403

ROOT_URLCONF = "bench.loadsite.urls"

# Without DEBUG, Django logs a server error's traceback nowhere visible.
LOGGING = {
    **LOGGING,  # noqa: F405
    "handlers": {**LOGGING["handlers"], "traceback": {"class": "logging.StreamHandler"}},  # noqa: F405
    "loggers": {**LOGGING["loggers"], "django.request": {"handlers": ["traceback"], "level": "ERROR"}},  # noqa: F405
}
