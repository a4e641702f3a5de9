"""Fuzz harness for mysite.core.vorlik: the text cipher, MAC address text and argument parsing.

Every input becomes one call of pad, unpad, aes_encrypt, aes_decrypt or is_mac_address, with
text, bytes and objects built from the fuzzer's data, or one call with a random argument list
to one of those or to a function without parameters (which must refuse it before it runs, so
nothing here starts a process or asks psutil).  Each call is checked against the plain-Python
counterpart in bench/reference.py (same result, or same exception type and message) and
against the functions' own promises: result types, padding lengths, round trips, the two
re.match calls of is_mac_address, the exact argument-error messages, and a traceback entry
named after the function on every exception.

The objects that the harness builds raise `Planted` from their methods: such an exception is
the caller's own and must come through unchanged.

    python fuzz/fuzz_vorlik.py -max_total_time=60      (libFuzzer flags; fuzz/run for the sanitizer build)
"""

import ctypes
import os
import sys
import types
from functools import partial

import atheris

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

# Coverage of the counterpart and of the cipher and Base64 code it runs steers the fuzzer
# through the same branches as the native module's, which is not instrumented.
with atheris.instrument_imports(include=["bench", "Crypto", "base64"]):
    import base64
    import re

    from Crypto.Cipher import AES

    from bench import reference

from mysite.core import vorlik  # noqa: E402

assert os.path.dirname(vorlik.__file__) == os.path.join(ROOT, "mysite", "core"), vorlik.__file__


class Planted(Exception):
    """Raised by the harness's own objects: the caller's exception, which must pass through."""


# ---- Values built from the fuzzer's data ----------------------------------------------------

HEX = "0123456789abcdefABCDEF"
B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
# Characters that sit on the functions' edges: separators, near-hexadecimal and non-ASCII
# digits, padding codes, Base64 signs, multi-byte and unencodable characters.
TRICKY = (
    HEX + "gGxX-:.; =+/\n\t\x00\x01\x05\x0f\x10\x11\x7f\x80\xe9\xff"
    "\u0660\u0669\u06f5\u0966\uff10\uff19\uff21\uff46\u2028\ufeff"
    "\ud800\udbff\udc80\udfff\U0001f600\U0010ffff"
)
MODES = [getattr(AES, name) for name in dir(AES) if name.startswith("MODE_")]
# Modes whose cipher chooses a random vector or nonce: their output differs from run to run.
RANDOM_MODES = {m for m in MODES if m != AES.MODE_ECB and m not in (AES.MODE_SIV, getattr(AES, "MODE_KW", None))}
KEY_LENGTHS = [0, 1, 15, 16, 17, 23, 24, 25, 31, 32, 33, 48, 64]
MAX_DEPTH = 2


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class IntSub(int):
    pass


def pick(fdp, values):
    return values[fdp.ConsumeIntInRange(0, len(values) - 1)]


def tricky_text(fdp, length):
    return "".join(pick(fdp, TRICKY) for _ in range(length))


def mac_text(fdp):
    """Six hexadecimal pairs, then maybe broken: other separators, groups, characters."""
    separator = pick(fdp, "-:-:.; ")
    groups = pick(fdp, [6, 6, 6, 5, 7, 8])
    pairs = []
    for _ in range(groups):
        pair = pick(fdp, HEX) + pick(fdp, HEX)
        if fdp.ConsumeIntInRange(0, 15) == 0:
            pair = tricky_text(fdp, fdp.ConsumeIntInRange(0, 3))
        pairs.append(pair)
    text = ""
    for i, pair in enumerate(pairs):
        if i:
            text += pick(fdp, "-:") if fdp.ConsumeIntInRange(0, 15) == 0 else separator
        text += pair
    if fdp.ConsumeBool():
        text = tricky_text(fdp, fdp.ConsumeIntInRange(0, 2)) + text + tricky_text(fdp, fdp.ConsumeIntInRange(0, 4))
    return text


def key_text(fdp):
    """A key of a valid or nearly valid UTF-8 length, sometimes with multi-byte characters."""
    length = pick(fdp, KEY_LENGTHS)
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return reference.DEFAULT_KEY
    if kind == 1:
        return "".join(chr(fdp.ConsumeIntInRange(0x20, 0x7E)) for _ in range(length))
    if kind == 2:
        # Two-byte characters: half as many characters for the same UTF-8 length.
        return "\xe9" * (length // 2) + "k" * (length % 2)
    return fdp.ConsumeUnicode(length)


def plain_text(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    length = fdp.ConsumeIntInRange(0, 48)
    if kind == 0:
        return fdp.ConsumeUnicodeNoSurrogates(length)
    if kind == 1:
        return tricky_text(fdp, length).encode("utf-8", "ignore").decode("utf-8")
    if kind == 2:
        # Lengths on and around whole blocks of UTF-8 bytes.
        return pick(fdp, ["a", "\xe9", "\u20ac", "\U0001f600", "\x10", "\x00"]) * fdp.ConsumeIntInRange(0, 70)
    if kind == 3:
        # Several of the 12 KiB pieces that large texts go through AES and Base64 in, of one
        # character but for one other somewhere.
        text = pick(fdp, ["a", "\x7f", "\xe9", "\u20ac"]) * fdp.ConsumeIntInRange(8 << 10, 80 << 10)
        where = fdp.ConsumeIntInRange(0, len(text) - 1)
        return text[:where] + pick(fdp, ["\x00", "\x80", "\u20ac", "\U0001f600"]) + text[where + 1 :]
    return ""


def cipher_text(fdp):
    """Base64 cipher text made with a known key, then maybe damaged."""
    key = key_text(fdp) if fdp.ConsumeBool() else None
    try:
        text = reference.aes_encrypt(plain_text(fdp), key)
    except Exception:
        text = base64.b64encode(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))).decode()
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        where = fdp.ConsumeIntInRange(0, len(text))
        edit = fdp.ConsumeIntInRange(0, 5)
        if edit == 0:
            text = text[:where] + pick(fdp, B64) + text[where + 1 :]
        elif edit == 1:
            text = text[:where]
        elif edit == 2:
            text = text.rstrip("=")
        elif edit == 3:
            text = text[:where] + pick(fdp, TRICKY) + text[where:]
        elif edit == 4:
            text += "=" * fdp.ConsumeIntInRange(1, 3)
        else:
            text += base64.b64encode(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 32))).decode()
    return text


def text(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 64))  # surrogates too
    if kind == 1:
        return tricky_text(fdp, fdp.ConsumeIntInRange(0, 40))
    if kind == 2:
        return mac_text(fdp)
    if kind == 3:
        return cipher_text(fdp)
    if kind == 4:
        return key_text(fdp)
    if kind == 5:
        return plain_text(fdp) + chr(fdp.ConsumeIntInRange(0, 40))
    return pick(fdp, TRICKY) * fdp.ConsumeIntInRange(0, 5000)


def raw_bytes(fdp):
    if fdp.ConsumeBool():
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    return text(fdp).encode("utf-8", "surrogatepass")


def integer(fdp):
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 0:
        return fdp.ConsumeIntInRange(-2, 20)
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))  # huge too
    return pick(fdp, [2**31, 2**63 - 1, 2**63, 2**64, -(2**63) - 1, 0x10FFFF, 0x110000])


def number(fdp):
    if fdp.ConsumeIntInRange(0, 3):
        return integer(fdp)
    return pick(fdp, [0.0, 1.0, 16.0, -0.0, float("nan"), float("inf")])


# Methods the functions may call on the objects they are given; the dunder ones through the
# interpreter's slots (len, slicing, +, truth, %, -, chr's index, hashing for the mode table).
ODD_METHODS = ["encode", "__len__", "__getitem__", "__add__", "__radd__", "__bool__", "__rmod__", "__sub__",
               "__index__", "__hash__"]
ODD_BASES = [object, str, bytes, bytearray, list, int]


def odd_method(name, behaviour, result):
    if behaviour == "raise":

        def method(self, *args, **kwargs):
            raise Planted(name)

    else:

        def method(self, *args, **kwargs):
            return result

    method.__name__ = name
    return method


def odd_object(fdp, depth):
    """An instance of a new class whose methods raise Planted or return odd values."""
    base = pick(fdp, ODD_BASES)
    namespace = {}
    described = []
    for name in ODD_METHODS:
        choice = fdp.ConsumeIntInRange(0, 5)
        if choice >= 3 or (name == "__hash__" and base in (int, str, bytes)):
            continue  # kept from the base, or absent
        if choice == 0:
            namespace[name] = odd_method(name, "raise", None)
            described.append(f"{name}: raise")
        elif choice == 1:
            result = value(fdp, depth + 1)
            namespace[name] = odd_method(name, "return", result)
            described.append(f"{name}: {result!r}")
        elif name == "encode":
            namespace[name] = value(fdp, depth + 1)  # not callable, or something else odd
            described.append(f"{name} = {namespace[name]!r}")
        else:
            namespace[name] = None  # the slot explicitly off
            described.append(f"{name} = None")
    description = f"Odd({base.__name__}; {', '.join(described)})"
    namespace["__repr__"] = lambda self: description
    cls = type("Odd", (base,), namespace)
    if base is object:
        return cls()
    if base is str:
        return cls(text(fdp))
    if base in (bytes, bytearray):
        return cls(raw_bytes(fdp))
    if base is list:
        return cls([value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 2))])
    return cls(fdp.ConsumeIntInRange(-2, 20))


# The interpreter (3.11.7 and 3.12.1 here, not 3.13.0) crashes when the collector clears a
# memoryview whose buffer is still exported as part of cyclic garbage, such as an exception's
# traceback: the cipher package's cffi backend exports what it is given. The views made here
# are never garbage.
VIEWS_KEPT = []


def value(fdp, depth=0):
    """Any object: text, bytes, numbers, containers, subclasses and odd objects."""
    kind = fdp.ConsumeIntInRange(0, 13 if depth < MAX_DEPTH else 6)
    if kind <= 2:
        return text(fdp)
    if kind == 3:
        return raw_bytes(fdp)
    if kind == 4:
        return bytearray(raw_bytes(fdp))
    if kind == 5:
        return number(fdp)
    if kind == 6:
        return pick(fdp, [None, True, False, 0, "", b"", bytearray(), (), [], {}, ...])
    if kind == 7:
        return StrSub(text(fdp))
    if kind == 8:
        made = pick(fdp, [BytesSub, ByteArraySub, memoryview])(raw_bytes(fdp))
        if type(made) is memoryview:
            VIEWS_KEPT.append(made)
        return made
    if kind == 9:
        return IntSub(integer(fdp)) if fdp.ConsumeBool() else StrSub(fdp.ConsumeUnicode(1))
    if kind == 10:
        return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 11:
        return tuple(value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    return odd_object(fdp, depth)


def key_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind <= 2:
        return key_text(fdp)
    if kind == 3:
        return pick(fdp, [None, "", False, 0, 0.0, [], b"", IntSub(0)])
    if kind == 4:
        return StrSub(key_text(fdp))
    if kind == 5:
        return key_text(fdp).encode("utf-8", "surrogatepass")
    return value(fdp)


def mode_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 1:
        return pick(fdp, [None, 0, False, "", AES.MODE_ECB, 1.0, True, IntSub(1)])
    if kind == 2:
        return pick(fdp, MODES)
    if kind == 3:
        return number(fdp)
    if kind == 4:
        return pick(fdp, ["ECB", b"\x01", [1], (1,)])
    return value(fdp)


def content_value(fdp):
    return text(fdp) if fdp.ConsumeIntInRange(0, 2) else value(fdp)


def unpad_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return text(fdp)
    if kind == 1:
        return raw_bytes(fdp)
    if kind == 2:
        return bytearray(raw_bytes(fdp))
    return value(fdp)


PARAMETER_VALUES = {
    "content": content_value,
    "base64_content": lambda fdp: cipher_text(fdp) if fdp.ConsumeIntInRange(0, 2) else value(fdp),
    "key": key_value,
    "mode": mode_value,
    "address": lambda fdp: mac_text(fdp) if fdp.ConsumeIntInRange(0, 2) else value(fdp),
}


# ---- Globals that the functions read at call time -------------------------------------------

def block_size_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 4:
        # The limits of a C long, 64 and 32 bits wide, and just beyond.
        return pick(fdp, [-(2**63), 2**63 - 1, -(2**31), 2**31 - 1, -(2**63) - 1, 2**63])
    if kind == 0:
        return pick(fdp, [1, 2, 8, 15, 17, 32, 255, 0x10FFFF, 0x110000, 0, -1, -16])
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if kind == 2:
        return pick(fdp, [IntSub(16), 16.0, True, "16", None])
    return value(fdp, 1)


def fake_re(fdp):
    """A stand-in for the `re` global: the real match, or one answering odd values."""
    answer = value(fdp, 1)
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 0:
        return types.SimpleNamespace(match=re.match)
    if kind == 1:
        return types.SimpleNamespace(match=lambda pattern, string: answer)

    def refuse(pattern, string):
        raise Planted("match")

    return types.SimpleNamespace(match=refuse)


class Rebound:
    """Rebinds one global of both the module and its counterpart for the call, then restores it."""

    def __init__(self, name, new):
        self.name, self.new = name, new

    def __enter__(self):
        self.saved = getattr(vorlik, self.name), getattr(reference, self.name)
        setattr(vorlik, self.name, self.new)
        setattr(reference, self.name, self.new)

    def __exit__(self, *exc):
        setattr(vorlik, self.name, self.saved[0])
        setattr(reference, self.name, self.saved[1])


def refuse(*args, **kwargs):
    raise Planted("rebound global")


def answer(result):
    return lambda *args, **kwargs: result


def global_value(fdp, name):
    """A value for a rebound global: the same object for both modules, or each its own."""
    kind = fdp.ConsumeIntInRange(0, 3)
    if name == "BLOCK_SIZE":
        return block_size_value(fdp)
    if kind == 0:
        return pick(fdp, [refuse, None, value(fdp, 1)])
    if name in ("pad", "unpad"):
        return Own(pick(fdp, ["pad", "unpad"])) if kind == 1 else answer(value(fdp, 1))
    if name == "base64":
        if kind == 1:
            return base64
        return types.SimpleNamespace(b64encode=pick(fdp, [base64.b64encode, refuse, answer(value(fdp, 1))]),
                                     b64decode=pick(fdp, [base64.b64decode, refuse, answer(value(fdp, 1))]))
    if kind == 1:
        return AES
    mode = mode_value(fdp)  # the default mode: one with a random vector would differ between the calls
    return types.SimpleNamespace(new=pick(fdp, [AES.new, refuse, answer(value(fdp, 1))]),
                                 MODE_ECB=AES.MODE_ECB if is_random_mode(mode) else mode)


class Own:
    """Each module's own object of that name."""

    def __init__(self, name):
        self.objects = getattr(vorlik, name), getattr(reference, name)


class Colliding:
    """A dictionary key with a global's hash: each lookup of that global compares with it.
    At the first meeting of the n-th lookup it runs the n-th action, if there is one."""

    def __init__(self, name, actions, module, side):
        self.name, self.actions, self.module, self.side = name, actions, module, side
        self.compares, self.per_lookup, self.armed, self.counting = 0, 1, False, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not (self.armed or self.counting):
            return False
        lookup, meeting = divmod(self.compares, self.per_lookup)
        self.compares += 1
        if self.counting or meeting or lookup >= len(self.actions):
            return False
        target, new = self.actions[lookup]
        if target is None:
            self.compares += self.per_lookup - 1  # the lookup ends here
            raise Planted(f"lookup {lookup + 1} of {self.name}")
        self.armed = False  # rebinding looks the name up too
        try:
            if new is Hostile.DELETE:
                self.module.__dict__.pop(target, None)
            else:
                setattr(self.module, target, new.objects[self.side] if isinstance(new, Own) else new)
        finally:
            self.armed = True
        return False

    def run(self, call):
        # How often one lookup meets the key depends on the dictionary's layout.
        self.counting, self.compares = True, 0
        getattr(self.module, self.name)
        self.counting, self.per_lookup, self.compares, self.armed = False, max(1, self.compares), 0, True
        try:
            return call()
        finally:
            self.armed = False

    def lookups(self):
        return self.compares / self.per_lookup

    def deletes_itself(self):
        # A lookup that fails probes on until an empty slot, and may meet the key again on the
        # way: how often depends on the layout, so only reaching the deletion is comparable.
        target, new = self.actions[-1]
        return target == self.name and new is Hostile.DELETE


class Hostile:
    """Keys planted in both modules' dictionaries whose comparison rebinds or deletes a global,
    or raises, at the first lookups of a global; afterwards the keys go, the globals come back."""

    NAMES = ("BLOCK_SIZE", "pad", "unpad", "base64", "AES")
    DELETE = object()

    def __init__(self, fdp):
        name = pick(fdp, self.NAMES)
        actions = []
        for _ in range(fdp.ConsumeIntInRange(1, 3)):
            kind = fdp.ConsumeIntInRange(0, 9)
            # The looked-up name itself half the time: its reads then differ within a call.
            target = name if fdp.ConsumeBool() else pick(fdp, self.NAMES)
            if kind == 0:
                actions.append((None, None))
            elif kind == 1:
                # Binding a deleted name again may grow the dictionary, and a lookup that meets
                # a resized one starts over: the number of meetings would follow the layout.
                actions.append((target, self.DELETE))
                break
            else:
                actions.append((target, global_value(fdp, target)))
        self.keys = [Colliding(name, actions, module, side) for side, module in enumerate((vorlik, reference))]

    def __enter__(self):
        self.saved = [{name: getattr(key.module, name) for name in self.NAMES} for key in self.keys]
        for key in self.keys:
            # Re-inserting the name after the key puts the key first on the name's probe path.
            namespace = key.module.__dict__
            saved = namespace.pop(key.name)
            namespace[key] = None
            namespace[key.name] = saved
        return self

    def __exit__(self, *exc):
        for key, saved in zip(self.keys, self.saved, strict=True):
            key.armed = False
            del key.module.__dict__[key]
            key.module.__dict__.update(saved)


def globals_for(name, fdp):
    if name != "is_mac_address" and fdp.ConsumeIntInRange(0, 3) == 0:
        return Hostile(fdp)
    if name in ("pad", "aes_encrypt") and fdp.ConsumeIntInRange(0, 7) == 0:
        return Rebound("BLOCK_SIZE", block_size_value(fdp))
    if name == "is_mac_address" and fdp.ConsumeIntInRange(0, 7) == 0:
        return Rebound("re", fake_re(fdp))
    return None


# ---- The checks ------------------------------------------------------------------------------

FIXED = {
    "pad": ("content",),
    "unpad": ("content",),
    "aes_encrypt": ("content", "key", "mode"),
    "aes_decrypt": ("base64_content", "key", "mode"),
    "is_mac_address": ("address",),
}
# Called here only with arguments, which they must refuse before doing anything.
NULLARY = ["get_mac4multiple_network_card", "get_mac4network_card", "get_smbios_uuid", "get_machine_guid",
           "get_system_uuid"]

# What each function may raise for any input: its own failures (binascii.Error is a ValueError),
# the interpreter's errors for objects of the wrong kind or odd answers of their methods (a
# __len__ too large, negative or not an int), those of the rebound globals (BLOCK_SIZE 0, a
# padding code outside chr's range), and the caller's own (Planted).
_COMMON = (TypeError, ValueError, OverflowError, Planted)
DOCUMENTED = {
    "pad": _COMMON + (AttributeError, UnicodeEncodeError, ZeroDivisionError),
    "unpad": _COMMON,
    "aes_encrypt": _COMMON + (AttributeError, UnicodeEncodeError, ZeroDivisionError),
    "aes_decrypt": _COMMON + (AttributeError, UnicodeEncodeError, UnicodeDecodeError),
    "is_mac_address": _COMMON,
}


class Failure(AssertionError):
    pass


def fail(name, bound, message, *detail):
    lines = [f"{name}({', '.join(f'{k}={v!r}' for k, v in bound.items())}): {message}"]
    lines += [f"  {d!r}" for d in detail]
    raise Failure("\n".join(lines)[:8000])


def outcome(call):
    try:
        return True, call()
    except Exception as error:
        return False, error


def has_entry(error, name):
    traceback = error.__traceback__
    while traceback is not None:
        if traceback.tb_frame.f_code.co_name == f"mysite.core.vorlik.{name}":
            return True
        traceback = traceback.tb_next
    return False


def check_error(name, bound, error, allowed):
    if not isinstance(error, allowed):
        fail(name, bound, "undocumented exception", error, error.__context__)
    if not has_entry(error, name):
        fail(name, bound, "exception without the function's traceback entry", error)


def same_exception(a, b):
    return type(a) is type(b) and str(a) == str(b) and type(a.__context__) is type(b.__context__)


def same_value(a, b):
    return a is b or (type(a) is type(b) and a == b)


def is_random_mode(mode):
    try:
        if not mode:
            return False
        return isinstance(mode, (int, float)) and mode in RANDOM_MODES
    except Exception:
        return False


def check_call(name, bound, native_call, hostile=None):
    """Runs the native call and the counterpart with the same parameters, and compares."""
    function = getattr(reference, name)
    ref_call = lambda: function(**bound)  # noqa: E731
    if hostile is not None:
        native_call, ref_call = partial(hostile.keys[0].run, native_call), partial(hostile.keys[1].run, ref_call)
    ok, got = outcome(native_call)
    if not ok:
        # Under planted keys anything may fail, the same way on both sides.
        check_error(name, bound, got, Exception if hostile else DOCUMENTED[name])
    ref_ok, want = outcome(ref_call)
    if name in ("aes_encrypt", "aes_decrypt") and is_random_mode(bound.get("mode")):
        # A random vector: only the kind of outcome is fixed, and for decryption not even
        # whether the plain text is valid UTF-8.
        def kind(success, result):
            if success or isinstance(result, UnicodeDecodeError):
                return "text" if name == "aes_decrypt" or success else type(result)
            return type(result), str(result)

        if kind(ok, got) != kind(ref_ok, want) or (ok and type(got) is not str):
            fail(name, bound, "differs from the counterpart", got, want)
        return
    if ok != ref_ok or not (same_value(got, want) if ok else same_exception(got, want)):
        fail(name, bound, "differs from the counterpart", got, want)
    if hostile is not None:
        lookups = [key.lookups() for key in hostile.keys]
        key = hostile.keys[0]
        if key.deletes_itself():
            last = len(key.actions) - 1
            lookups = [last + 1 if n > last else n for n in lookups]
        if lookups[0] != lookups[1]:
            fail(name, bound, f"looks {hostile.keys[0].name} up as often as the counterpart", lookups)
    elif ok:
        check_result(name, bound, got)


def check_with_globals(name, bound, native_call, fdp):
    """check_call, maybe with globals rebound or keys planted that rebind them."""
    rebound = globals_for(name, fdp)
    if rebound is None:
        check_call(name, bound, native_call)
        return
    with rebound:
        check_call(name, bound, native_call, rebound if isinstance(rebound, Hostile) else None)


def check_result(name, bound, result):
    """The functions' own promises, beyond agreeing with the counterpart."""
    content = bound.get("content")
    if name == "pad" and type(content) is str and type(vorlik.BLOCK_SIZE) is int and vorlik.BLOCK_SIZE > 0:
        size = vorlik.BLOCK_SIZE
        n = size - len(content.encode("utf-8")) % size
        if type(result) is not str or result != content + chr(n) * n:
            fail(name, bound, "wrong padding", result)
        if size == 16 and len(result.encode("utf-8")) % 16:
            fail(name, bound, "padded text not whole blocks", result)
        if vorlik.unpad(result) != content:
            fail(name, bound, "unpad does not undo pad", result)
    elif name == "unpad" and type(content) in (str, bytes, bytearray) and type(result) is not type(content):
        fail(name, bound, "result of another type", result)
    elif name == "aes_decrypt" and type(result) is not str:
        fail(name, bound, "result not text", result)
    elif name == "aes_encrypt":
        if type(result) is not str:
            fail(name, bound, "result not text", result)
        if type(content) in (str, StrSub) and vorlik.BLOCK_SIZE == 16:
            back = outcome(lambda: vorlik.aes_decrypt(result, bound.get("key"), bound.get("mode")))
            if back != (True, content):
                fail(name, bound, "aes_decrypt does not undo aes_encrypt", result, back)
    elif name == "is_mac_address":
        if type(result) is not bool:
            fail(name, bound, "result not a bool", result)
        if vorlik.re is re:
            address = bound["address"]
            want = bool(re.match(r"([0-9A-Fa-f]{2})(-[0-9A-Fa-f]{2}){5}", address)) or bool(
                re.match(r"([0-9A-Fa-f]{2})(:[0-9A-Fa-f]{2}){5}", address))
            if result != want:
                fail(name, bound, "differs from the two re.match calls", result)


def fuzz_function(fdp):
    """One well-formed call, positional or by keyword."""
    name = pick(fdp, list(FIXED))
    params = FIXED[name]
    count = fdp.ConsumeIntInRange(1, len(params))
    bound = {p: PARAMETER_VALUES[p](fdp) for p in params[:count]}
    by_keyword = fdp.ConsumeBool()
    function = getattr(vorlik, name)
    native_call = (lambda: function(**bound)) if by_keyword else (lambda: function(*bound.values()))
    check_with_globals(name, bound, native_call, fdp)


# ---- Argument lists ---------------------------------------------------------------------------

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(function, args, kwnames):
    """A call through the C API, which alone can pass names that are not text, or repeated."""
    values = (ctypes.py_object * max(1, len(args)))(*args)
    names = tuple(kwnames) if kwnames is not None else None
    result = _vectorcall(function, ctypes.cast(values, ctypes.c_void_p), len(args) - len(names or ()),
                         None if names is None else id(names))
    return result


def expected_refusal(name, nargs, keywords):
    """The TypeError message the call must raise, or None when the arguments fit."""
    if name in NULLARY:
        if keywords:
            return f"{name}() takes no keyword arguments"
        if nargs:
            return f"{name}() takes no arguments ({nargs} given)"
        return None
    params = FIXED[name]
    total, required = len(params), 1

    def count_message():
        if required == total:
            bound, expected = "exactly", total
        elif nargs < required:
            bound, expected = "at least", required
        else:
            bound, expected = "at most", total
        plural = "" if expected == 1 else "s"
        return f"{name}() takes {bound} {expected} positional argument{plural} ({nargs} given)"

    def names_a_later_param(keyword):
        return isinstance(keyword, str) and keyword in params[nargs:]

    if nargs > total:
        return count_message()
    if any(p not in params[:nargs] and not any(names_a_later_param(k) and k == p for k in keywords)
           for p in params[:required]):
        return count_message()
    for keyword in keywords:
        if names_a_later_param(keyword):
            continue
        if not isinstance(keyword, str):
            return f"{name}() keywords must be strings"
        if keyword in params[:nargs]:
            return f"{name}() got multiple values for keyword argument '{keyword}'"
        return f"{name}() got an unexpected keyword argument '{keyword}'"
    return None


ALL_PARAMS = sorted({p for params in FIXED.values() for p in params})


def keyword_name(fdp, text_only):
    kind = fdp.ConsumeIntInRange(0, 9 if text_only else 11)
    if kind <= 4:
        return pick(fdp, ALL_PARAMS)
    if kind == 5:
        return StrSub(pick(fdp, ALL_PARAMS))
    if kind == 6:
        return pick(fdp, ALL_PARAMS) + pick(fdp, ["_", " ", "s", "\x00", "\u0301"])
    if kind == 7:
        return pick(fdp, ["", "Content", "KEY", "args", "kwargs", "self", "base64", "\ud800", "\xe9"])
    if kind == 8:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if kind == 9:
        return StrSub(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12)))
    return value(fdp, 1)  # not text: only the C API can pass it


def fuzz_arguments(fdp):
    """A random argument list to a random function; refused with the exact message, or run."""
    name = pick(fdp, list(FIXED) + NULLARY)
    params = FIXED.get(name, ())
    through_c = fdp.ConsumeIntInRange(0, 3) == 0
    nargs = fdp.ConsumeIntInRange(0, 4)
    keywords = [keyword_name(fdp, not through_c) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if not through_c:
        keywords = list(dict.fromkeys(keywords))  # a dict holds each name once
    if name in NULLARY and nargs == 0 and not keywords:
        nargs = 1

    def argument(slot):
        parameter = slot if slot in PARAMETER_VALUES else None
        return PARAMETER_VALUES[parameter](fdp) if parameter else value(fdp)

    args = [argument(params[i] if i < len(params) else None) for i in range(nargs)]
    kwvalues = [argument(k if isinstance(k, str) and k in PARAMETER_VALUES else None) for k in keywords]
    function = getattr(vorlik, name)
    if through_c:
        # No keywords: a null name tuple, or an empty one.
        kwnames = keywords if keywords or fdp.ConsumeBool() else None
        native_call = lambda: vectorcall(function, args + kwvalues, kwnames)  # noqa: E731
    else:
        kwargs = dict(zip(keywords, kwvalues, strict=True))
        native_call = lambda: function(*args, **kwargs)  # noqa: E731
    repeated = len({str(k) if isinstance(k, str) else id(k) for k in keywords}) < len(keywords)
    message = expected_refusal(name, nargs, keywords)
    shown = {"args": args, "keywords": dict(zip(map(repr, keywords), kwvalues, strict=True))}
    if name in NULLARY and message is None:
        raise AssertionError("a call without arguments was built for " + name)
    if message is None and not repeated:
        bound = dict(zip(params, args, strict=False))  # nargs <= len(params) here
        bound.update((str(k), v) for k, v in zip(keywords, kwvalues, strict=True))
        check_with_globals(name, bound, native_call, fdp)
        return
    ok, got = outcome(native_call)
    if ok:
        fail(name, shown, "accepted arguments that it must refuse", got, message)
    if repeated:
        # Repeated names break the C API's contract: any refusal will do, but a refusal.
        if not isinstance(got, (TypeError, SystemError)):
            fail(name, shown, "repeated keyword names not refused", got)
    elif type(got) is not TypeError or str(got) != message:
        fail(name, shown, "wrong refusal", got, message)
    if not has_entry(got, name):
        fail(name, shown, "exception without the function's traceback entry", got)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 2):
        fuzz_function(fdp)
    else:
        fuzz_arguments(fdp)


# The harness's own branches count as coverage too.
for _function in list(globals().values()):
    if isinstance(_function, types.FunctionType) and _function.__module__ == __name__:
        atheris.instrument_func(_function)


def main():
    # libFuzzer starts the workers of -merge and -fork by handing its first argument to the shell.
    command = os.environ.get("VORLIK_FUZZ_COMMAND", sys.argv[0])
    atheris.Setup([command, *sys.argv[1:]], TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
