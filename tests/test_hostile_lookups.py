"""Lookups that run Python code: the native paths against the plain-Python module.

A dictionary key whose hash equals a name's makes every lookup of that name
call the key's ``__eq__``, which may rebind, delete or raise; a module spec's
``_initializing`` may be a property.  Under each such setup the native module
must do what the plain-Python counterpart does: the same result or exception,
and the same number of lookups.  Each case corrupts a dictionary for good, so
it runs in a fresh interpreter, once per implementation.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = """
import base64, json, os, platform, re, sys, types
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")
if sys.argv[1] == "native":
    import mysite.core.vorlik as module
else:
    from bench import reference as module
import Crypto.Cipher.AES

KEY = "0123456789abcdef"
planted = []


class Collide:
    armed = False

    def __init__(self, name):
        self.name, self.action, self.compares, self.per_lookup = name, None, 0, 1

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        # A lookup may meet the key more than once on its probe path, as often
        # as the dictionary's layout makes it, the same for every lookup: the
        # action runs at the first meeting, with the number of the lookup.
        if self.armed:
            lookup, meeting = divmod(self.compares, self.per_lookup)
            self.compares += 1
            if meeting == 0 and self.action:
                try:
                    self.action(lookup + 1)
                except BaseException:
                    self.compares += self.per_lookup - 1  # the lookup ends here
                    raise
        return False


def plant(namespace, name, action):
    # Re-inserting the name after the key puts the key first on the name's probe path.
    value = namespace.pop(name)
    key = Collide(name)
    namespace[key] = None
    namespace[name] = value
    key.armed = True
    namespace[name]
    key.per_lookup, key.compares, key.action = key.compares, 0, action
    planted.append(key)


def rebind(name, value):
    return lambda calls: setattr(module, name, value)


def alternate(name, *values):
    # Each lookup binds the next value; setting the name looks it up too.
    state = {"busy": False, "next": 0}

    def action(calls):
        if not state["busy"]:
            state["busy"] = True
            setattr(module, name, values[state["next"] % len(values)])
            state["next"] += 1
            state["busy"] = False

    return action


def delete(name):
    return lambda calls: module.__dict__.pop(name, None)


class Planted(Exception):
    pass


def fail(calls):
    raise Planted(f"lookup {calls}")


def fail_once(calls):
    if calls == 1:
        raise Planted("first lookup")


def outcome(call, *args):
    try:
        return ["value", call(*args)]
    except Exception as error:
        return ["error", type(error).__name__, str(error)]
"""


def run(implementation, body):
    lookups = "[key.compares / key.per_lookup for key in planted]"
    script = PRELUDE + textwrap.dedent(body) + f"\nprint(json.dumps([result, {lookups}]))\n"
    completed = subprocess.run(
        [sys.executable, "-c", script, implementation], capture_output=True, text=True, cwd=ROOT
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.splitlines()[-1])


CASES = {
    "a spec property drops the module being imported": """
        def fake_platform():
            fake = types.ModuleType("platform")
            fake.system = lambda: "Linux"

            class Spec:
                @property
                def _initializing(self):
                    del sys.modules["platform"]  # the last reference but the importer's
                    return False

            fake.__spec__ = Spec()
            return fake

        result = []
        for _ in range(200):
            sys.modules["platform"] = fake_platform()
            result.append(outcome(module.get_machine_guid))
    """,
    "a spec property that raises": """
        class Spec:
            _initializing = property(lambda self: 1 / 0)

        fake = types.ModuleType("platform")
        fake.system = lambda: "Windows"
        fake.__spec__ = Spec()
        sys.modules["platform"] = fake
        sys.modules["winreg"] = types.ModuleType("winreg")  # no OpenKey: AttributeError
        result = outcome(module.get_machine_guid)
    """,
    "the lookup of a module in sys.modules rebinds it": """
        fake = types.ModuleType("platform")
        fake.system = lambda: "Plan 9"
        plant(sys.modules, "platform", lambda calls: calls == 1 and sys.modules.__setitem__("platform", fake))
        result = [outcome(module.get_machine_guid), sys.modules["platform"] is fake]
    """,
    "the lookup of a module in sys.modules raises": """
        plant(sys.modules, "platform", fail_once)
        result = [outcome(module.get_machine_guid), outcome(module.get_machine_guid)]
    """,
    "the lookup of AES rebinds BLOCK_SIZE": """
        plant(module.__dict__, "AES", rebind("BLOCK_SIZE", 32))
        result = outcome(module.aes_encrypt, "abc", KEY)
    """,
    "the lookup of AES deletes BLOCK_SIZE": """
        plant(module.__dict__, "AES", delete("BLOCK_SIZE"))
        result = outcome(module.aes_encrypt, "abc", KEY)
    """,
    "the lookup of AES makes BLOCK_SIZE a huge number": """
        plant(module.__dict__, "AES", rebind("BLOCK_SIZE", 2**100 + 16))
        result = outcome(module.aes_encrypt, "abc", KEY)
    """,
    "the first lookup of BLOCK_SIZE rebinds it for the second": """
        plant(module.__dict__, "BLOCK_SIZE", alternate("BLOCK_SIZE", 32, 16))
        result = [outcome(module.pad, "abc"), outcome(module.aes_encrypt, "abc", KEY)]
    """,
    "the two lookups of BLOCK_SIZE give extreme pairs": """
        # The first read is the size, the second the modulus: n = size - 3 % modulus.
        LONG_MIN, LONG_MAX, INT_MIN, INT_MAX = -(2**63), 2**63 - 1, -(2**31), 2**31 - 1
        pairs = [(LONG_MIN, 16), (LONG_MAX, -1), (LONG_MIN, LONG_MAX), (LONG_MAX, LONG_MIN),
                 (LONG_MIN, 1), (LONG_MIN, 2), (LONG_MIN, 0), (LONG_MAX, 1), (LONG_MAX, LONG_MAX),
                 (INT_MIN, INT_MAX), (INT_MIN, 16), (0, 1), (1, 1), (1, 0), (0, 16), (LONG_MIN - 1, 16)]
        plant(module.__dict__, "BLOCK_SIZE", alternate("BLOCK_SIZE", *[value for pair in pairs for value in pair * 2]))
        result = [outcome(call, "abc") for _ in pairs for call in (module.pad, module.aes_encrypt)]
    """,
    "the lookup of base64 rebinds unpad": """
        tokens = [module.aes_encrypt(text, KEY) for text in ("secret", "x" * 30000)]
        plant(module.__dict__, "base64", rebind("unpad", lambda data: data[:2] + data[-17:]))
        result = [outcome(module.aes_decrypt, token, KEY) for token in tokens]
    """,
    "the lookup of pad rebinds base64": """
        plant(module.__dict__, "pad", rebind("base64", types.SimpleNamespace(b64encode=lambda data: b"rebound")))
        result = outcome(module.aes_encrypt, "abc")
    """,
    "the lookup of AES.new in the cipher package rebinds pad": """
        plant(Crypto.Cipher.AES.__dict__, "new", rebind("pad", lambda text: text * 16))
        result = outcome(module.aes_encrypt, "abc")
    """,
    "the lookup of b64decode in base64 rebinds the cipher package's constructor": """
        token = module.aes_encrypt("abc")
        plant(base64.__dict__, "b64decode", rebind("AES", types.SimpleNamespace(new=None, MODE_ECB=1)))
        result = [outcome(module.aes_decrypt, token), outcome(module.aes_decrypt, token)]
    """,
    "the lookup of re raises": """
        plant(module.__dict__, "re", fail)
        result = [outcome(module.is_mac_address, "00-1a-2b-3c-4d-5e"), outcome(module.is_mac_address, "x")]
    """,
    "the lookup of re.match rebinds re for the second pattern": """
        plant(re.__dict__, "match", rebind("re", types.SimpleNamespace(match=lambda pattern, text: pattern)))
        result = [outcome(module.is_mac_address, "00:1a:2b:3c:4d:5e"), outcome(module.is_mac_address, "x")]
    """,
    "the lookup of BLOCK_SIZE raises": """
        plant(module.__dict__, "BLOCK_SIZE", fail)
        result = [outcome(module.pad, "abc"), outcome(module.aes_encrypt, "abc")]
    """,
    "the first lookup of BLOCK_SIZE raises": """
        plant(module.__dict__, "BLOCK_SIZE", fail_once)
        result = [outcome(module.pad, "abc"), outcome(module.pad, "abc")]
    """,
    "the lookup of AES raises": """
        plant(module.__dict__, "AES", fail)
        result = [outcome(module.aes_encrypt, "abc"), outcome(module.aes_decrypt, "abc", KEY, 1)]
    """,
    "the first lookup of AES raises": """
        plant(module.__dict__, "AES", fail_once)
        result = [outcome(module.aes_encrypt, "abc"), outcome(module.aes_encrypt, "abc")]
    """,
    "the lookup of the settings raises in the parameter bridge": """
        models = types.ModuleType("mysite.base.models")
        models.set_param_value = models.get_param_value = lambda *args: "first"
        models.SetParamValue = models.GetParamValue = lambda *args: "second"
        sys.modules["mysite.base.models"] = models
        plant(module.__dict__, "settings", fail_once)
        result = [outcome(module.get_param_value, "name"), outcome(module.get_param_value, "name")]
    """,
}


@pytest.mark.parametrize("body", CASES.values(), ids=CASES.keys())
def test_native_module_does_what_the_plain_python_module_does(body):
    assert run("native", body) == run("reference", body)
