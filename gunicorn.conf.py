"""gunicorn's settings for this application, which gunicorn reads from its
working directory: the README's serving command, run from the repository root."""

import os
import re
import sys
import time
from contextlib import suppress

from django.core.exceptions import ImproperlyConfigured
from gunicorn.config import ControlSocket

from mysite.serving import load_settings
from mysite.zones import configured_time_zone

# The master's first log line comes before on_starting: in the zone the environment names
# already, which the settings then keep (or change, when -e sets MYSITE_TIME_ZONE).
with suppress(ImproperlyConfigured):  # the settings refuse it in on_starting
    os.environ["TZ"] = configured_time_zone()
    time.tzset()

# Only Django decides whether a request came over HTTPS (MYSITE_TRUST_X_FORWARDED_PROTO).
# gunicorn's own default believes X-Forwarded-Proto, -Protocol and -Ssl from
# 127.0.0.1 and from Unix sockets, so any local client could claim HTTPS.
secure_scheme_headers: dict[str, str] = {}


def on_starting(server):
    """Load the settings, once gunicorn has put its ``-e`` variables in the environment: they set
    the process's zone (TZ) to their TIME_ZONE, as in the workers, so that the master's log lines
    and theirs are in one zone; a refused setting stops gunicorn at once.

    Give each master its own control socket, named after what it listens on:
    by default every master of one user takes the same path from the one before."""
    try:
        load_settings()
    except ImproperlyConfigured as refused:
        sys.exit(f"{refused}")
    if server.cfg.control_socket == ControlSocket.default:
        listening = re.sub(r"[^\w.]+", "-", "_".join(server.cfg.bind)).strip("-")
        folder = os.path.dirname(ControlSocket.default)
        server.cfg.set("control_socket", os.path.join(folder, f"gunicorn-{listening}.ctl"))
