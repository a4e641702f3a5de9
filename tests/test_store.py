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
# under a threaded web server; several processes meet the same locks.
CONCURRENT_WRITERS = """
import json, threading
import django
django.setup()
from django.core.management import call_command
from django.db import connection
from mysite.base.models import GetParamValue, Parameter, SetParamValue

call_command("migrate", verbosity=0)
names = ["alpha", "beta", "gamma"]
written = {name: set() for name in names}
read, errors = [], []

def writer(index):
    try:
        for turn in range(60):
            name = names[turn % len(names)]
            # Long and unique to this write: a torn or mixed value matches none.
            value = f"{index}:{turn}|" * 2000
            written[name].add(value)
            SetParamValue(name, value)
            read.append((name, GetParamValue(name)))
    except Exception as error:
        errors.append(repr(error))
    finally:
        connection.close()

threads = [threading.Thread(target=writer, args=(index,)) for index in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
with connection.cursor() as cursor:
    journal_mode = cursor.execute("PRAGMA journal_mode").fetchone()[0]
print(json.dumps({
    "journal_mode": journal_mode,
    "errors": errors,
    "rows": sorted(name for name, _ in Parameter.objects.values_list("name", "value")),
    "rows_not_written": [name for name, value in Parameter.objects.values_list("name", "value")
                         if value not in written[name]],
    "reads": len(read),
    "reads_not_written": [name for name, value in read if value not in written[name]],
}))
"""


def test_concurrent_writers_of_one_name_leave_one_whole_value(tmp_path):
    env = dict(os.environ, MYSITE_DB_PATH=str(tmp_path / "db.sqlite3"), DJANGO_SETTINGS_MODULE="mysite.settings")
    done = subprocess.run([sys.executable, "-c", CONCURRENT_WRITERS], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout)
    assert outcome["journal_mode"] == "wal"  # readers need not wait for the writer
    assert outcome["errors"] == []
    assert outcome["rows"] == ["alpha", "beta", "gamma"]
    assert outcome["rows_not_written"] == []
    assert outcome["reads"] == 8 * 60
    assert outcome["reads_not_written"] == []
