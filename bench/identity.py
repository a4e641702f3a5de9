"""What the console's machine identity page costs, as an operator who may open it sees it through
Django's test client (the view with its middleware, on a fresh SQLite database):

    python -m bench.identity                # every case below
    python -m bench.identity --repeats 101  # more page loads for each median

- the page on this machine as it is, and with a stand-in dmidecode that answers at once: the
  median time of a page load;
- with a stand-in that never answers: how long the page takes to answer (the bound);
- 20 pages at once, the stand-in answering after 0.5 s: how many firmware programs and Python
  interpreters this process started meanwhile.
"""

import argparse
import atexit
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

FOLDER = Path(tempfile.mkdtemp(prefix="bench-identity-"))  # the database and the stand-in dmidecode
atexit.register(shutil.rmtree, FOLDER, ignore_errors=True)
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")
os.environ["MYSITE_DB_PATH"] = str(FOLDER / "db.sqlite3")
os.environ.pop("MYSITE_FORCED_MAC", None)

import django  # noqa: E402
import psutil  # noqa: E402

django.setup()

from django.conf import settings  # noqa: E402
from django.contrib.auth.models import User  # noqa: E402
from django.core.management import call_command  # noqa: E402
from django.test import Client  # noqa: E402
from django.test.utils import setup_test_environment  # noqa: E402

PAGE = "/admin/identity/"
UUID = "4C4C4544-0042-3510-8052-B4C04F4E3232"


def stand_in(answer: str) -> None:
    """A dmidecode first on the PATH that runs ``answer`` (shell), counting its runs in ``runs``."""
    program = FOLDER / "bin" / "dmidecode"
    program.parent.mkdir(exist_ok=True)
    program.write_text(f"#!/bin/sh\necho run >> '{FOLDER / 'runs'}'\n{answer}\n")
    program.chmod(0o755)
    if not os.environ["PATH"].startswith(str(program.parent)):
        os.environ["PATH"] = f"{program.parent}{os.pathsep}{os.environ['PATH']}"
    (FOLDER / "runs").write_text("")


def operator() -> Client:
    client = Client()
    client.force_login(User.objects.get_or_create(username="operator", is_staff=True, is_superuser=True)[0])
    return client


def page_seconds(client: Client) -> float:
    started = time.perf_counter()
    response = client.get(PAGE)
    seconds = time.perf_counter() - started
    if response.status_code != 200:
        raise SystemExit(f"the page answered {response.status_code}")
    return seconds


def started_meanwhile(work) -> tuple[int, int]:
    """(firmware programs, Python interpreters) that this process started while ``work()`` ran.

    A process is counted as what it was last seen as: between fork and exec, a program is still
    named after this interpreter."""
    seen: dict[int, str] = {}
    done = threading.Event()

    def watch():
        while not done.wait(0.005):
            for child in psutil.Process().children(recursive=True):
                try:
                    seen[child.pid] = child.name()
                except psutil.Error:
                    pass

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        work()
    finally:
        done.set()
        watcher.join()
    runs = (FOLDER / "runs").read_text().count("run")
    return runs, sum(name.startswith("python") for name in seen.values())


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=51, help="page loads for each median")
    options = parser.parse_args(argv)
    setup_test_environment()
    call_command("migrate", verbosity=0)
    client = operator()
    timeout = settings.IDENTITY_TIMEOUT

    def median_ms() -> float:
        page_seconds(client)  # the first load imports and warms up
        return statistics.median(page_seconds(client) for _ in range(options.repeats)) * 1000

    print(f"identity page, median of {options.repeats} loads:")
    print(f"  this machine as it is:              {median_ms():7.1f} ms")
    stand_in(f"echo {UUID}")
    print(f"  dmidecode answering at once:        {median_ms():7.1f} ms")
    stand_in("sleep 300")
    print(f"  dmidecode never answering:          {page_seconds(client):7.2f} s (bound: IDENTITY_TIMEOUT = {timeout})")
    stand_in("sleep 0.5\necho " + UUID)
    operators = [operator() for _ in range(20)]
    with ThreadPoolExecutor(len(operators)) as pool:
        programs, interpreters = started_meanwhile(lambda: list(pool.map(page_seconds, operators)))
    print(f"  20 pages at once:                   {programs} firmware programs, {interpreters} Python interpreters")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
