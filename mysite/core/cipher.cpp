// The text cipher: block padding, and AES around it with Base64 text outside.
#include "default_key.hpp"
#include "frame.hpp"

namespace vorlik {

namespace names {
static Constant chr{Constant::Builtin{"chr"}};
static Constant MODE_ECB{"MODE_ECB"}, new_cipher{"new"}, encrypt{"encrypt"}, decrypt{"decrypt"},
    b64encode{"b64encode"}, b64decode{"b64decode"};
static Constant default_key{
    +[] { return PyUnicode_FromStringAndSize(vorlik::default_key, sizeof vorlik::default_key); }};
}  // namespace names

namespace {

constexpr Py_UCS4 max_code_point = 0x10FFFF;

// Bytes in the UTF-8 form of an exact str, or -1 when it holds a surrogate,
// which the strict codec refuses.
Py_ssize_t utf8_length(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) return length;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t bytes = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            bytes += 1;
        } else if (c < 0x800) {
            bytes += 2;
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return -1;
            bytes += 3;
        } else {
            bytes += 4;
        }
    }
    return bytes;
}

// `content + chr(n) * n` for an exact str, when the padding can be built
// directly; null when the generic path must decide.
Ref pad_exact_text(Globals globals, PyObject* content) {
    const Py_ssize_t content_bytes = utf8_length(content);
    if (content_bytes < 0) return {};
    // A lookup that cannot fail or run code: the generic path reports errors.
    PyObject* block_size = PyDict_GetItemWithError(globals.dict(), names::BLOCK_SIZE);
    if (block_size == nullptr || !PyLong_CheckExact(block_size)) {
        PyErr_Clear();
        return {};
    }
    const long size = PyLong_AsLong(block_size);
    if (size < 1 || size > static_cast<long>(max_code_point)) {
        PyErr_Clear();
        return {};
    }
    const auto n = static_cast<Py_ssize_t>(size - content_bytes % size);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(content);
    const Py_UCS4 code = static_cast<Py_UCS4>(n);
    const Py_UCS4 max_char = std::max<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(content), code);
    Ref padded = check(PyUnicode_New(length + n, max_char));
    check(PyUnicode_CopyCharacters(padded.get(), 0, content, 0, length));
    check(PyUnicode_Fill(padded.get(), length, n, code));
    return padded;
}

// How much of a sequence of `length` elements `[:-n]` keeps.
Py_ssize_t kept_by_unpad(Py_ssize_t length, Py_ssize_t n) {
    return n == 0 || n >= length ? 0 : length - n;
}

// `ord()` of the one-element slice `[len - 1:]`, with the built-in's errors.
Py_ssize_t ordinal(PyObject* last) {
    if (PyUnicode_Check(last)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(last);
        if (length == 1) return static_cast<Py_ssize_t>(PyUnicode_READ_CHAR(last, 0));
        PyErr_Format(PyExc_ValueError,
                     "only single character unicode strings can be converted to Py_UCS4, got "
                     "length %zd",
                     length);
        throw PyErrorAlready();
    }
    const bool is_bytes = PyBytes_Check(last);
    if (is_bytes || PyByteArray_Check(last)) {
        const Py_ssize_t length = is_bytes ? PyBytes_GET_SIZE(last) : PyByteArray_GET_SIZE(last);
        const char* data = is_bytes ? PyBytes_AS_STRING(last) : PyByteArray_AS_STRING(last);
        if (length == 1) return static_cast<unsigned char>(data[0]);
        PyErr_Format(PyExc_TypeError, "ord() expected a character, but string of length %zd found",
                     length);
        throw PyErrorAlready();
    }
    PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found",
                 Py_TYPE(last)->tp_name);
    throw PyErrorAlready();
}

// `sequence[start:stop]` with None for an absent bound.
Ref slice(PyObject* sequence, PyObject* start, PyObject* stop) {
    PyMappingMethods* mapping = Py_TYPE(sequence)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(sequence)->tp_name);
        throw PyErrorAlready();
    }
    Ref bounds = check(PySlice_New(start, stop, nullptr));
    return check(PyObject_GetItem(sequence, bounds.get()));
}

// The AES cipher object for a call's key and mode, false values replaced by
// the defaults.
Ref new_cipher(Globals globals, PyObject* key, PyObject* mode) {
    key = key == nullptr ? Py_None : key;
    mode = mode == nullptr ? Py_None : mode;
    if (!truth(key)) key = names::default_key;
    Ref ecb;
    if (!truth(mode)) {
        ecb = attribute(globals.get(names::AES), names::MODE_ECB);
        mode = ecb.get();
    }
    Ref make = attribute(globals.get(names::AES), names::new_cipher);
    Ref key_bytes = call_method(key, names::encode, names::utf_8);
    return call(make, key_bytes.get(), mode);
}

}  // namespace

Ref pad(Globals globals, const Arguments& arguments) {
    PyObject* content = arguments.values[0];
    if (PyUnicode_CheckExact(content)) {
        if (Ref padded = pad_exact_text(globals, content)) return padded;
    }
    Ref encoded = call_method(content, names::encode, names::utf_8);
    Ref content_bytes = check(PyLong_FromSsize_t(check(PyObject_Size(encoded.get()))));
    Ref block_size = globals.get(names::BLOCK_SIZE);
    Ref divisor = globals.get(names::BLOCK_SIZE);
    Ref remainder = check(PyNumber_Remainder(content_bytes.get(), divisor.get()));
    Ref n = check(PyNumber_Subtract(block_size.get(), remainder.get()));
    Ref character = call(names::chr, n.get());
    Ref padding = check(PyNumber_Multiply(character.get(), n.get()));
    return check(PyNumber_Add(content, padding.get()));
}

Ref unpad(Globals, const Arguments& arguments) {
    PyObject* content = arguments.values[0];
    if (PyUnicode_CheckExact(content) && PyUnicode_GET_LENGTH(content) > 0) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(content);
        const auto n = static_cast<Py_ssize_t>(PyUnicode_READ_CHAR(content, length - 1));
        return check(PyUnicode_Substring(content, 0, kept_by_unpad(length, n)));
    }
    if (PyBytes_CheckExact(content) && PyBytes_GET_SIZE(content) > 0) {
        const Py_ssize_t length = PyBytes_GET_SIZE(content);
        const char* data = PyBytes_AS_STRING(content);
        const Py_ssize_t n = static_cast<unsigned char>(data[length - 1]);
        return check(PyBytes_FromStringAndSize(data, kept_by_unpad(length, n)));
    }
    if (PyByteArray_CheckExact(content) && PyByteArray_GET_SIZE(content) > 0) {
        const Py_ssize_t length = PyByteArray_GET_SIZE(content);
        const char* data = PyByteArray_AS_STRING(content);
        const Py_ssize_t n = static_cast<unsigned char>(data[length - 1]);
        return check(PyByteArray_FromStringAndSize(data, kept_by_unpad(length, n)));
    }
    const Py_ssize_t length = check(PyObject_Size(content));
    Ref start = check(PyLong_FromSsize_t(length - 1));
    Ref last = slice(content, start.get(), Py_None);
    Ref stop = check(PyLong_FromSsize_t(-ordinal(last.get())));
    return slice(content, Py_None, stop.get());
}

Ref aes_encrypt(Globals globals, const Arguments& arguments) {
    Ref cipher = new_cipher(globals, arguments.values[1], arguments.values[2]);
    Ref padded = call(globals.get(names::pad), arguments.values[0]);
    Ref pad_content = call_method(padded, names::encode, names::utf_8);
    Ref encrypt_content = call_method(cipher, names::encrypt, pad_content.get());
    Ref encoder = attribute(globals.get(names::base64), names::b64encode);
    Ref encoded = call(encoder, encrypt_content.get());
    return call_method(encoded, names::decode, names::utf_8);
}

Ref aes_decrypt(Globals globals, const Arguments& arguments) {
    Ref cipher = new_cipher(globals, arguments.values[1], arguments.values[2]);
    Ref decoder = attribute(globals.get(names::base64), names::b64decode);
    Ref base64_bytes = call_method(arguments.values[0], names::encode, names::utf_8);
    Ref encrypt_content = call(decoder, base64_bytes.get());
    Ref decrypt_content = call_method(cipher, names::decrypt, encrypt_content.get());
    Ref unpadded = call(globals.get(names::unpad), decrypt_content.get());
    return call_method(unpadded, names::decode, names::utf_8);
}

}  // namespace vorlik
