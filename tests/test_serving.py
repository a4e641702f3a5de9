"""The application as a web server runs it: its WSGI and ASGI entries, and
gunicorn serving it to many clients at once (the traffic of ``bench.load``)."""

import ctypes
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest

from bench.load import ROOT, Server, Traffic, fresh_database, request

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
    env = dict(os.environ, MYSITE_ALLOWED_HOSTS="127.0.0.1", MYSITE_SECRET_KEY="a served site's own key")
    env.pop("DJANGO_SETTINGS_MODULE", None)
    done = subprocess.run([sys.executable, "-c", ENTRIES], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    # The application has no pages of its own: every path is not found, not a server error.
    assert done.stdout.split("\n") == ["WSGI 404 Not Found", "ASGI 404", "mysite.settings", ""]


def test_collected_static_files_are_served_with_debug_off(tmp_path, monkeypatch):
    if sys.platform == "win32":
        pytest.skip("gunicorn runs on POSIX systems only")
    static = tmp_path / "static"
    monkeypatch.setenv("MYSITE_STATIC_ROOT", str(static))
    subprocess.run([sys.executable, "manage.py", "collectstatic", "--noinput", "-v0"], cwd=ROOT, check=True)
    css = (static / "admin" / "css" / "base.css").read_text()
    with Server(fresh_database(tmp_path), workers=1, threads=2, log_path=tmp_path / "server.log") as server:
        assert request(server.port, "GET", "/static/admin/css/base.css", {})[:2] == (200, css)
        assert request(server.port, "GET", "/static/admin/css/no-such.css", {})[0] == 404


# Each test below looks at one side of the same served traffic.
@pytest.fixture(scope="module")
def served(tmp_path_factory):
    if sys.platform == "win32":
        pytest.skip("gunicorn runs on POSIX systems only")
    folder = tmp_path_factory.mktemp("served")
    with Server(fresh_database(folder), workers=2, threads=4, log_path=folder / "server.log") as server:
        traffic = Traffic(server.port, clients=8)
        # Long enough for the memory that each request's garbage takes to settle.
        rounds = [traffic.run(4000)]
        # Two measured rounds: a leak grows memory in each, a late allocation in one.
        memory = [server.resident_memory()]
        for _ in range(2):
            rounds.append(traffic.run(3000))
            memory.append(server.resident_memory())
        store_problems = traffic.check_store()
    rows = server.parameter_rows()
    return SimpleNamespace(
        rounds=rounds,
        memory=memory,
        written=traffic.written,
        store_problems=store_problems,
        rows=rows,
        log=server.log_text(),
    )


def test_every_answer_is_right_from_workers_that_all_served_throughout(served):
    # None died and was replaced.
    assert all(memory.keys() == served.memory[0].keys() for memory in served.memory)
    for tally in served.rounds:
        assert tally.errors == [], f"{len(tally.errors)} wrong answers; the server's log:\n{served.log}"
        assert tally.server_errors == 0
        # Every worker took its share, so writers met across processes too.
        assert len(tally.by_worker) == 2 and min(tally.by_worker.values()) > tally.requests // 10, tally.by_worker


def test_every_parameter_holds_a_written_value_in_one_row(served):
    assert served.store_problems == []
    assert sorted(served.rows) == sorted((name, 1) for name in served.written)


def test_worker_memory_stays_flat_after_warm_up(served):
    if under_address_sanitizer():
        pytest.skip("resident memory holds the sanitizer's quarantine of freed memory")
    # Here a worker grows by 0-128 KiB in a round, at times up to 300 KiB in one
    # (a connection's buffers growing, say), while a leak of 200 bytes per
    # request (on about 1500 requests each) passes the limit in both rounds.
    before, middle, after = served.memory
    growth_kib = {pid: ((middle[pid] - before[pid]) // 1024, (after[pid] - middle[pid]) // 1024) for pid in before}
    assert max(min(rounds) for rounds in growth_kib.values()) < 256, growth_kib


def under_address_sanitizer() -> bool:
    """Whether this process, and so the server started with its environment, runs
    under AddressSanitizer (preloaded, as the sanitizer build needs)."""
    return hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")
