"""Django settings of the host application.

Small on purpose: the application needs a settings object (the native module
reads ``FORCED_MAC`` from it while loading), the ``base`` app with its
parameter store, and a database.  Everything environment-specific is read from
environment variables so that a deployment changes no code.
"""

import os
import socket
from datetime import timedelta
from pathlib import Path

from django.core.exceptions import ImproperlyConfigured

from mysite.zones import configured_time_zone

BASE_DIR = Path(__file__).resolve().parent.parent


def env_flag(name: str, default: bool = False) -> bool:
    return os.environ.get(name, "1" if default else "") == "1"


def env_int(name: str, default: int) -> int:
    return int(os.environ.get(name, default))


# Published with the source: the served entries refuse it unless DEBUG is on
# (mysite.serving); management commands and the tests run with it.
DEVELOPMENT_SECRET_KEY = "insecure-development-key-change-me"
SECRET_KEY = os.environ.get("MYSITE_SECRET_KEY", DEVELOPMENT_SECRET_KEY)
DEBUG = env_flag("MYSITE_DEBUG")
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
    "axes",
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
    # Last, as django-axes asks: it answers for a locked-out sign-in.
    "axes.middleware.AxesMiddleware",
]

ROOT_URLCONF = "mysite.urls"

# Signing in: Django's four password validators, and django-axes, which after
# MYSITE_LOGIN_FAILURE_LIMIT wrong passwords in a row for one user name from
# one address refuses that pair for MYSITE_LOGIN_COOLOFF_MINUTES, counted from
# the last wrong password before the lockout (tries during it do not extend it).
# By pair, so that guessing from elsewhere does not lock the operator out; the
# address is the client's own also behind trusted proxies (see below).
AUTH_PASSWORD_VALIDATORS = [
    {"NAME": f"django.contrib.auth.password_validation.{name}"}
    for name in [
        "UserAttributeSimilarityValidator",
        "MinimumLengthValidator",
        "CommonPasswordValidator",
        "NumericPasswordValidator",
    ]
]
AUTHENTICATION_BACKENDS = ["axes.backends.AxesStandaloneBackend", "django.contrib.auth.backends.ModelBackend"]
AXES_FAILURE_LIMIT = env_int("MYSITE_LOGIN_FAILURE_LIMIT", 5)
cooloff_minutes = env_int("MYSITE_LOGIN_COOLOFF_MINUTES", 15)
AXES_COOLOFF_TIME = timedelta(minutes=cooloff_minutes)
AXES_LOCKOUT_PARAMETERS = [["username", "ip_address"]]
AXES_RESET_ON_SUCCESS = True
AXES_RESET_COOL_OFF_ON_FAILURE_DURING_LOCKOUT = False
AXES_CLIENT_IP_CALLABLE = "mysite.base.signin.client_address"
AXES_COOLOFF_MESSAGE = (
    "Account locked: too many login attempts. Please try again in "
    f"{cooloff_minutes} minute{'' if cooloff_minutes == 1 else 's'}."
)
AXES_ENABLE_RETRY_AFTER_HEADER = True

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

# HTTPS: with MYSITE_HTTPS=1 plain HTTP is redirected, browsers are told to
# use HTTPS only (HSTS, a year by default) and cookies travel over HTTPS only.
https = env_flag("MYSITE_HTTPS")
SECURE_SSL_REDIRECT = https
SECURE_HSTS_SECONDS = env_int("MYSITE_HSTS_SECONDS", 31_536_000) if https else 0
SECURE_HSTS_INCLUDE_SUBDOMAINS = env_flag("MYSITE_HSTS_INCLUDE_SUBDOMAINS", default=True)
SECURE_HSTS_PRELOAD = env_flag("MYSITE_HSTS_PRELOAD", default=True)
SESSION_COOKIE_SECURE = https
CSRF_COOKIE_SECURE = https
# Behind a proxy that terminates TLS, the request reaching us is plain HTTP;
# trust the proxy's X-Forwarded-Proto only when it always sets it itself.
# Such proxies (MYSITE_PROXY_COUNT of them, one by default) also append the
# address they were reached from to X-Forwarded-For, which gives the sign-in
# lockout the client's own address rather than the nearest proxy's.
behind_proxies = env_flag("MYSITE_TRUST_X_FORWARDED_PROTO")
if behind_proxies:
    SECURE_PROXY_SSL_HEADER = ("HTTP_X_FORWARDED_PROTO", "https")
TRUSTED_PROXY_COUNT = env_int("MYSITE_PROXY_COUNT", 1) if behind_proxies else 0
if TRUSTED_PROXY_COUNT < 0:
    raise ImproperlyConfigured(f"MYSITE_PROXY_COUNT must be 0 or more, not {TRUSTED_PROXY_COUNT}")

# Response headers: no MIME sniffing, no framing by other sites, the referrer
# kept to this site.
SECURE_CONTENT_TYPE_NOSNIFF = True
X_FRAME_OPTIONS = "DENY"
SECURE_REFERRER_POLICY = os.environ.get("MYSITE_REFERRER_POLICY", "same-origin")

# The database: PostgreSQL (or any other) from MYSITE_DATABASE_URL, else SQLite.
#
# SQLite: a web server writes from several threads and processes at once.
# SQLite lets one writer in at a time: a transaction begun deferred, then
# upgraded to write after reading, fails at once with "database is locked"
# when another writer holds the lock.  So transactions take the write lock
# when they begin (IMMEDIATE), a writer waits up to the timeout (seconds) for
# the lock instead of failing, and write-ahead logging lets readers go on
# while one writes.  Commits stay fully synchronous, so that a stored value
# survives a power cut.
#
# PostgreSQL: waits are bounded (seconds), so that a database that is down,
# stuck or silent fails a request instead of holding a worker: connecting, each
# statement (lock waits included), and each wait for the server's answer, which
# the backend of mysite.postgresql ends itself when neither its connection nor a
# new one hears from the server.
DEFAULT_STATEMENT_TIMEOUT = 10
database_url = os.environ.get("MYSITE_DATABASE_URL", "")
if database_url:
    import dj_database_url

    DATABASES = {"default": dj_database_url.parse(database_url)}
    if DATABASES["default"]["ENGINE"] == "django.db.backends.postgresql":
        options = DATABASES["default"].setdefault("OPTIONS", {})
        DATABASES["default"]["ENGINE"] = "mysite.postgresql"
        connect_timeout = options["connect_timeout"] = env_int("MYSITE_DB_CONNECT_TIMEOUT", 5)
        if connect_timeout < 1:  # libpq takes 0 for no limit, which would hold a thread on a silent server
            raise ImproperlyConfigured(f"MYSITE_DB_CONNECT_TIMEOUT must be 1 or more, not {connect_timeout}")
        statement_timeout = env_int("MYSITE_DB_STATEMENT_TIMEOUT", DEFAULT_STATEMENT_TIMEOUT)
        # The server ends a statement whose connection has closed (checking each second;
        # the URL's own options come after, and win), and any statement at the timeout.
        options["options"] = (
            f"-c client_connection_check_interval=1000 {options.get('options', '')}"
            f" -c statement_timeout={statement_timeout * 1000}"
        )
        # Time for the server's own cancellation to arrive before asking it; statements without a
        # timeout get the default's, so that a silent server still frees the thread.
        options["answer_timeout"] = (statement_timeout or DEFAULT_STATEMENT_TIMEOUT) + 2
        pool = options.get("pool")
        if pool:
            # Django's pool (?pool=true): each process keeps MYSITE_DB_POOL_SIZE connections for
            # all its threads; a request waits for one up to the connect timeout.
            size = env_int("MYSITE_DB_POOL_SIZE", 4)
            if size < 1:
                raise ImproperlyConfigured(f"MYSITE_DB_POOL_SIZE must be 1 or more, not {size}")
            options["pool"] = {"min_size": size, "max_size": size, "timeout": connect_timeout}
        # Otherwise each server thread keeps its connection, checked before a request
        # uses it again; Django refuses kept connections beside its pool.
        conn_max_age = DATABASES["default"]["CONN_MAX_AGE"] = env_int("MYSITE_DB_CONN_MAX_AGE", 0 if pool else 600)
        if pool and conn_max_age:
            raise ImproperlyConfigured(
                f"MYSITE_DB_CONN_MAX_AGE must be 0 with the pool (?pool=true), not {conn_max_age}"
            )
        DATABASES["default"]["CONN_HEALTH_CHECKS"] = True
else:
    DATABASES = {
        "default": {
            "ENGINE": "mysite.sqlite3",  # Django's, with the file for its owner only
            "NAME": os.environ.get("MYSITE_DB_PATH", str(BASE_DIR / "db.sqlite3")),
            "OPTIONS": {
                "transaction_mode": "IMMEDIATE",
                "timeout": 20,
                "init_command": "PRAGMA journal_mode=WAL",
            },
        }
    }

# The installation's server registry: this server's name there (one name per
# application server; every server's is its host name unless set), after how
# many days without a sign of life a server no longer counts, and after how
# many more its record and history are removed.
SERVER_NAME = os.environ.get("MYSITE_SERVER_NAME", "").strip() or socket.gethostname()
SERVER_STALE_DAYS = env_int("MYSITE_SERVER_STALE_DAYS", 7)
SERVER_FORGET_DAYS = env_int("MYSITE_SERVER_FORGET_DAYS", 90)
if SERVER_FORGET_DAYS <= SERVER_STALE_DAYS:
    raise ImproperlyConfigured(
        f"MYSITE_SERVER_FORGET_DAYS ({SERVER_FORGET_DAYS}) must be longer than MYSITE_SERVER_STALE_DAYS "
        f"({SERVER_STALE_DAYS}): a server is forgotten only after it no longer counts"
    )

DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
USE_TZ = True
# Times shown (console, commands) are in this zone, which names them; loading
# the settings makes it the process's own (TZ), so log lines are in it too.
TIME_ZONE = configured_time_zone()

# When true, the machine identity always comes from the network adapter
# address, never from the firmware or the registry.  Read once when the
# native module loads.
FORCED_MAC = env_flag("MYSITE_FORCED_MAC")
# Seconds the firmware programs of one identity reading get before they are
# stopped and the identity comes from the next source (mysite.core.identity).
IDENTITY_TIMEOUT = env_int("MYSITE_IDENTITY_TIMEOUT", 10)

# The application's log records (the native module's among them) on standard
# error, one line each: a failure's traceback only with DEBUG or
# MYSITE_LOG_TRACEBACKS=1.
LOGGING = {
    "version": 1,
    "disable_existing_loggers": False,
    "formatters": {
        "one_line": {"()": "mysite.logs.OneLineFormatter", "tracebacks": DEBUG or env_flag("MYSITE_LOG_TRACEBACKS")}
    },
    "handlers": {"stderr": {"class": "logging.StreamHandler", "formatter": "one_line"}},
    "loggers": {"mysite": {"handlers": ["stderr"]}},
}
