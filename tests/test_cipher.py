"""The text cipher: block padding and AES-ECB with Base64 text outside."""

import base64
import binascii
import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from hypothesis import given
from hypothesis import strategies as st

import mysite.core.vorlik as vorlik
from bench import reference

# The build's default key (see the build setting VORLIK_DEFAULT_KEY).
DEFAULT_KEY = os.environ.get("VORLIK_DEFAULT_KEY", "Vk7#mQ2p!Lx9@Rb4")

texts = st.text(st.characters(blacklist_categories=["Cs"]))
keys = st.sampled_from([16, 24, 32]).flatmap(
    lambda size: st.text(st.characters(min_codepoint=33, max_codepoint=126), min_size=size, max_size=size)
)


class Text(str):
    """A str subclass: takes the generic path wherever exact str has a shortcut."""


class OwnEncoding(str):
    def encode(self, *args):
        return b"12345"


def independent_ecb(plain: bytes, key: str) -> bytes:
    """AES-ECB from another implementation, for the bit-compatibility checks."""
    encryptor = Cipher(algorithms.AES(key.encode()), modes.ECB()).encryptor()
    return encryptor.update(plain) + encryptor.finalize()


@pytest.mark.parametrize(
    "content, expected",
    [
        ("", chr(16) * 16),
        ("a" * 16, "a" * 16 + chr(16) * 16),
        ("abc", "abc" + chr(13) * 13),
        ("\u00e9", "\u00e9" + chr(14) * 14),
        ("\U0001F600" * 3, "\U0001F600" * 3 + chr(4) * 4),
        (OwnEncoding("x"), "x" + chr(11) * 11),
    ],
)
def test_pad(content, expected):
    padded = vorlik.pad(content)
    assert padded == expected and type(padded) is str
    assert len(padded.encode()) % 16 == 0 or isinstance(content, OwnEncoding)


@given(texts, st.integers(1, 300))
def test_pad_agrees_with_its_generic_path(text, block_size):
    vorlik.BLOCK_SIZE = block_size
    try:
        padded = vorlik.pad(text)
        assert padded == vorlik.pad(Text(text))
        if block_size < 128:  # padding characters then encode to one byte each
            assert len(padded.encode()) % block_size == 0
    finally:
        vorlik.BLOCK_SIZE = 16


@pytest.mark.parametrize(
    "block_size, error",
    [(16.0, TypeError), (0, ZeroDivisionError), ("16", TypeError)],
)
def test_pad_with_an_unusual_block_size_fails_like_the_operations(monkeypatch, block_size, error):
    monkeypatch.setattr(vorlik, "BLOCK_SIZE", block_size)
    with pytest.raises(error):
        vorlik.pad("abc")


# Texts of 64 KiB and more go through AES 12 KiB at a time; with these block sizes the padding
# (BLOCK_SIZE bytes) begins before the last piece. An encoder of Python's own takes the bytes whole.
@pytest.mark.parametrize("block_size, size", [(20, 98300), (22, 73722), (17, 135167)])
@pytest.mark.parametrize("first", ["a", "\u00e9"])
@pytest.mark.parametrize("encoder", [base64, SimpleNamespace(b64encode=lambda raw: base64.b64encode(raw))])
def test_padding_longer_than_the_last_piece_matches_the_counterpart(monkeypatch, block_size, size, first, encoder):
    text = first + "a" * (size - len(first.encode()))
    for module in (vorlik, reference):
        monkeypatch.setattr(module, "BLOCK_SIZE", block_size)
    monkeypatch.setattr(vorlik, "base64", encoder)
    assert vorlik.aes_encrypt(text) == reference.aes_encrypt(text)


def test_pad_refuses_what_is_not_encodable_text():
    with pytest.raises(AttributeError):
        vorlik.pad(b"bytes")
    with pytest.raises(UnicodeEncodeError):
        vorlik.pad("lone \ud800 surrogate")


@pytest.mark.parametrize(
    "content, expected",
    [
        ("abc" + chr(0), ""),
        ("ab" + chr(5), ""),
        ("abcd" + chr(2), "abc"),
        (b"abcd\x02", b"abc"),
        (bytearray(b"ab\x01"), bytearray(b"ab")),
        (b"\xff", b""),
        (Text("xy\x01"), "xy"),
    ],
)
def test_unpad(content, expected):
    result = vorlik.unpad(content)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "content, error, message",
    [
        (5, TypeError, "object of type 'int' has no len()"),
        ({1, 2}, TypeError, "'set' object is unsliceable"),
        ("", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 0"),
        (b"", TypeError, "ord() expected a character, but string of length 0 found"),
        (bytearray(), TypeError, "ord() expected a character, but string of length 0 found"),
        ([1, 2], TypeError, "ord() expected string of length 1, but list found"),
    ],
)
def test_unpad_errors(content, error, message):
    with pytest.raises(error) as caught:
        vorlik.unpad(content)
    assert str(caught.value) == message


@given(texts)
def test_unpad_undoes_pad(text):
    assert vorlik.unpad(vorlik.pad(text)) == text
    assert vorlik.unpad(vorlik.pad(text).encode()) == text.encode()
    assert vorlik.unpad(Text(text + "\x03")) == vorlik.unpad(text + "\x03")


@given(texts, st.one_of(st.none(), keys))
def test_round_trip_and_bit_compatibility(text, key):
    cipher_text = vorlik.aes_encrypt(text, key)
    assert vorlik.aes_decrypt(cipher_text, key) == text
    expected = independent_ecb(vorlik.pad(text).encode(), key or DEFAULT_KEY)
    assert base64.b64decode(cipher_text) == expected


def test_default_key_and_mode():
    default = vorlik.aes_encrypt("secret")
    for false_key in (None, "", 0, False):
        assert vorlik.aes_encrypt("secret", false_key) == default
    assert vorlik.aes_encrypt("secret", mode=vorlik.AES.MODE_ECB) == default
    assert vorlik.aes_encrypt("secret", DEFAULT_KEY, 0) == default
    assert vorlik.aes_encrypt("secret") == default  # no vector, no salt
    assert len(vorlik.aes_encrypt("")) == 24


def test_decoder_is_lenient_about_foreign_characters_only():
    cipher_text = vorlik.aes_encrypt("text")
    noisy = cipher_text[:5] + "\n!*" + cipher_text[5:]
    assert vorlik.aes_decrypt(noisy) == "text"
    with pytest.raises(binascii.Error):
        vorlik.aes_decrypt(cipher_text.rstrip("="))


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: vorlik.aes_encrypt("x", b"k" * 16), AttributeError),
        (lambda: vorlik.aes_encrypt("x", "short"), ValueError),
        (lambda: vorlik.aes_decrypt("x", 123), AttributeError),
        (lambda: vorlik.aes_decrypt(base64.b64encode(b"x" * 15).decode()), ValueError),
        (lambda: vorlik.aes_decrypt(b"bytes"), AttributeError),
        (lambda: vorlik.aes_encrypt(None), AttributeError),
    ],
)
def test_cipher_errors(call, error):
    with pytest.raises(error):
        call()


def test_wrong_key_never_gives_back_the_text():
    cipher_text = vorlik.aes_encrypt("a secret text", "A" * 16)
    try:
        result = vorlik.aes_decrypt(cipher_text, "B" * 16)
    except UnicodeDecodeError:
        return
    assert result != "a secret text"


def test_cipher_package_and_encoder_are_module_globals(monkeypatch):
    calls = []

    class RecordingAES:
        MODE_ECB = vorlik.AES.MODE_ECB

        @staticmethod
        def new(key, mode):
            calls.append((key, mode))
            return vorlik_aes.new(key, mode)

    class Encoder:
        b64encode = staticmethod(lambda raw: base64.b16encode(raw))
        b64decode = staticmethod(lambda text: base64.b16decode(text))

    vorlik_aes = vorlik.AES
    monkeypatch.setattr(vorlik, "AES", RecordingAES)
    monkeypatch.setattr(vorlik, "base64", Encoder)
    cipher_text = vorlik.aes_encrypt("x", "k" * 16)
    assert cipher_text == base64.b16encode(independent_ecb(vorlik.pad("x").encode(), "k" * 16)).decode()
    assert vorlik.aes_decrypt(cipher_text, "k" * 16) == "x"
    assert calls == [(b"k" * 16, vorlik_aes.MODE_ECB)] * 2


# The size in bytes from which the module works on a text without the interpreter's lock, and
# those of the pieces that large texts go through AES and Base64 in, from twice the second.
UNLOCKED, PIECE, PIECES = 64 << 10, 12 << 10, 8 << 10


def text_padded_to(size, unit):
    """A text of `unit` characters whose padded UTF-8 form is `size` bytes."""
    width = len(unit.encode())
    count = (size - 16) // width
    return unit * count + "x" * (size - 1 - count * width)


@pytest.mark.parametrize("size", [PIECES - 16, PIECES, PIECE, PIECE + 16, UNLOCKED - 16, UNLOCKED, UNLOCKED + 16])
@pytest.mark.parametrize("unit", ["x", "\u00e9", "\u20ac", "\U0001F600"])
@pytest.mark.parametrize("key", [None, "k" * 16, "\u00e9" * 12, "k" * 32])
def test_texts_around_the_unlocked_size_match_the_counterpart(size, unit, key):
    text = text_padded_to(size, unit)
    cipher_text = vorlik.aes_encrypt(text, key)
    assert cipher_text == reference.aes_encrypt(text, key)
    assert vorlik.aes_decrypt(cipher_text, key) == text


@pytest.mark.parametrize("extra", [0, 1, 15, 16, 17])
@pytest.mark.parametrize("size", [PIECES, 2 * PIECE, UNLOCKED, 6 * PIECE])
def test_large_ascii_texts_with_any_last_block_match_the_counterpart(size, extra):
    # AES reads the whole blocks of such a text from the text itself, and decrypts into the result.
    text = "".join(chr(32 + i % 95) for i in range(size + extra))
    for key in (None, "k" * 32):
        cipher_text = vorlik.aes_encrypt(text, key)
        assert cipher_text == reference.aes_encrypt(text, key)
        assert vorlik.aes_decrypt(cipher_text, key) == text


# A libcrypto configuration whose only provider offers no algorithm, as on a
# system whose policy allows only a certified module that is not installed.
NULL_PROVIDER = """\
openssl_conf = openssl_init
[openssl_init]
providers = providers
[providers]
null = null
[null]
activate = 1
"""


def test_without_aes_in_libcrypto_the_results_stay_the_same(tmp_path):
    config = tmp_path / "openssl.cnf"
    config.write_text(NULL_PROVIDER)
    code = textwrap.dedent(f"""
        import ctypes, ctypes.util
        import mysite.core.vorlik as vorlik
        from bench import reference
        libcrypto = ctypes.CDLL(ctypes.util.find_library("crypto"))
        libcrypto.EVP_CIPHER_fetch.restype = ctypes.c_void_p
        assert not libcrypto.EVP_CIPHER_fetch(None, b"AES-128-ECB", None), "the configuration offers AES"
        for key in [None, "k" * 16, "k" * 24, "k" * 32, "k" * 16]:  # the last one kept from before
            for text in ["", "Grüße", "x" * {UNLOCKED}]:
                cipher_text = vorlik.aes_encrypt(text, key)
                assert cipher_text == reference.aes_encrypt(text, key), (key, text[:9])
                assert vorlik.aes_decrypt(cipher_text, key) == text, (key, text[:9])
    """)
    environment = {**os.environ, "OPENSSL_CONF": str(config)}
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    subprocess.run([sys.executable, "-c", code], cwd=root, env=environment, check=True, timeout=120)
