import json
import os

import pytest

# The module reads the application's settings while it loads.
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")


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
