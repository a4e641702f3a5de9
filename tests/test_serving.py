"""The application as a web server runs it: its WSGI and ASGI entries."""

import os
import subprocess
import sys

ENTRIES = """
import asyncio, os, wsgiref.util
from mysite.asgi import application as asgi
from mysite.wsgi import application as wsgi

environ = {}
wsgiref.util.setup_testing_defaults(environ)
wsgi(environ, lambda status, headers: print("WSGI", status))

async def ask():
    scope = {"type": "http", "method": "GET", "path": "/", "query_string": b"", "headers": [(b"host", b"127.0.0.1")]}
    sent, incoming = [], asyncio.Queue()
    incoming.put_nowait({"type": "http.request", "body": b"", "more_body": False})
    async def receive():  # the request, then nothing until the answer is sent
        return await incoming.get()
    async def send(message):
        sent.append(message)
    await asgi(scope, receive, send)
    print("ASGI", sent[0]["status"])

asyncio.run(ask())
print(os.environ["DJANGO_SETTINGS_MODULE"])
"""


def test_entries_answer_with_the_application_settings():
    env = dict(os.environ, MYSITE_ALLOWED_HOSTS="127.0.0.1")
    env.pop("DJANGO_SETTINGS_MODULE", None)
    done = subprocess.run([sys.executable, "-c", ENTRIES], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    # The application has no pages of its own: every path is not found, not a server error.
    assert done.stdout.split("\n") == ["WSGI 404 Not Found", "ASGI 404", "mysite.settings", ""]
