"""gunicorn's settings for this application, which gunicorn reads from its
working directory: the README's serving command, run from the repository root."""

import os
import re

from gunicorn.config import ControlSocket

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
