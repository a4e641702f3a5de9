"""The parameter store, directly and through the native module's bridge, on
the test database; and under concurrent writers, on a database file."""

import json
import os
import subprocess
import sys

import pytest

from mysite.base.models import (
    NAME_MAX_LENGTH,
    GetParamValue,
    Parameter,
    ParameterNotFound,
    SetParamValue,
    get_param_value,
    set_param_value,
)

pytestmark = pytest.mark.django_db

TEXTS = [
    "plain",
    "",
    "Grüße, Ελληνικά, русский, 日本語, עברית, 🌍🚀",
    "e\u0301 combining, \u200b zero width",
    "two\nlines\r\nand\ttabs ",
    "x" * 100_000,
]

BAD_SETS = [
    (("k", 5), TypeError),
    (("k", None), TypeError),
    (("k", b"bytes"), TypeError),
    (("k", "nul\x00inside"), ValueError),
    (("k", "lone \ud800 surrogate"), ValueError),
    ((5, "v"), TypeError),
    ((None, "v"), TypeError),
    (("", "v"), ValueError),
    ((" \t", "v"), ValueError),
    (("n" * (NAME_MAX_LENGTH + 1), "v"), ValueError),
]


@pytest.fixture
def bridge():
    from mysite.core import vorlik

    return vorlik


@pytest.fixture(params=["departments", "global"])
def deployment(request, settings):
    if request.param == "departments":
        settings.DEPT_COUNT = 4
    elif hasattr(settings, "DEPT_COUNT"):
        del settings.DEPT_COUNT
    return request.param


def test_values_round_trip_through_the_bridge(bridge, deployment):
    for value in TEXTS:
        assert bridge.set_param_value("key", value) is None
        assert bridge.get_param_value("key") == value
    bridge.set_param_value("名前 🔑", "値")
    bridge.set_param_value("n" * NAME_MAX_LENGTH, "longest name")
    assert bridge.get_param_value("名前 🔑") == "値"
    assert bridge.get_param_value("n" * NAME_MAX_LENGTH) == "longest name"
    assert bridge.get_param_value("key") == TEXTS[-1]
    assert Parameter.objects.count() == 3


def test_failed_calls_leave_stored_values_unchanged(bridge, deployment):
    bridge.set_param_value("k", "kept")
    bridge.set_param_value("other", "also kept")
    for args, error in BAD_SETS:
        with pytest.raises(error):
            bridge.set_param_value(*args)
        assert bridge.get_param_value("k") == "kept"
    with pytest.raises(ParameterNotFound, match="^parameter 'missing' is not set$"):
        bridge.get_param_value("missing")
    assert issubclass(ParameterNotFound, LookupError)
    assert sorted(Parameter.objects.values_list("name", "value")) == [
        ("k", "kept"),
        ("other", "also kept"),
    ]


def test_bridge_reaches_departments_only_where_dept_count_is_set(bridge, settings):
    settings.DEPT_COUNT = 4
    bridge.set_param_value("k", "installation-wide")
    bridge.set_param_value("k", "first", dept=1)
    bridge.set_param_value("k", "second", dept=2)
    bridge.set_param_value("k", "first, changed", dept=1)
    assert bridge.get_param_value("k", dept=1) == "first, changed"
    assert bridge.get_param_value("k", dept=2) == "second"
    with pytest.raises(ParameterNotFound, match="department 3"):
        bridge.get_param_value("k", dept=3)

    # Without departments the installation-wide values are those of department 0.
    del settings.DEPT_COUNT
    assert bridge.get_param_value("k") == "installation-wide"
    with pytest.raises(TypeError):
        bridge.get_param_value("k", dept=1)


def test_functions_refuse_bad_input_before_writing():
    set_param_value("k", "kept", dept=1)
    for dept, error in [(-1, ValueError), (True, TypeError), ("1", TypeError), (1.0, TypeError)]:
        with pytest.raises(error):
            set_param_value("k", "lost", dept=dept)
        with pytest.raises(error):
            get_param_value("k", dept=dept)
    for (name, value), error in BAD_SETS:
        with pytest.raises(error):
            SetParamValue(name, value)
    for name, error in [(None, TypeError), (b"k", TypeError), ("", ValueError)]:
        with pytest.raises(error):
            GetParamValue(name)
        with pytest.raises(error):
            get_param_value(name, dept=1)
    assert get_param_value("k", dept=1) == "kept"
    assert Parameter.objects.count() == 1



# Writers on threads of their own, each with its own database connection, as
# under a threaded web server, in several processes at once; then, with
# "check", what the store holds.
WRITERS = """
import json, sys, threading
import django
django.setup()
from django.db import connection
from mysite.base.models import GetParamValue, Parameter, SetParamValue

THREADS, TURNS = 6, 30


def whole(name, value):
    # Each value repeats a tag unique to its write: a torn or mixed one does not.
    tag = value.split("|", 1)[0]
    return tag.startswith(name + ":") and value == f"{tag}|" * 2000


if sys.argv[1] == "check":
    rows = Parameter.objects.values_list("name", "value")
    journal_mode = None
    if connection.vendor == "sqlite":
        with connection.cursor() as cursor:
            journal_mode = cursor.execute("PRAGMA journal_mode").fetchone()[0]
    rows = sorted((name, whole(name, value)) for name, value in rows)
    print(json.dumps({"journal_mode": journal_mode, "rows": rows}))
    sys.exit()

errors, reads = [], []
start = threading.Barrier(THREADS)


def writer(index):
    start.wait()
    try:
        for turn in range(TURNS):
            # A new name every third turn: all writers race to insert it, then to replace it.
            name = f"name-{turn // 3}"
            SetParamValue(name, f"{name}:{sys.argv[1]}:{index}:{turn}|" * 2000)
            reads.append((name, GetParamValue(name)))
    except Exception as error:
        errors.append(repr(error))
    finally:
        connection.close()


threads = [threading.Thread(target=writer, args=(index,)) for index in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps({"errors": errors, "reads": len(reads), "torn_reads": [n for n, v in reads if not whole(n, v)]}))
"""


def test_concurrent_writers_of_new_names_leave_one_whole_value_each(database):
    env = dict(os.environ, **database, DJANGO_SETTINGS_MODULE="mysite.settings")
    subprocess.run([sys.executable, "manage.py", "migrate", "--verbosity", "0"], env=env, check=True)
    writers = [
        subprocess.Popen([sys.executable, "-c", WRITERS, str(process)], env=env, stdout=subprocess.PIPE, text=True)
        for process in range(3)
    ]
    for process in writers:
        out, _ = process.communicate()
        assert process.returncode == 0
        assert json.loads(out) == {"errors": [], "reads": 6 * 30, "torn_reads": []}
    done = subprocess.run([sys.executable, "-c", WRITERS, "check"], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout)
    # On SQLite, readers need not wait for the writer.
    assert outcome["journal_mode"] == ("wal" if "MYSITE_DB_PATH" in database else None)
    assert outcome["rows"] == [[f"name-{number}", True] for number in range(10)]
