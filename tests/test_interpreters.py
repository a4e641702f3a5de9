"""The module on each supported interpreter version: sub-interpreters, the version it was built for, and what it
declares to the interpreter."""

import ctypes
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from test_frame import run_python

import mysite.core.vorlik as vorlik

OWN_REFUSAL = (
    "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
)
INTERPRETERS_REFUSAL = "ImportError: module mysite.core.vorlik does not support loading in subinterpreters"

# A sub-interpreter of the given kind, made with the interpreter module this version has.
MAKE_SUBINTERPRETER = """
import os, sys
os.environ["DJANGO_SETTINGS_MODULE"] = "mysite.settings"
if sys.version_info >= (3, 13):
    import _interpreters
    other = _interpreters.create(_interpreters.new_config(KIND))
else:
    import _xxsubinterpreters as _interpreters
    other = _interpreters.create(isolated=KIND == "isolated")
"""

# In the sub-interpreter: the import twice, each time an ImportError and no module object left behind.
IMPORT_TWICE = """
import sys
for _ in range(2):
    try:
        import mysite.core.vorlik
    except ImportError as error:
        print(f"ImportError: {error}", "mysite.core.vorlik" in sys.modules, flush=True)
"""
LOAD = "import mysite.core.vorlik as v; print(v.aes_decrypt(v.aes_encrypt('sub')), flush=True)"


def with_subinterpreter(kind, script, before="", after=""):
    """Runs `before` in a fresh interpreter, `script` in a new sub-interpreter of `kind`, printing what escaped it,
    then destroys that and runs `after`; returns the lines printed."""
    run = f"""
        try:
            escaped = _interpreters.run_string(other, {script!r})
        except getattr(_interpreters, "RunFailedError", ()) as error:  # before 3.13 it is raised
            escaped = error
        print("escaped:", escaped, flush=True)
        _interpreters.destroy(other)
        """
    code = f"KIND = {kind!r}\n" + MAKE_SUBINTERPRETER + "".join(map(textwrap.dedent, (before, run, after)))
    return run_python(code).splitlines()


def expected_refusal(kind):
    """An isolated sub-interpreter refuses the module itself since 3.12; a legacy one reaches the module's refusal."""
    return INTERPRETERS_REFUSAL if kind == "isolated" and sys.version_info >= (3, 12) else OWN_REFUSAL


@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_a_subinterpreter_is_refused_once_the_main_one_has_the_module(kind):
    lines = with_subinterpreter(
        kind,
        IMPORT_TWICE,
        before="import mysite.core.vorlik as first\n",
        after="""
        again = sys.modules["mysite.core.vorlik"]
        print(again is first, again.aes_decrypt(again.aes_encrypt("still works")))
        """,
    )
    assert lines == [f"{expected_refusal(kind)} False"] * 2 + ["escaped: None", "True still works"]


@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_a_legacy_subinterpreter_may_be_the_one_that_loads_it(kind):
    # As a web server's per-application interpreter: the first interpreter to load the module keeps it, even once
    # destroyed, and the main one is refused. An isolated one refuses the module since 3.12, before anything is kept.
    lines = with_subinterpreter(
        kind,
        LOAD,
        after="""
        try:
            import mysite.core.vorlik as v
            print("main:", v.aes_decrypt(v.aes_encrypt("main")))
        except ImportError as error:
            print(f"ImportError: {error}", "mysite.core.vorlik" in sys.modules)
        """,
    )
    if expected_refusal(kind) == INTERPRETERS_REFUSAL:
        assert len(lines) == 2 and lines[0].startswith("escaped: ") and "loading in subinterpreters" in lines[0]
        assert lines[1] == "main: main"
    else:
        assert lines == ["sub", "escaped: None", f"{OWN_REFUSAL} False"]


def test_no_version_warning_on_the_version_it_was_built_for():
    run_python(
        """
        import os, warnings
        os.environ["DJANGO_SETTINGS_MODULE"] = "mysite.settings"
        warnings.simplefilter("error", RuntimeWarning)
        import mysite.core.vorlik
        """
    )


def installed_python(version):
    """The executable of an installed CPython `version` ("3.12"), through pyenv or the PATH; None if there is none."""
    if pyenv := shutil.which("pyenv"):
        found = subprocess.run([pyenv, "prefix", version], capture_output=True, text=True)
        return Path(found.stdout.strip(), "bin", "python3") if found.returncode == 0 else None
    return shutil.which(f"python{version}")


@pytest.mark.parametrize("runtime", ["3.12", "3.13"])
def test_a_newer_interpreter_warns_with_the_built_and_running_versions(runtime):
    built = f"{sys.version_info.major}.{sys.version_info.minor}"
    if tuple(map(int, runtime.split("."))) <= sys.version_info[:2]:
        pytest.skip(f"built for {built}: {runtime} is not newer")
    python = installed_python(runtime)
    if python is None:
        pytest.skip(f"no CPython {runtime} installed")
    # Warnings as errors: the load stops at the warning, before any code built for another version runs.
    code = textwrap.dedent(
        f"""
        import importlib.util, warnings
        warnings.simplefilter("error", RuntimeWarning)
        spec = importlib.util.spec_from_file_location("mysite.core.vorlik", {vorlik.__file__!r})
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except RuntimeWarning as warning:
            print(warning)
        """
    )
    result = subprocess.run([python, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        f"compile time Python version {built} of module 'mysite.core.vorlik' does not match runtime version {runtime}"
    )


class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDef(ctypes.Structure):
    _fields_ = [
        ("head", ctypes.c_byte * object.__basicsize__),
        ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p),
        ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.POINTER(Slot)),
    ]


def test_declares_process_wide_state_to_the_interpreter():
    entry = ctypes.PyDLL(vorlik.__file__).PyInit_vorlik
    entry.restype = ctypes.POINTER(ModuleDef)
    definition = entry().contents
    assert definition.m_name == b"vorlik"
    slots = {}
    for slot in definition.m_slots:
        if slot.slot == 0:
            break
        slots[slot.slot] = slot.value
    # 3.15 numbers the slots anew (the old numbers serve the older stable ABI).
    create, exec_, multiple_interpreters, gil = (84, 85, 86, 87) if sys.version_info >= (3, 15) else (1, 2, 3, 4)
    expected = {create, exec_}
    if sys.version_info >= (3, 12):
        expected.add(multiple_interpreters)
        assert slots[multiple_interpreters] is None  # not supported
    if sys.version_info >= (3, 13):
        expected.add(gil)
        assert slots[gil] is None  # uses the global lock
        assert sys._is_gil_enabled()
    assert set(slots) == expected
