"""gunicorn's settings for this application, which gunicorn reads from its
working directory: the README's serving command, run from the repository root."""

import os
import re
import sys

from django.core.exceptions import ImproperlyConfigured
from gunicorn.config import ControlSocket

from mysite.serving import load_settings

# The workers load the settings, which set the process's zone (TZ) to their
# TIME_ZONE; the master loads them here too, so that its log lines and the
# workers' are in one zone, and a refused setting stops gunicorn at once.
try:
    load_settings()
except ImproperlyConfigured as refused:
    sys.exit(f"{refused}")

# Only Django decides whether a request came over HTTPS (MYSITE_TRUST_X_FORWARDED_PROTO).
# gunicorn's own default believes X-Forwarded-Proto, -Protocol and -Ssl from
# 127.0.0.1 and from Unix sockets, so any local client could claim HTTPS.
secure_scheme_headers: dict[str, str] = {}


def on_starting(server):
    """Give each master its own control socket, named after what it listens on:
    by default every master of one user takes the same path from the one before."""
    if server.cfg.control_socket == ControlSocket.default:
        listening = re.sub(r"[^\w.]+", "-", "_".join(server.cfg.bind)).strip("-")
        folder = os.path.dirname(ControlSocket.default)
        server.cfg.set("control_socket", os.path.join(folder, f"gunicorn-{listening}.ctl"))
