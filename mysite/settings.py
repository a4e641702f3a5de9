"""Django settings of the host application.

Small on purpose: the application needs a settings object (the native module
reads ``FORCED_MAC`` from it while loading), the ``base`` app with its
parameter store, and a database.  Everything environment-specific is read from
environment variables so that a deployment changes no code.
"""

import os
from pathlib import Path

BASE_DIR = Path(__file__).resolve().parent.parent

SECRET_KEY = os.environ.get("MYSITE_SECRET_KEY", "insecure-development-key-change-me")
DEBUG = os.environ.get("MYSITE_DEBUG", "") == "1"
ALLOWED_HOSTS: list[str] = [
    host for host in os.environ.get("MYSITE_ALLOWED_HOSTS", "").split(",") if host
]

# The operators' console is Django's admin, with the apps it stands on.
INSTALLED_APPS = [
    "django.contrib.admin",
    "django.contrib.auth",
    "django.contrib.contenttypes",
    "django.contrib.sessions",
    "django.contrib.messages",
    "django.contrib.staticfiles",
    "mysite.base",
]

# Django's usual order; WhiteNoise right after the security middleware, so
# that static files get its headers and nothing else runs for them.
MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "whitenoise.middleware.WhiteNoiseMiddleware",
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.common.CommonMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.contrib.auth.middleware.AuthenticationMiddleware",
    "django.contrib.messages.middleware.MessageMiddleware",
    "django.middleware.clickjacking.XFrameOptionsMiddleware",
]

ROOT_URLCONF = "mysite.urls"

TEMPLATES = [
    {
        "BACKEND": "django.template.backends.django.DjangoTemplates",
        "DIRS": [],
        "APP_DIRS": True,
        "OPTIONS": {
            "context_processors": [
                "django.template.context_processors.request",
                "django.contrib.auth.context_processors.auth",
                "django.contrib.messages.context_processors.messages",
            ],
        },
    },
]

# Static files (the admin's CSS and JavaScript): "python manage.py
# collectstatic --noinput" gathers them into STATIC_ROOT, and WhiteNoise
# serves them from there, also with DEBUG off.
STATIC_URL = "static/"
STATIC_ROOT = os.environ.get("MYSITE_STATIC_ROOT", str(BASE_DIR / "staticfiles"))

# A web server writes from several threads and processes at once.  SQLite
# lets one writer in at a time: a transaction begun deferred, then upgraded to
# write after reading, fails at once with "database is locked" when another
# writer holds the lock.  So transactions take the write lock when they begin
# (IMMEDIATE), a writer waits up to the timeout (seconds) for the lock instead
# of failing, and write-ahead logging lets readers go on while one writes.
# Commits stay fully synchronous, so that a stored value survives a power cut.
DATABASES = {
    "default": {
        "ENGINE": "django.db.backends.sqlite3",
        "NAME": os.environ.get("MYSITE_DB_PATH", str(BASE_DIR / "db.sqlite3")),
        "OPTIONS": {
            "transaction_mode": "IMMEDIATE",
            "timeout": 20,
            "init_command": "PRAGMA journal_mode=WAL",
        },
    }
}

DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
USE_TZ = True

# When true, the machine identity always comes from the network adapter
# address, never from the firmware or the registry.  Read once when the
# native module loads.
FORCED_MAC = os.environ.get("MYSITE_FORCED_MAC", "") == "1"
