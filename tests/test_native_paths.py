"""Native shortcuts against the generic path they stand in for.

Rebinding a global to an equivalent wrapper forces the generic path; both must
give the same results and the same exceptions.
"""

import base64

import pytest
from hypothesis import given
from hypothesis import strategies as st

import mysite.core.vorlik as vorlik

keys = st.one_of(
    st.none(),
    st.sampled_from(["", 0, False, "k" * 16, "k" * 24, "k" * 32, "k" * 15, "\u00e9" * 8, "\ud800" * 16, b"k" * 16]),
    st.text(min_size=14, max_size=34),
)
# Every mode here is ECB or refused: other modes choose a random vector.
modes = st.sampled_from([None, 0, False, 1, vorlik.AES.MODE_ECB, True, 1.0, "1"])
cipher_texts = st.one_of(
    st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=", max_size=70),
    st.binary(max_size=64).map(lambda raw: base64.b64encode(raw).decode()),
    st.text(max_size=30),
)


def outcome(function, *args):
    try:
        return "value", function(*args)
    except Exception as error:  # the comparison is of the exception itself
        return "error", type(error), str(error)


def native_and_generic(function, helper, *args):
    """The outcome of a call, then of the same call with `helper` rebound to a wrapper."""
    native = outcome(function, *args)
    with pytest.MonkeyPatch.context() as patch:
        original = getattr(vorlik, helper)
        patch.setattr(vorlik, helper, lambda content: original(content))
        return native, outcome(function, *args)


@given(text=st.text(max_size=40), key=keys, mode=modes)
def test_encrypt_matches_the_generic_path(text, key, mode):
    native, generic = native_and_generic(vorlik.aes_encrypt, "pad", text, key, mode)
    assert native == generic


@given(text=cipher_texts, key=keys, mode=modes)
def test_decrypt_matches_the_generic_path(text, key, mode):
    native, generic = native_and_generic(vorlik.aes_decrypt, "unpad", text, key, mode)
    assert native == generic


@given(st.text(max_size=40))
def test_real_cipher_texts_decrypt_the_same_either_way(text):
    cipher_text = vorlik.aes_encrypt(text)
    with pytest.MonkeyPatch.context() as patch:
        b64 = vorlik.base64
        patch.setattr(vorlik, "base64", type("Base64", (), {
            "b64encode": staticmethod(b64.b64encode), "b64decode": staticmethod(b64.b64decode)}))
        assert vorlik.aes_encrypt(text) == cipher_text
        assert vorlik.aes_decrypt(cipher_text) == text


def test_a_rebound_mode_constant_is_seen(monkeypatch):
    # With AES.MODE_ECB changed on the cipher package, a false mode means the new value.
    monkeypatch.setattr(vorlik.AES, "MODE_ECB", vorlik.AES.MODE_CBC)
    first, second = vorlik.aes_encrypt("same text"), vorlik.aes_encrypt("same text")
    assert first != second  # CBC with a random vector, as the package chooses


def test_a_rebound_block_size_is_seen(monkeypatch):
    monkeypatch.setattr(vorlik, "BLOCK_SIZE", 8)
    with pytest.raises(ValueError):
        vorlik.aes_encrypt("abc")  # padded to 8 bytes: not a whole AES block


@pytest.mark.parametrize("key, mode", [(None, 2**64), (None, -(2**63) - 1), (2**64, None), ("k" * 16, 2**70)])
def test_integers_beyond_a_machine_word_fail_as_the_cipher_package_says(key, mode):
    from bench import reference

    for function, argument in ((vorlik.aes_encrypt, "text"), (vorlik.aes_decrypt, vorlik.aes_encrypt("text"))):
        expected = outcome(getattr(reference, function.__name__), argument, key, mode)
        assert outcome(function, argument, key, mode)[:2] == expected[:2]
