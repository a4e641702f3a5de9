"""The machine identity under the servers the README names (gunicorn, uWSGI, uvicorn), with a
firmware program that never answers: the page answers within the bound and names it, the server
records itself, and no program is left after the page or after a graceful stop of the server."""

import http.client
import importlib.util
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from bench.load import ROOT, fresh_database
from mysite.core.identity import GRACE_SECONDS

BOUND = 1  # MYSITE_IDENTITY_TIMEOUT of the served application
BIN = Path(sys.executable).parent


def gunicorn(port: int, folder: Path) -> list[str]:
    return [sys.executable, "-m", "gunicorn", "mysite.wsgi:application", "--bind", f"127.0.0.1:{port}",
            "--threads", "4", "--no-control-socket"]


def uwsgi(port: int, folder: Path) -> list[str]:
    return [str(BIN / "uwsgi"), "--master", "--need-app", "--home", sys.prefix, "--module", "mysite.wsgi:application",
            "--http-socket", f"127.0.0.1:{port}", "--threads", "4", "--master-fifo", str(folder / "fifo")]


def uvicorn(port: int, folder: Path) -> list[str]:
    return [sys.executable, "-m", "uvicorn", "mysite.asgi:application", "--host", "127.0.0.1", "--port", str(port)]


# How each is started and stopped gracefully, and whether it is installed.
SERVERS = {
    "gunicorn": (gunicorn, "SIGTERM", lambda: importlib.util.find_spec("gunicorn")),
    "uWSGI": (uwsgi, "q", lambda: shutil.which("uwsgi", path=str(BIN))),
    "uvicorn": (uvicorn, "SIGTERM", lambda: importlib.util.find_spec("uvicorn")),
}


class Served:
    """The application served by ``kind`` on a free loopback port, its output in ``folder``/log."""

    def __init__(self, kind: str, env: dict[str, str], folder: Path):
        self.command, self.stop_with, _ = SERVERS[kind]
        self.env, self.folder, self.log_path = env, folder, folder / "log"

    def __enter__(self) -> "Served":
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(self.command(self.port, self.folder), cwd=ROOT, env=self.env, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 60
        while self.process.poll() is None and time.monotonic() < deadline:
            with socket.socket() as client:
                if client.connect_ex(("127.0.0.1", self.port)) == 0:
                    return self
            time.sleep(0.1)
        self.__exit__()
        raise RuntimeError(f"the server did not start:\n{self.log()}")

    def stop(self) -> None:
        """Stop the server gracefully, and wait until it has."""
        if self.stop_with == "q":  # uWSGI's graceful shutdown, by its master FIFO
            (self.folder / "fifo").write_text("q")
        else:
            self.process.send_signal(getattr(signal, self.stop_with))
        self.process.wait(timeout=60)

    def __exit__(self, *exc_info) -> None:
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")


def get(port: int, path: str, session: str = "") -> tuple[int, str, float]:
    """(status, body, seconds) of one GET, as the signed-in operator of ``session``."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    started = time.monotonic()
    try:
        connection.request("GET", path, headers={"Cookie": f"sessionid={session}"} if session else {})
        response = connection.getresponse()
        return response.status, response.read().decode(), time.monotonic() - started
    finally:
        connection.close()


def eventually(probe, seconds=30):
    deadline = time.monotonic() + seconds
    while not (found := probe()) and time.monotonic() < deadline:
        time.sleep(0.1)
    return found


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """A migrated database with an operator signed in: the settings' environment and the session key."""
    folder = tmp_path_factory.mktemp("site")
    env = {name: value for name, value in os.environ.items() if name not in ("MYSITE_FORCED_MAC", "MYSITE_DB_PATH")}
    env.update(fresh_database(folder), MYSITE_ALLOWED_HOSTS="127.0.0.1", MYSITE_SECRET_KEY="a served site's own key",
               MYSITE_IDENTITY_TIMEOUT=str(BOUND), PYTHONPATH=str(ROOT))

    def manage(*args):
        return subprocess.run([sys.executable, "manage.py", *args], cwd=ROOT, env=env, check=True,
                              capture_output=True, text=True).stdout

    manage("migrate", "-v0")
    session = manage("shell", "-v0", "-c", "from django.contrib.auth.models import User; "
                     "from django.test import Client; client = Client(); "
                     "client.force_login(User.objects.create_superuser('operator')); "
                     "print(client.cookies['sessionid'].value)").strip()
    return SimpleNamespace(env=env, session=session, manage=manage)


@pytest.mark.parametrize("kind", SERVERS)
def test_the_identity_page_answers_within_the_bound_and_leaves_no_program(kind, site, dmidecode, tmp_path):
    if not SERVERS[kind][2]():
        pytest.skip(f"needs {kind}: python -m pip install {kind}")
    name = f"served-{kind}"
    env = dict(site.env, PATH=f"{dmidecode(sleep=300)}{os.pathsep}{os.environ['PATH']}", MYSITE_SERVER_NAME=name)

    # Stopped while a reading runs that no request waits for: the server registry's, from the first request.
    with Served(kind, env, tmp_path) as server:
        assert get(server.port, "/admin/login/")[0] == 200
        assert eventually(dmidecode.left), server.log()
        server.stop()
    assert dmidecode.left() == [], server.log()

    with Served(kind, env, tmp_path) as server:
        status, page, seconds = get(server.port, "/admin/identity/", site.session)
        assert status == 200, server.log()
        # The registry's reading, which the page's shared, recorded this server.
        listed = eventually(lambda: [row for row in json.loads(site.manage("vorlik", "servers", "--json"))
                                     if row["name"] == name])
        left = dmidecode.left()
        server.stop()
    assert f"no answer: dmidecode did not answer within {BOUND} s" in page
    assert seconds < BOUND + GRACE_SECONDS + 5, seconds  # room for a busy machine; the program sleeps 300 s
    assert [row["category"] for row in listed] == ["MAC"]
    assert left == [] and dmidecode.left() == []
    assert "Traceback" not in server.log() and f"it did not answer within {BOUND} s" in server.log()
