"""The server registry at scale: a fresh database filled with a fleet of
servers and their history, then the registry's answers timed.

    python -m bench.servers                          # SQLite: none, 5,000, then 20,000 servers
    python -m bench.servers --database postgres      # on a private PostgreSQL cluster
    python -m bench.servers --sizes 1000 --json out.json

The fleet: a tenth of the servers are clones (another server's identity), one
in a thousand has another built-in key, one in fifty changed its identity
(SMBIOS, then an adapter address), and a third were last seen before the
stale period.  Each figure is the median of several runs in this process:
the Servers page (rendered for a signed-in operator), ``vorlik servers
--json`` (written to a file), the registry's part of ``check --deploy``
(refreshing this server's record, then its findings), and an ordinary request
of a serving process (the login page, with the registry hooked to requests as
when served).
"""

import argparse
import contextlib
import io
import json
import os
import statistics
import sys
import tempfile
import time
import warnings
from datetime import timedelta
from pathlib import Path

from bench import postgres

NAME = "app-{:05}"
KEY, OTHER_KEY = "1" * 64, "2" * 64
RUNS = 3
REQUESTS = 50


def fleet(first: int, last: int, now) -> None:
    """Servers ``first`` to ``last`` (exclusive) of the fleet, with their history, in a few bulk inserts."""
    from mysite.base.models import Server, Sighting

    records, sightings = [], []
    for number in range(first, last):
        seen = now - timedelta(days=10 if number % 3 == 2 else 0, minutes=number % 60)
        identity = f"{number - (number % 10 == 1):032X}"
        key = OTHER_KEY if number % 1000 == 7 else KEY
        server = Server(name=NAME.format(number), category="SMBIOS", identifier=identity, key_fingerprint=key,
                        module_file="vorlik.cpython-311-x86_64-linux-gnu.so", openssl=True, python_version="3.11.7",
                        django_version="5.2.20", first_seen=now - timedelta(days=30), last_seen=seen)
        records.append(server)
        times = {"server": server, "first_seen": server.first_seen, "last_seen": seen, "processes": 4}
        sightings += [Sighting(kind=Sighting.IDENTITY, category="SMBIOS", value=identity, **times),
                      Sighting(kind=Sighting.KEY, value=key, **times)]
        if number % 50 == 4:
            sightings.append(Sighting(kind=Sighting.IDENTITY, category="MAC", value=f"{number:012X}",
                                      **dict(times, last_seen=seen - timedelta(hours=2))))
    Server.objects.bulk_create(records, batch_size=1000)
    Sighting.objects.bulk_create(sightings, batch_size=1000)


def median_seconds(call, runs: int = RUNS) -> float:
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def measure(size: int, client, anonymous) -> dict:
    from django.core.management import call_command

    from mysite.base import servers

    page = client.get("/admin/servers/")  # once before: the figures are of a warm process
    assert page.status_code == 200, page.status_code
    with tempfile.TemporaryFile("w+") as listing:
        call_command("vorlik", "servers", "--json", stdout=listing)
        listed = listing.tell()
        json_seconds = median_seconds(lambda: call_command("vorlik", "servers", "--json", stdout=io.StringIO()))
    return {
        "servers": size,
        "page_s": round(median_seconds(lambda: client.get("/admin/servers/")), 3),
        "page_kib": len(page.content) // 1024,
        "json_s": round(json_seconds, 3),
        "json_kib": listed // 1024,
        "check_registry_s": round(median_seconds(servers.register_and_find), 3),
        "request_ms": round(1000 * median_seconds(lambda: anonymous.get("/admin/login/"), REQUESTS), 2),
    }


def run(sizes: list[int]) -> list[dict]:
    import django

    warnings.filterwarnings("ignore", "No directory at")  # no collected static files: the page needs none

    django.setup()
    from django.contrib.auth.models import User
    from django.core.management import call_command
    from django.test import Client
    from django.utils import timezone

    from mysite.base.servers import register_when_serving

    call_command("migrate", verbosity=0)
    register_when_serving()
    client, anonymous = Client(), Client()
    client.force_login(User.objects.create_superuser("operator", password="a long pass phrase"))
    now, filled, results = timezone.now(), 0, []
    print(f"{'servers':>8} {'page s':>7} {'page KiB':>9} {'json s':>7} {'json KiB':>9} {'check s':>8}",
          f"{'request ms':>11}")
    for size in sizes:
        fleet(filled, size, now)
        filled = size
        result = measure(size, client, anonymous)
        results.append(result)
        print(f"{size:>8} {result['page_s']:>7} {result['page_kib']:>9} {result['json_s']:>7} "
              f"{result['json_kib']:>9} {result['check_registry_s']:>8} {result['request_ms']:>11}", flush=True)
    return results


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[0, 5_000, 20_000],
                        help="servers, growing (0: the figures of an empty registry, to compare)")
    parser.add_argument("--database", choices=["sqlite", "postgres"], default="sqlite",
                        help="a SQLite file, or a private PostgreSQL cluster that this run starts")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    options = parser.parse_args(argv)
    if sorted(options.sizes) != options.sizes:
        parser.error("--sizes must grow: each size adds servers to the ones before")

    with contextlib.ExitStack() as stack:
        folder = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="bench-servers-")))
        os.environ.pop("MYSITE_DATABASE_URL", None)
        if options.database == "postgres":
            if reason := postgres.missing_reason():
                parser.error(reason)
            os.environ["MYSITE_DATABASE_URL"] = postgres.create_database(stack.enter_context(postgres.Cluster()).url)
        else:
            os.environ["MYSITE_DB_PATH"] = str(folder / "db.sqlite3")
        os.environ.update(DJANGO_SETTINGS_MODULE="mysite.settings", MYSITE_SERVER_NAME="this-server",
                          MYSITE_FORCED_MAC="1", MYSITE_ALLOWED_HOSTS="testserver")
        os.environ.pop("MYSITE_DEBUG", None)  # DEBUG keeps every query made
        print(f"{options.database}, Python {sys.version.split()[0]}")
        results = run(options.sizes)
    if options.json:
        Path(options.json).write_text(json.dumps({"database": options.database, "results": results}, indent=2))


if __name__ == "__main__":
    main()
