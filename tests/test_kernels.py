"""Each Base64 and UTF-8 kernel against the standard library's base64 and codecs.

VORLIK_SIMD forces a kernel when the module loads, so each runs in a fresh
interpreter. There the cipher package is a stand-in that hands bytes through
(or hands out given ones), which leaves aes_encrypt and aes_decrypt as Base64
and UTF-8 alone: every result and every exception (type and message) must be
the standard library's.
"""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The CPU flags each kernel needs (Linux's names), the narrower kernels' included.
KERNELS = {
    "scalar": [],
    "sse": ["ssse3", "sse4_1"],
    "avx2": ["ssse3", "sse4_1", "avx", "avx2"],
    "avx512": ["ssse3", "sse4_1", "avx", "avx2", "avx512f", "avx512bw", "avx512vbmi"],
}


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            return next((set(line.split(":", 1)[1].split()) for line in cpuinfo if line.startswith("flags")), set())
    except OSError:
        return set()


def runs(kernel):
    return set(KERNELS[kernel]) <= cpu_flags()


DIFFERENTIAL = r"""
import base64, os, random, types
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")
import mysite.core.vorlik as vorlik
from bench import reference

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
random.seed(31)
failures = []


class StandIn:
    # encrypt: its input, or `answer`; decrypt: `answer`, keeping its input in `given`.
    answer = given = None

    def encrypt(self, data):
        return data if self.answer is None else self.answer

    def decrypt(self, data):
        self.given = data
        return self.answer


cipher = StandIn()
AES, vorlik.AES = vorlik.AES, types.SimpleNamespace(new=lambda key, mode: cipher, MODE_ECB=1)


def outcome(call):
    try:
        return "value", call()
    except Exception as error:
        return "error", type(error), str(error)


def same(label, got, want):
    if got != want and len(failures) < 10:
        failures.append(f"{label}: {str(got)[:300]} != {str(want)[:300]}")


def encoded(payload):
    cipher.answer = payload
    same(f"b64encode({payload[:40]!r}, {len(payload)} bytes)", outcome(lambda: vorlik.aes_encrypt("x")),
         outcome(lambda: base64.b64encode(payload).decode()))


def decoded(text):
    cipher.answer = b"\x01"
    got = outcome(lambda: vorlik.aes_decrypt(text))
    same(f"b64decode({text[:80]!r}, {len(text)} characters)", got[:1] + (cipher.given,) if got[0] == "value" else got,
         outcome(lambda: base64.b64decode(text.encode("utf-8"))))


def utf8_encoded(text):
    cipher.answer = None
    same(f"encode({text[:40]!r}, {len(text)} characters)", outcome(lambda: vorlik.aes_encrypt(text)),
         outcome(lambda: base64.b64encode(reference.pad(text).encode("utf-8")).decode()))


def utf8_decoded(raw):
    cipher.answer = raw + b"\x01"
    same(f"decode({raw[:40]!r}, {len(raw)} bytes)", outcome(lambda: vorlik.aes_decrypt("AAAA")),
         outcome(lambda: raw.decode("utf-8")))


POOLS = [
    "abc xyz\x00\x7f",
    "a\x7f\x80\xe9\xff",
    "a\xe9\u0100\u07ff\u0800\u20ac\u2014\uffff",
    "a\xe9\u20ac\U00010000\U0001f600\U0010ffff",
]


def text_of(pool, length):
    return "".join(random.choice(pool) for _ in range(length))


# Base64, both ways: every length, long texts, every character of the alphabet and the
# padding at every place, characters outside it and bad padding at every place.
for size in [*range(301), 65536, 1 << 20]:
    payload = random.randbytes(size)
    encoded(payload)
    decoded(base64.b64encode(payload).decode())
for text in [base64.b64encode(random.randbytes(size)).decode() for size in (51, 50, 49, 99, 3 << 15)]:
    places = range(len(text)) if len(text) < 200 else [0, 1, 64, 65, len(text) // 2, len(text) - 5, len(text) - 1]
    for at in places:
        for character in ALPHABET + "=":
            decoded(text[:at] + character + text[at + 1:])
        for foreign in " \n\t\r!*-_.\x00\x7f\xe9\u20ac\ud800":
            decoded(text[:at] + foreign + text[at:])
    for end in ("", "=", "==", "==="):
        decoded(text.rstrip("=") + end)
        decoded(text + end)

# UTF-8, both ways: every length from each range of characters, surrogates and every
# kind of invalid sequence at every place, long texts.
for pool in POOLS:
    for length in [*range(301), 70000]:
        text = text_of(pool, length)
        utf8_encoded(text)
        utf8_decoded(text.encode("utf-8"))
for pool in POOLS[1:]:
    text = text_of(pool, 40)
    for at in range(41):
        utf8_encoded(text[:at] + "\udc80" + text[at:])
        utf8_encoded(text[:at] + "\ud800" + text[at:] + "\U0001f600")
INVALID = [b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xc2", b"\xc2\xc2\x80", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
           b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xe2\x82", b"\xe2\x28\xa1", b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf",
           b"\xf0\x9f\x98", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80\x80", b"\xff", b"\x80\x80\x80"]
for raw in [text_of(POOLS[0], 40).encode(), text.encode(), text_of(POOLS[3], 20).encode()]:
    for at in range(len(raw) + 1):
        if at == len(raw) or raw[at] & 0xC0 != 0x80:  # at a character's start
            for bad in INVALID:
                utf8_decoded(raw[:at] + bad + raw[at:])
long = ("The quick brown fox \u2014 na\xefve caf\xe9, cr\xe8me br\xfbl\xe9e \u20ac12. " * 20000).encode()
for at in (0, 17, len(long) // 2, len(long) - 2):
    utf8_decoded(long[:at] + b"\xe2\x82" + long[at:])
utf8_decoded(long)
utf8_encoded(long.decode())

# Large texts, with the real cipher: they go through AES, Base64 and the check for ASCII a
# piece at a time. Sizes around the pieces (12 KiB) and where that begins (8 KiB), a character
# that is not ASCII in the first, a middle or the last piece; decrypted bytes chosen to end in
# every kind of padding; cipher text with bad padding, and foreign characters where pieces meet.
vorlik.AES = AES
PIECE, KEY = 12288, "k" * 16


def sealed(raw):
    return base64.b64encode(AES.new(KEY.encode(), AES.MODE_ECB).encrypt(raw)).decode()


def both(call, *args):
    same(f"{call}({str(args)[:60]}, {len(args[0])})", outcome(lambda: getattr(vorlik, call)(*args)),
         outcome(lambda: getattr(reference, call)(*args)))


for size in (8192 - 16, 8192, PIECE - 16, PIECE, PIECE + 16, 2 * PIECE, 65536 - 16, 65536 + 16, 6 * PIECE + 16):
    text = text_of(POOLS[0], size - 1)
    for at in (None, 0, PIECE - 1, PIECE, size // 2, size - 2):
        changed = text if at is None else text[:at] + "\u20ac" + text[at + 1:]
        both("aes_encrypt", changed, KEY)
        both("aes_decrypt", reference.aes_encrypt(changed, KEY), KEY)
    ascii_bytes = text.encode()[: size - 16]
    for last in (b"x" * 15 + b"\x01", b"x" * 16, b"x\xff" + b"\x0e" * 14, b"\x10" * 16, b"\xe9" + b"\x0f" * 15,
                 b"x" * 15 + b"\x00", b"x" * 15 + b"\x11", b"x" * 15 + b"\xff", b"xy" + b"\xff" * 13 + b"\x0e"):
        both("aes_decrypt", sealed(ascii_bytes + last), KEY)
    both("aes_decrypt", sealed(b"\xe9" + ascii_bytes[1:] + b"x" * 15 + b"\x01"), KEY)
    cipher_text = reference.aes_encrypt(text, KEY)
    for edited in (cipher_text.rstrip("="), cipher_text + "=", cipher_text[:-4] + "=" + cipher_text[-3:],
                   cipher_text[:-1] + "\n"):
        both("aes_decrypt", edited, KEY)
    for meet in range(PIECE // 3 * 4, len(cipher_text), PIECE // 3 * 4):
        before, after = cipher_text[:meet], cipher_text[meet:]
        for edited in (before[:-1] + "=" + after, before + "!" + after, before[:-2] + "\n\r" + before[-2:] + after,
                       before + "=" + after[1:]):
            both("aes_decrypt", edited, KEY)
assert not failures, "\n".join(failures)
"""


IMPORT = "import os; os.environ['DJANGO_SETTINGS_MODULE'] = 'mysite.settings'\nimport mysite.core.vorlik as v\n"


def run_forced(kernel, code):
    environment = {**os.environ, "VORLIK_SIMD": kernel}
    return subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=environment, capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("kernel", KERNELS)
def test_each_kernel_agrees_with_the_standard_library(kernel):
    if not runs(kernel):
        pytest.skip(f"this CPU lacks {', '.join(sorted(set(KERNELS[kernel]) - cpu_flags()))} (or is no x86-64)")
    done = run_forced(kernel, DIFFERENTIAL)
    assert done.returncode == 0, done.stderr[-4000:]


def test_an_empty_switch_loads_the_default_kernel():
    done = run_forced("", IMPORT + "assert v.aes_decrypt(v.aes_encrypt('\u20ac' * 99)) == '\u20ac' * 99")
    assert done.returncode == 0, done.stderr[-2000:]


@pytest.mark.parametrize("kernel", ["vector", "AVX2", *[kernel for kernel in KERNELS if not runs(kernel)]])
def test_a_kernel_the_module_cannot_run_fails_the_import(kernel):
    done = run_forced(kernel, IMPORT)
    assert f"ImportError: VORLIK_SIMD is '{kernel}': it must be one of scalar, " in done.stderr
