import array
import base64
import collections
import os
import sys
import types

import pytest

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from django.conf import settings

from bench import reference

TEXTS = ["", "a", "x" * 16, "\u00e9", "\u20ac" * 5 + "abc", "\u65e5\u672c\u8a9e " * 7]


def test_globals_are_bound_in_load_order():
    names = [name for name in vars(reference) if not name.startswith("_")]
    assert names[: names.index("FORCED_MAC") + 1] == [
        "logging", "re", "settings", "uuid", "base64", "AES", "psutil",
        "MAC_BY_UUID", "NEW_MAC_DETECT", "logger", "BLOCK_SIZE", "FORCED_MAC",
    ]
    assert (reference.BLOCK_SIZE, reference.MAC_BY_UUID, reference.NEW_MAC_DETECT) == (16, False, True)
    assert reference.FORCED_MAC == settings.FORCED_MAC
    assert reference.logger.name == "mysite.core.vorlik"


@pytest.mark.parametrize("text", TEXTS)
def test_pad_is_pkcs7_of_the_utf8_form_and_unpad_undoes_it(text):
    padder = padding.PKCS7(128).padder()
    assert reference.pad(text).encode("utf-8") == padder.update(text.encode("utf-8")) + padder.finalize()
    assert reference.unpad(reference.pad(text)) == text
    assert reference.unpad(reference.pad(text).encode("utf-8")) == text.encode("utf-8")


@pytest.mark.parametrize("key", [None, "", "0123456789abcdef", "k" * 24, "K" * 32])
@pytest.mark.parametrize("text", TEXTS)
def test_cipher_text_is_aes_ecb_and_decrypts(text, key):
    raw_key = (key or reference.DEFAULT_KEY).encode("utf-8")
    padder = padding.PKCS7(128).padder()
    encryptor = Cipher(algorithms.AES(raw_key), modes.ECB()).encryptor()
    blocks = encryptor.update(padder.update(text.encode("utf-8")) + padder.finalize()) + encryptor.finalize()
    cipher_text = reference.aes_encrypt(text, key)
    assert cipher_text == base64.b64encode(blocks).decode("ascii")
    assert reference.aes_decrypt(cipher_text, key=key) == text


class _ThreeCharacters:
    def __len__(self):
        return 1

    def __getitem__(self, index):
        return "abc"


@pytest.mark.parametrize(
    "content, error, message",
    [
        ("", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 0"),
        (
            _ThreeCharacters(),
            ValueError,
            "only single character unicode strings can be converted to Py_UCS4, got length 3",
        ),
        (b"", TypeError, "ord() expected a character, but string of length 0 found"),
        (bytearray(), TypeError, "ord() expected a character, but string of length 0 found"),
        ([1], TypeError, "ord() expected string of length 1, but list found"),
        (array.array("b", [1]), TypeError, "ord() expected string of length 1, but array.array found"),
        (collections.deque([1]), TypeError, "'collections.deque' object is unsliceable"),
        ({1}, TypeError, "'set' object is unsliceable"),
        (5, TypeError, "object of type 'int' has no len()"),
    ],
)
def test_unpad_failures(content, error, message):
    with pytest.raises(error) as caught:
        reference.unpad(content)
    assert str(caught.value) == message


def test_bridge_needs_both_names_and_follows_dept_count(monkeypatch):
    calls = []
    models = types.ModuleType("mysite.base.models")
    models.get_param_value = lambda *a, **k: calls.append(("per dept", a, k)) or "dept"
    monkeypatch.setitem(sys.modules, "mysite.base.models", models)
    with pytest.raises(ImportError) as caught:
        reference.get_param_value("name")
    assert str(caught.value) == "cannot import name GetParamValue"

    models.GetParamValue = lambda *a, **k: calls.append(("global", a, k)) or "global"
    monkeypatch.delattr(settings, "DEPT_COUNT", raising=False)
    assert reference.get_param_value("name", default="x") == "global"
    monkeypatch.setattr(settings, "DEPT_COUNT", None, raising=False)
    assert reference.get_param_value("name") == "dept"
    assert calls == [("global", ("name",), {"default": "x"}), ("per dept", ("name",), {})]
