"""gunicorn's settings for this application, which gunicorn reads from its
working directory: the README's serving command, run from the repository root."""

# Only Django decides whether a request came over HTTPS (MYSITE_TRUST_X_FORWARDED_PROTO).
# gunicorn's own default believes X-Forwarded-Proto, -Protocol and -Ssl from
# 127.0.0.1 and from Unix sockets, so any local client could claim HTTPS.
secure_scheme_headers: dict[str, str] = {}

