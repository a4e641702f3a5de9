"""The parameter bridge, against a stand-in for the application's models."""

import sys
import types

import pytest

import mysite.core.vorlik as vorlik


class Settings:
    """Stands in for the settings object; DEPT_COUNT present or not."""

    def __init__(self, **values):
        self.__dict__.update(values)


class Unconfigured:
    def __getattr__(self, name):
        raise RuntimeError("settings are not configured")


@pytest.fixture
def models(monkeypatch):
    calls = []
    module = types.ModuleType("mysite.base.models")
    for name in ("set_param_value", "get_param_value", "SetParamValue", "GetParamValue"):
        def record(*args, _name=name, **kwargs):
            calls.append((_name, args, kwargs))
            return f"{_name} result"
        setattr(module, name, record)
    monkeypatch.setitem(sys.modules, "mysite.base.models", module)
    module.calls = calls
    return module


@pytest.mark.parametrize(
    "settings, first_set",
    [
        (Settings(DEPT_COUNT=3), True),
        (Settings(DEPT_COUNT=None), True),
        (Settings(DEPT_COUNT=0), True),
        (Settings(), False),
        (Unconfigured(), False),
    ],
    ids=["DEPT_COUNT=3", "DEPT_COUNT=None", "DEPT_COUNT=0", "absent", "unconfigured"],
)
def test_the_settings_choose_the_set_and_arguments_pass_unchanged(monkeypatch, models, settings, first_set):
    monkeypatch.setattr(vorlik, "settings", settings)
    value = object()
    assert vorlik.set_param_value("name", value, dept=2) is None
    assert vorlik.get_param_value("name", default=value) == (
        "get_param_value result" if first_set else "GetParamValue result"
    )
    setter, getter = ("set_param_value", "get_param_value") if first_set else ("SetParamValue", "GetParamValue")
    assert models.calls == [
        (setter, ("name", value), {"dept": 2}),
        (getter, ("name",), {"default": value}),
    ]


def test_both_names_of_a_pair_must_exist(monkeypatch, models):
    monkeypatch.setattr(vorlik, "settings", Settings(DEPT_COUNT=1))
    monkeypatch.delattr(models, "SetParamValue")
    with pytest.raises(ImportError, match="^cannot import name SetParamValue$") as caught:
        vorlik.set_param_value("name", "value")
    assert caught.traceback[-1].name == "mysite.core.vorlik.set_param_value"
    assert vorlik.get_param_value("name") == "get_param_value result"
    assert [call[0] for call in models.calls] == ["get_param_value"]


def test_the_callees_errors_reach_the_caller(monkeypatch, models):
    def refuse(*args, **kwargs):
        raise LookupError("no such parameter")

    monkeypatch.setattr(vorlik, "settings", Settings())
    monkeypatch.setattr(models, "GetParamValue", refuse)
    with pytest.raises(LookupError, match="no such parameter"):
        vorlik.get_param_value("missing")


def test_a_missing_models_module_is_an_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "mysite.base.models", None)
    with pytest.raises(ImportError):
        vorlik.get_param_value("name")
