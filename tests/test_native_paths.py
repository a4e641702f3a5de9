"""Native shortcuts against the generic path they stand in for.

Rebinding a global to an equivalent wrapper forces the generic path; both must
give the same results and the same exceptions.
"""

import base64
import itertools
import types

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


def wrapper(name):
    """An equivalent stand-in for a global, which the module cannot take for the one it loaded."""
    original = getattr(vorlik, name)
    if name == "AES":
        return types.SimpleNamespace(new=lambda *args: original.new(*args), MODE_ECB=original.MODE_ECB)
    if name == "base64":
        return types.SimpleNamespace(b64encode=lambda data: original.b64encode(data),
                                     b64decode=lambda data: original.b64decode(data))
    return lambda content: original(content)


# Each step of the cipher runs natively or not on its own: every mixture must agree.
STEPS = ["AES", "pad", "unpad", "base64"]
MIXTURES = [combination for size in range(len(STEPS) + 1) for combination in itertools.combinations(STEPS, size)]


def generic(*call, steps=STEPS):
    """The outcome of a call with the named globals rebound to wrappers."""
    with pytest.MonkeyPatch.context() as patch:
        for name in steps:
            patch.setattr(vorlik, name, wrapper(name))
        return outcome(*call)


def native_and_generic(function, helper, *args):
    """The outcome of a call, then of the same call with `helper` rebound to a wrapper."""
    return outcome(function, *args), generic(function, *args, steps=[helper])


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


KEYS = [None, "k" * 16, "\u00e9" * 12, "k" * 32]  # the default key, and 16, 24 and 32 bytes


def test_every_length_and_key_size_agrees_with_the_generic_path():
    texts = ["x" * n for n in range(50)] + ["\u00e9" * n for n in range(25)] + ["\U0001f600" * n for n in range(13)]
    for key in KEYS:
        for text in texts:
            cipher_text = vorlik.aes_encrypt(text, key)
            assert ("value", cipher_text) == generic(vorlik.aes_encrypt, text, key)
            assert vorlik.aes_decrypt(cipher_text, key) == text
            assert ("value", text) == generic(vorlik.aes_decrypt, cipher_text, key)


@pytest.mark.parametrize("steps", MIXTURES, ids=lambda steps: "+".join(steps) or "native")
def test_any_mixture_of_native_and_generic_steps_agrees(steps):
    for key in KEYS:
        for text in ["", "abc", "x" * 16, "Gr\u00fc\u00dfe " * 7, "x" * 70000, "\u20ac" * 25000]:
            cipher_text = vorlik.aes_encrypt(text, key)
            assert generic(vorlik.aes_encrypt, text, key, steps=steps) == ("value", cipher_text)
            assert generic(vorlik.aes_decrypt, cipher_text, key, steps=steps) == ("value", text)


def test_keys_changing_between_calls_give_each_key_its_own_answer():
    # Kept key schedules must follow every change: sizes, the default key, and back.
    texts = ["first", "second \u00e9", "x" * 40]
    expected = {(text, key): generic(vorlik.aes_encrypt, text, key)[1] for text in texts for key in KEYS}
    for round_ in range(3):
        for key in KEYS[round_:] + KEYS[:round_] + KEYS[::-1]:
            for text in texts:
                assert vorlik.aes_encrypt(text, key) == expected[text, key]
                assert vorlik.aes_decrypt(expected[text, key], key) == text


def test_a_large_text_agrees_with_the_generic_path():
    text = "".join(chr(c) for c in range(32, 0x3000) if not 0xD800 <= c < 0xE000) * 100  # about 3 MiB of UTF-8
    for key in (None, "k" * 32):
        cipher_text = vorlik.aes_encrypt(text, key)
        assert generic(vorlik.aes_encrypt, text, key) == ("value", cipher_text)
        assert vorlik.aes_decrypt(cipher_text, key) == text


@pytest.mark.parametrize("steps", [[step] for step in STEPS] + [STEPS], ids="+".join)
def test_large_texts_agree_with_any_step_rebound(steps):
    text, key = "Grüße " * 20000, "k" * 24  # 160 kB: worked on without the interpreter's lock
    cipher_text = vorlik.aes_encrypt(text, key)
    assert generic(vorlik.aes_encrypt, text, key, steps=steps) == ("value", cipher_text)
    assert generic(vorlik.aes_decrypt, cipher_text, key, steps=steps) == ("value", text)
