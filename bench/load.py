"""The application under load: gunicorn serves it on loopback, client threads
send it mixed requests, and every answer is checked.

    python -m bench.load                          # with 1 worker, then with 2
    python -m bench.load --workers 1 4 --threads 8 --clients 16 --requests 24000
    python -m bench.load --json out.json          # also write the figures
    python -m bench.load --database postgres      # on a private PostgreSQL cluster

Each client thread cycles through four requests, each a view of
``bench.loadsite`` calling the native module: the cipher (encrypt, then
decrypt), the bridge's ``set_param_value`` then ``get_param_value`` (on names of
the client's own and on names every client writes), ``aes_decrypt`` of a text
that is not Base64 (answered 400), and the machine identity.  An answer other
than the expected one counts as an error.  The figures: requests per second,
errors, each worker's resident memory after a warm-up and after the measured
round, each time right after a full garbage collection in it, and on PostgreSQL
the connections open to the database once the traffic has ended and once the
server has stopped.  The load test in tests/ runs the same traffic.
"""

import argparse
import binascii
import contextlib
import http.client
import json
import os
import secrets
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from urllib.parse import urlencode

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

import psutil  # noqa: E402

import mysite.core.vorlik as vorlik  # noqa: E402
from bench import postgres  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
KINDS = ("cipher", "param", "bad_base64", "identity")
OWN_NAMES = 8  # per client
SHARED_NAMES = 4  # written by every client
BAD_BASE64 = "not Base64!"
CATEGORIES = {"SMBIOS", "MachineGUID", "MAC"}
START_SECONDS = 60


def fresh_database(folder: Path, server_url: str | None = None) -> dict[str, str]:
    """The environment variables that select a fresh database: a new one on the
    PostgreSQL server of ``server_url`` (by default that of MYSITE_DATABASE_URL,
    when set), or else a SQLite file in ``folder``."""
    server_url = server_url or os.environ.get("MYSITE_DATABASE_URL")
    if server_url:
        return {"MYSITE_DATABASE_URL": postgres.create_database(server_url)}
    return {"MYSITE_DB_PATH": str(folder / "db.sqlite3")}


class Server:
    """gunicorn serving ``mysite.wsgi`` with the load views, on a loopback socket
    that this process opens and hands over, with the fresh database that the
    environment variables ``database`` select (see ``fresh_database``)."""

    def __init__(self, database: dict[str, str], workers: int, threads: int, log_path: Path):
        self.database, self.workers, self.threads, self.log_path = database, workers, threads, log_path
        chosen = ("MYSITE_DATABASE_URL", "MYSITE_DB_PATH")
        self.env = dict(
            {name: value for name, value in os.environ.items() if name not in chosen},
            **database,
            DJANGO_SETTINGS_MODULE="bench.loadsite.settings",
            MYSITE_ALLOWED_HOSTS="127.0.0.1",
            # The served entries refuse the development key.
            MYSITE_SECRET_KEY=os.environ.get("MYSITE_SECRET_KEY") or secrets.token_urlsafe(64),
            # The identity from the adapters: no firmware program runs, whatever this machine has.
            MYSITE_FORCED_MAC="1",
            PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])),
        )
        self.env.pop("MYSITE_DEBUG", None)  # DEBUG keeps every query made: memory that would look like a leak

    def __enter__(self) -> "Server":
        self.manage("migrate", "--verbosity", "0")
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=256)
        self.port = self.listener.getsockname()[1]
        self.log = open(self.log_path, "wb")
        command = [
            sys.executable,
            "-m",
            "gunicorn",
            "mysite.wsgi:application",
            "--bind",
            f"fd://{self.listener.fileno()}",
        ]
        command += ["--worker-class", "gthread", "--workers", str(self.workers), "--threads", str(self.threads)]
        command += ["--no-control-socket"]  # gunicorn's own socket: one path per user, shared by every server
        self.process = subprocess.Popen(
            command,
            cwd=ROOT,
            env=self.env,
            pass_fds=[self.listener.fileno()],
            stdout=self.log,
            stderr=subprocess.STDOUT,
        )
        try:
            self.wait_until_serving()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def wait_until_serving(self) -> None:
        deadline = time.monotonic() + START_SECONDS
        while len(self.worker_processes()) < self.workers:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"gunicorn did not start its workers:\n{self.log_text()}")
            time.sleep(0.05)
        # Connections wait in the socket's queue until a worker has loaded the application.
        try:
            status, body, _ = request(self.port, "GET", "/identity", {})
        except (OSError, http.client.HTTPException) as error:
            status, body = 0, repr(error)
        if status != 200:
            raise RuntimeError(f"the server {answered(status, body)}; its log:\n{self.log_text()}")

    def __exit__(self, *exc_info) -> None:
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.listener.close()
        self.log.close()

    def manage(self, *args: str) -> str:
        """The output of ``manage.py`` with ``args``, run on the server's database."""
        command = [sys.executable, "manage.py", *args]
        return subprocess.run(command, cwd=ROOT, env=self.env, check=True, capture_output=True, text=True).stdout

    def parameter_rows(self) -> list[tuple[str, int]]:
        """(name, rows) for each department and name in the server's parameter store."""
        query = (
            "import json; from django.db.models import Count; from mysite.base.models import Parameter;"
            "rows = Parameter.objects.values_list('dept', 'name').annotate(Count('id')).order_by();"
            "print(json.dumps(list(rows)))"
        )
        rows = json.loads(self.manage("shell", "--verbosity", "0", "--command", query))
        return [(name, count) for _, name, count in rows]

    def worker_processes(self) -> list[psutil.Process]:
        return psutil.Process(self.process.pid).children()

    def resident_memory(self) -> dict[int, int]:
        """Each worker's resident memory in bytes, by process id, right after a full
        garbage collection in it, so that the figure does not depend on when the
        collector last ran."""
        self.collect_garbage()
        return {worker.pid: worker.memory_info().rss for worker in self.worker_processes()}

    def collect_garbage(self) -> None:
        """Ask until every worker has answered ``/collect``; each request goes to any worker."""
        workers = {worker.pid for worker in self.worker_processes()}
        answered_by: set[int] = set()
        for _ in range(100 * len(workers)):
            answered_by.add(request(self.port, "GET", "/collect", {})[2])
            if workers <= answered_by:
                return
        raise RuntimeError(f"workers {sorted(workers - answered_by)} answered none of the collection requests")

    def log_text(self) -> str:
        return self.log_path.read_text(errors="replace")


def request(port: int, method: str, path: str, fields: dict[str, str], **headers: str) -> tuple[int, str, int]:
    """(status, body, worker process id) of one request on a connection of its own,
    so that every request may go to any worker."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    headers["Connection"] = "close"
    try:
        query = urlencode(fields)
        if method == "POST":
            headers["Content-Type"] = "application/x-www-form-urlencoded"
            connection.request(method, path, query, headers)
        else:
            connection.request(method, f"{path}?{query}", headers=headers)
        response = connection.getresponse()
        return response.status, response.read().decode(), int(response.getheader("X-Worker", "0"))
    finally:
        connection.close()


def answered(status: int, body: str) -> str:
    return f"answered {status} {body[:80]!r}{'...' if len(body) > 80 else ''}"


@dataclass
class Tally:
    """What one round of requests met."""

    requests: int = 0
    seconds: float = 0.0
    errors: list[str] = field(default_factory=list)
    statuses: Counter[int] = field(default_factory=Counter)
    by_worker: Counter[int] = field(default_factory=Counter)
    # (name, value) that a write's read-back gave, for names other clients write too.
    shared_reads: list[tuple[str, str]] = field(default_factory=list)

    def add(self, other: "Tally") -> None:
        self.requests += other.requests
        self.errors += other.errors
        self.statuses += other.statuses
        self.by_worker += other.by_worker
        self.shared_reads += other.shared_reads

    @property
    def server_errors(self) -> int:
        return sum(count for status, count in self.statuses.items() if status >= 500)

    @property
    def per_second(self) -> float:
        return self.requests / self.seconds


class Traffic:
    """Client threads sending the mixed requests to a server on ``port``.  Remembers
    every parameter value written, over all rounds, to check the store at the end."""

    def __init__(self, port: int, clients: int):
        self.port, self.clients = port, clients
        self.sent = [0] * clients  # requests each client has sent: numbers its next one
        self.written: dict[str, list[str]] = {}  # name -> the values written, in order
        try:
            vorlik.aes_decrypt(BAD_BASE64)
        except binascii.Error as error:
            self.bad_base64_answer = f"not Base64: {error}"

    def run(self, requests: int) -> Tally:
        tallies = [Tally() for _ in range(self.clients)]
        threads = [
            threading.Thread(target=self.client, args=(client, requests // self.clients, tallies[client]))
            for client in range(self.clients)
        ]
        started = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        total = Tally(seconds=time.perf_counter() - started)
        for tally in tallies:
            total.add(tally)
        total.errors += [
            f"param {name!r}: read back a value never written: {value[:60]!r}..."
            for name, value in total.shared_reads
            if value not in self.written[name]
        ]
        return total

    def client(self, client: int, count: int, tally: Tally) -> None:
        for number in range(self.sent[client], self.sent[client] + count):
            kind = KINDS[(number + client) % len(KINDS)]
            try:
                problem = getattr(self, kind)(client, number, tally)
            except (OSError, http.client.HTTPException, ValueError) as error:
                problem = f"{kind}: {error!r}"
            tally.requests += 1
            if problem:
                tally.errors.append(problem)
        self.sent[client] += count

    def ask(self, tally: Tally, method: str, path: str, **fields: str) -> tuple[int, str]:
        status, body, worker = request(self.port, method, path, fields)
        tally.statuses[status] += 1
        tally.by_worker[worker] += 1
        return status, body

    def cipher(self, client: int, number: int, tally: Tally) -> str | None:
        text = f"load {client}/{number} Grüße 🌍"
        status, body = self.ask(tally, "GET", "/cipher", text=text)
        if (status, body) != (200, vorlik.aes_encrypt(text)):
            return f"cipher {text!r}: {answered(status, body)}"
        return None

    def param(self, client: int, number: int, tally: Tally) -> str | None:
        turn = number // len(KINDS)
        shared = turn % 2 == 1
        name = f"shared-{turn // 2 % SHARED_NAMES}" if shared else f"client{client}-{turn // 2 % OWN_NAMES}"
        # Long and unique to this write: a torn or mixed value matches no written one.
        value = f"{name} #{number} Grüße 🌍 |" * 40
        self.written.setdefault(name, []).append(value)
        status, body = self.ask(tally, "POST", "/param", name=name, value=value)
        if status != 200:
            return f"param {name!r}: {answered(status, body)}"
        if shared:
            tally.shared_reads.append((name, body))
        elif body != value:
            return f"param {name!r}: read back {body[:60]!r}..., not the value just written"
        return None

    def bad_base64(self, client: int, number: int, tally: Tally) -> str | None:
        status, body = self.ask(tally, "GET", "/decrypt", text=BAD_BASE64)
        if (status, body) != (400, self.bad_base64_answer):
            return f"decrypt {BAD_BASE64!r}: {answered(status, body)}"
        return None

    def identity(self, client: int, number: int, tally: Tally) -> str | None:
        status, body = self.ask(tally, "GET", "/identity")
        answer = json.loads(body) if status == 200 else {}
        identifier = answer.get("identifier")
        if answer.get("category") not in CATEGORIES or not isinstance(identifier, str) or not identifier:
            return f"identity: {answered(status, body)}"
        return None

    def check_store(self) -> list[str]:
        """Problems with the values the server reads back now: a name that one client
        writes must hold its last value, a name that all write one of their values."""
        problems = []
        for name, values in self.written.items():
            status, body, _ = request(self.port, "GET", "/param", {"name": name})
            expected = values if name.startswith("shared-") else values[-1:]
            if status != 200 or body not in expected:
                problems.append(f"param {name!r}: {answered(status, body)}, not a value last written")
        return problems


def measure(workers: int, threads: int, clients: int, requests: int, warm_up: int, server_url: str | None) -> dict:
    """One round on a fresh database: SQLite, or PostgreSQL on the server of ``server_url``."""
    connections = {}
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        database = fresh_database(folder, server_url)
        with Server(database, workers, threads, folder / "server.log") as server:
            traffic = Traffic(server.port, clients)
            traffic.run(warm_up)
            before = server.resident_memory()
            tally = traffic.run(requests)
            after = server.resident_memory()
            errors = tally.errors + traffic.check_store()
            if server_url:
                connections["idle"] = postgres.connections(database["MYSITE_DATABASE_URL"])
        if server_url:
            connections["stopped"] = postgres.connections(database["MYSITE_DATABASE_URL"])
    return {
        "workers": workers,
        "threads": threads,
        "clients": clients,
        "requests": tally.requests,
        "per_second": round(tally.per_second),
        "errors": len(errors),
        "server_errors": tally.server_errors,
        "first_errors": errors[:5],
        "rss_before_kib": {pid: rss // 1024 for pid, rss in before.items()},
        "rss_after_kib": {pid: after.get(pid, 0) // 1024 for pid in before},
        "connections": connections,
    }


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2], help="worker processes, one run each")
    parser.add_argument("--threads", type=int, default=8, help="threads per worker")
    parser.add_argument("--clients", type=int, default=16, help="client threads")
    parser.add_argument("--requests", type=int, default=8000, help="requests measured, after as many to warm up")
    parser.add_argument("--database", choices=["sqlite", "postgres"], default="sqlite",
                        help="a SQLite file, or a private PostgreSQL cluster that this run starts")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    options = parser.parse_args(argv)

    with contextlib.ExitStack() as stack:
        server_url = None
        if options.database == "postgres":
            if reason := postgres.missing_reason():
                parser.error(reason)
            server_url = stack.enter_context(postgres.Cluster()).url
        results = run_rounds(options, server_url)
    if options.json:
        Path(options.json).write_text(json.dumps(results, indent=2))


def run_rounds(options: argparse.Namespace, server_url: str | None) -> list[dict]:
    results = []
    print(f"{'workers':>7} {'requests':>8} {'req/s':>6} {'errors':>6} {'5xx':>5}  resident memory per worker (KiB)")
    for workers in options.workers:
        result = measure(
            workers, options.threads, options.clients, options.requests, options.requests, server_url
        )
        results.append(result)
        memory = ", ".join(
            f"{result['rss_before_kib'][pid]} -> {result['rss_after_kib'][pid]}"
            f" ({result['rss_after_kib'][pid] - result['rss_before_kib'][pid]:+})"
            for pid in result["rss_before_kib"]
        )
        print(
            f"{workers:>7} {result['requests']:>8} {result['per_second']:>6} {result['errors']:>6}"
            f" {result['server_errors']:>5}  {memory}"
        )
        if result["connections"]:
            print(f"        connections to the database: {result['connections']['idle']} after the traffic,"
                  f" {result['connections']['stopped']} once the server stopped")
        for error in result["first_errors"]:
            print(f"        {error}")
    print(f"({options.threads} threads per worker, {options.clients} clients, after {options.requests} to warm up)")
    return results


if __name__ == "__main__":
    main()
