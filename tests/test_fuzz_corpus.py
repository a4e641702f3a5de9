"""The fuzzer's seed corpus, replayed through the harness on the build under test.

Every input must pass the harness's checks (agreement with the plain-Python counterpart and the
functions' own promises), and together the inputs must reach every function the harness drives.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("atheris")  # the fuzz extra

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"

# Run in a fresh interpreter: the harness instruments the modules it imports.
REPLAY = """
import importlib.util, json, pathlib, sys

spec = importlib.util.spec_from_file_location("fuzz_vorlik", "fuzz/fuzz_vorlik.py")
harness = importlib.util.module_from_spec(spec)
spec.loader.exec_module(harness)
reached = set()

def profile(frame, event, function):
    if event == "c_call" and getattr(function, "__module__", None) == "mysite.core.vorlik":
        reached.add(function.__name__)

for path in sorted(pathlib.Path("fuzz/corpus").iterdir()):
    sys.setprofile(profile)
    try:
        harness.TestOneInput(path.read_bytes())
    except Exception as error:
        raise AssertionError(f"fuzz/corpus/{path.name} fails") from error
    finally:
        sys.setprofile(None)
print(json.dumps({"reached": sorted(reached), "driven": sorted([*harness.FIXED, *harness.NULLARY])}))
"""


def test_corpus_is_small():
    inputs = [path for path in CORPUS.iterdir() if path.is_file()]
    assert inputs
    assert sum(path.stat().st_size for path in inputs) < 1 << 20


def test_every_input_passes_and_every_driven_function_is_reached():
    done = subprocess.run([sys.executable, "-c", REPLAY], cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    report = json.loads(done.stdout.splitlines()[-1])
    assert sorted(set(report["driven"]) - set(report["reached"])) == []
