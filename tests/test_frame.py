"""Loading of the module, its globals, argument parsing and traceback entries."""

import ctypes
import importlib
import subprocess
import sys
import textwrap
import types

import pytest

import mysite.core.vorlik as vorlik

FUNCTIONS = [
    "pad",
    "unpad",
    "aes_encrypt",
    "aes_decrypt",
    "set_param_value",
    "get_param_value",
    "is_mac_address",
    "get_mac4multiple_network_card",
    "get_mac4network_card",
    "get_smbios_uuid",
    "get_machine_guid",
    "get_system_uuid",
]
GLOBALS = [
    "logging",
    "re",
    "settings",
    "uuid",
    "base64",
    "AES",
    "psutil",
    "MAC_BY_UUID",
    "NEW_MAC_DETECT",
    "logger",
    "BLOCK_SIZE",
    "FORCED_MAC",
]


def run_python(code, env=None):
    """Runs code in a fresh interpreter; returns its standard output."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_globals_and_functions_are_bound_in_order():
    names = [name for name in vars(vorlik) if not name.startswith("__")]
    assert names == GLOBALS + FUNCTIONS
    assert vorlik.BLOCK_SIZE == 16
    assert vorlik.MAC_BY_UUID is False and vorlik.NEW_MAC_DETECT is True
    assert vorlik.logger.name == "mysite.core.vorlik"
    for name in FUNCTIONS:
        function = getattr(vorlik, name)
        assert (function.__name__, function.__qualname__) == (name, name)
        assert function.__module__ == "mysite.core.vorlik"


def test_second_import_returns_the_module_without_running_its_body(monkeypatch):
    marker = object()
    monkeypatch.setattr(vorlik, "pad", marker)
    monkeypatch.delitem(sys.modules, "mysite.core.vorlik")
    again = importlib.import_module("mysite.core.vorlik")
    assert again is vorlik
    assert again.pad is marker
    assert again.__loader__ is again.__spec__.loader


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vorlik.pad(), "pad() takes exactly 1 positional argument (0 given)"),
        (lambda: vorlik.pad("a", "b"), "pad() takes exactly 1 positional argument (2 given)"),
        (lambda: vorlik.pad(bogus=1), "pad() takes exactly 1 positional argument (0 given)"),
        (
            lambda: vorlik.pad(content="a", bogus=1),
            "pad() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: vorlik.pad("a", content="b"),
            "pad() got multiple values for keyword argument 'content'",
        ),
        (
            lambda: vorlik.aes_encrypt(key="k"),
            "aes_encrypt() takes at least 1 positional argument (0 given)",
        ),
        (
            lambda: vorlik.aes_decrypt(1, 2, 3, 4),
            "aes_decrypt() takes at most 3 positional arguments (4 given)",
        ),
        (
            lambda: vorlik.aes_encrypt("a", None, key="k"),
            "aes_encrypt() got multiple values for keyword argument 'key'",
        ),
        (lambda: vorlik.get_smbios_uuid(1), "get_smbios_uuid() takes no arguments (1 given)"),
        (
            lambda: vorlik.get_system_uuid(1, x=2),
            "get_system_uuid() takes no keyword arguments",
        ),
        (lambda: vorlik.is_mac_address(), "is_mac_address() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def vectorcall(function, args, kwnames):
    """Calls through the C API, where keyword names need not be text."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    ]
    stack = (ctypes.py_object * len(args))(*args)
    positional = len(args) - len(kwnames)
    return api.PyObject_Vectorcall(function, stack, positional, kwnames)


@pytest.mark.parametrize("name", ["pad", "aes_encrypt", "get_param_value"])
def test_keyword_names_must_be_text(name):
    with pytest.raises(TypeError, match=rf"^{name}\(\) keywords must be strings$"):
        vectorcall(getattr(vorlik, name), ("x", 1), (1,))


def test_keywords_are_accepted_for_every_parameter():
    assert vorlik.pad(content="") == chr(16) * 16
    text = vorlik.aes_encrypt(content="x", key="k" * 16, mode=None)
    assert vorlik.aes_decrypt(base64_content=text, key="k" * 16) == "x"


def traceback_entries(error):
    entries = []
    tb = error.__traceback__
    while tb is not None:
        entries.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def test_errors_carry_an_entry_per_function_they_leave():
    with pytest.raises(AttributeError) as caught:
        vorlik.aes_encrypt(b"not text")
    entries = traceback_entries(caught.value)[-2:]
    assert [name for name, _, _ in entries] == [
        "mysite.core.vorlik.aes_encrypt",
        "mysite.core.vorlik.pad",
    ]
    assert all(file == "cipher.cpp" and line > 0 for _, file, line in entries)


def test_argument_errors_carry_an_entry_too():
    with pytest.raises(TypeError) as caught:
        vorlik.unpad()
    name, file, _ = traceback_entries(caught.value)[-1]
    assert (name, file) == ("mysite.core.vorlik.unpad", "vorlik.cpp")


def test_functions_reach_globals_by_name_at_call_time(monkeypatch):
    monkeypatch.setattr(vorlik, "BLOCK_SIZE", 8)
    assert vorlik.pad("abc") == "abc" + chr(5) * 5
    monkeypatch.setattr(vorlik, "pad", lambda content: content + chr(1))
    monkeypatch.setattr(vorlik, "unpad", lambda content: content[:-1])
    text = vorlik.aes_encrypt("x" * 15)
    assert vorlik.aes_decrypt(text) == "x" * 15
    monkeypatch.delattr(vorlik, "pad")
    with pytest.raises(NameError, match="^name 'pad' is not defined$"):
        vorlik.aes_encrypt("x")


def test_loading_without_psutil():
    out = run_python(
        """
        import os, sys
        os.environ["DJANGO_SETTINGS_MODULE"] = "mysite.settings"
        sys.modules["psutil"] = None
        import mysite.core.vorlik as v
        print(v.MAC_BY_UUID, v.NEW_MAC_DETECT, hasattr(v, "psutil"))
        """
    )
    assert out.split() == ["True", "False", "False"]


def test_forced_mac_is_read_once_and_defaults_to_false():
    out = run_python(
        """
        from django.conf import settings
        settings.configure(FORCED_MAC="yes")
        import mysite.core.vorlik as v
        settings.FORCED_MAC = False
        print(v.FORCED_MAC)
        """
    )
    assert out.split() == ["yes"]
    out = run_python(
        """
        from django.conf import settings
        settings.configure()
        import mysite.core.vorlik as v
        print(v.FORCED_MAC)
        """
    )
    assert out.split() == ["False"]


def test_a_failed_load_is_reported_and_a_later_import_starts_again():
    out = run_python(
        """
        import os, sys, traceback
        os.environ["DJANGO_SETTINGS_MODULE"] = "mysite.settings"
        sys.modules["Crypto.Cipher"] = None
        try:
            import mysite.core.vorlik
        except ImportError as error:
            names = [f.name for f in traceback.extract_tb(error.__traceback__)]
            print("init mysite.core.vorlik" in names, "mysite.core.vorlik" in sys.modules)
        del sys.modules["Crypto.Cipher"]
        import mysite.core.vorlik as v
        print(v.aes_decrypt(v.aes_encrypt("again")))
        """
    )
    assert out.split() == ["True", "False", "again"]


def test_settings_errors_other_than_a_missing_attribute_fail_the_load():
    out = run_python(
        """
        import os
        os.environ.pop("DJANGO_SETTINGS_MODULE", None)
        from django.core.exceptions import ImproperlyConfigured
        try:
            import mysite.core.vorlik
        except ImproperlyConfigured:
            print("refused")
        """
    )
    assert out.split() == ["refused"]


def test_module_object_is_a_plain_module():
    assert isinstance(vorlik, types.ModuleType)
    assert vorlik.__spec__.name == "mysite.core.vorlik"
    assert vorlik.__file__ == vorlik.__spec__.origin
    assert vorlik.__package__ == "mysite.core"
