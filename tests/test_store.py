"""The parameter store, directly and through the native module's bridge, on
the test database."""

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

