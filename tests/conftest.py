import json
import os

import pytest

# The module reads the application's settings while it loads.
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

# The tests of the module itself, which the builds that differ only in it (without
# OpenSSL, with sanitizers) and the interpreters other than the first and the last
# run alone: `pytest -m native`.  The rest test the application around the module.
NATIVE = {
    "test_adapters", "test_bridge", "test_cipher", "test_frame", "test_fuzz_corpus", "test_hostile_lookups",
    "test_identity", "test_interpreters", "test_leaks", "test_native_paths", "test_reference_smoke",
    "test_threads", "test_typing",
}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.module.__name__.rpartition(".")[2] in NATIVE:
            item.add_marker(pytest.mark.native)


@pytest.fixture
def database(tmp_path):
    """The environment variables that select a fresh database for a subprocess:
    on the PostgreSQL server of MYSITE_DATABASE_URL when set, else a SQLite file."""
    from bench.load import fresh_database

    return fresh_database(tmp_path)


@pytest.fixture
def readings_here(monkeypatch):
    """Identity readings in this process, where the test's stand-ins are, through the same JSON."""
    from mysite.core import identity

    monkeypatch.setattr(identity, "child_result", lambda t: json.loads(json.dumps(identity.reading_result(t))))
