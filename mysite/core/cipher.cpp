// The text cipher: block padding, and AES around it with Base64 text outside.
#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

#include "default_key.hpp"
#include "frame.hpp"

#if VORLIK_WITH_OPENSSL
#include <openssl/evp.h>
#endif

namespace vorlik {

namespace names {
static Constant chr{Constant::Builtin{"chr"}};
static Constant MODE_ECB{"MODE_ECB"}, new_cipher{"new"}, encrypt{"encrypt"}, decrypt{"decrypt"},
    b64encode{"b64encode"}, b64decode{"b64decode"};
static Constant default_key{
    +[] { return PyUnicode_FromStringAndSize(vorlik::default_key, sizeof vorlik::default_key); }};
}  // namespace names

#if VORLIK_WITH_OPENSSL
// What the native cipher path requires to be unchanged.
namespace names {
static Constant loaded_AES{Constant::Original{"AES"}}, loaded_new{Constant::Original{"AES", "new"}},
    loaded_MODE_ECB{Constant::Original{"AES", "MODE_ECB"}}, loaded_pad{Constant::Original{"pad"}},
    loaded_unpad{Constant::Original{"unpad"}}, loaded_base64{Constant::Original{"base64"}},
    loaded_b64encode{Constant::Original{"base64", "b64encode"}},
    loaded_b64decode{Constant::Original{"base64", "b64decode"}};
}  // namespace names
#endif

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
    if (PyUnicode_KIND(padded.get()) == PyUnicode_1BYTE_KIND) {
        // The common case, one byte per character: plain copies.
        Py_UCS1* out = PyUnicode_1BYTE_DATA(padded.get());
        std::copy_n(PyUnicode_1BYTE_DATA(content), length, out);
        std::fill_n(out + length, n, static_cast<Py_UCS1>(code));
        return padded;
    }
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

#if VORLIK_WITH_OPENSSL

// ---- Native AES-ECB and Base64 ---------------------------------------------
// Taken only while everything the generic path would call is what the module
// loaded, and only for inputs whose outcome is certain; anything else, errors
// included, goes the generic way.

constexpr std::size_t aes_block = 16;
// libcrypto counts in int; longer texts go the generic way.
constexpr std::size_t max_native_size = INT_MAX - aes_block;
constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool is_false_constant(PyObject* value) {
    return value == nullptr || value == Py_None || value == Py_False ||
           (PyLong_CheckExact(value) && Py_SIZE(value) == 0) ||  // zero, without conversion
           (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0);
}

// The key's bytes, when AES would be keyed with exactly them.
bool native_key(PyObject* key, std::string_view& bytes) {
    if (is_false_constant(key)) {
        bytes = std::string_view(default_key, sizeof default_key);
        return true;
    }
    if (!PyUnicode_CheckExact(key)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    bytes = std::string_view(data, static_cast<std::size_t>(size));
    return size == 16 || size == 24 || size == 32;
}

bool native_mode(PyObject* mode) {
    if (is_false_constant(mode)) return true;
    return PyLong_CheckExact(mode) && names::loaded_MODE_ECB.get() != nullptr &&
           PyLong_CheckExact(names::loaded_MODE_ECB.get()) &&
           PyObject_RichCompareBool(mode, names::loaded_MODE_ECB, Py_EQ) == 1;
}

// Whether the cipher package, its constructor and its ECB mode are the loaded ones.
bool cipher_unchanged(PyObject* dict) {
    if (!unchanged(dict, names::AES, names::loaded_AES)) return false;
    PyObject* aes = names::loaded_AES;
    return unchanged_attribute(aes, names::new_cipher, names::loaded_new) &&
           unchanged_attribute(aes, names::MODE_ECB, names::loaded_MODE_ECB);
}

bool base64_unchanged(PyObject* dict, PyObject* function_name, PyObject* original) {
    return unchanged(dict, names::base64, names::loaded_base64) &&
           unchanged_attribute(names::loaded_base64, function_name, original);
}

// The AES-ECB algorithm for a key size, fetched once: fetching per call
// costs more than the encryption of a short text.
const EVP_CIPHER* ecb_cipher(std::size_t key_size) {
#if OPENSSL_VERSION_MAJOR >= 3
    static EVP_CIPHER* fetched[3] = {EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr),
                                     EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr),
                                     EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr)};
    return fetched[(key_size - 16) / 8];
#else
    return key_size == 16   ? EVP_aes_128_ecb()
           : key_size == 24 ? EVP_aes_192_ecb()
                            : EVP_aes_256_ecb();
#endif
}

// Runs AES-ECB over whole blocks in place, with a context the module keeps.
void run_ecb(std::string_view key, bool encrypt, unsigned char* data, std::size_t size) {
    static EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    const EVP_CIPHER* cipher = ecb_cipher(key.size());
    int written = 0, final_written = 0;
    const auto* key_bytes = reinterpret_cast<const unsigned char*>(key.data());
    const bool ok =
        context != nullptr && cipher != nullptr &&
        EVP_CipherInit_ex(context, cipher, nullptr, key_bytes, nullptr, encrypt ? 1 : 0) == 1 &&
        EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
        EVP_CipherUpdate(context, data, &written, data, static_cast<int>(size)) == 1 &&
        EVP_CipherFinal_ex(context, data + written, &final_written) == 1;
    if (!ok ||
        static_cast<std::size_t>(written) + static_cast<std::size_t>(final_written) != size) {
        PyErr_SetString(PyExc_RuntimeError, "AES-ECB through libcrypto failed");
        throw PyErrorAlready();
    }
}

Ref base64_text(const unsigned char* data, std::size_t size) {
    const std::size_t length = (size + 2) / 3 * 4;
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned value = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        *out++ = base64_alphabet[value >> 18];
        *out++ = base64_alphabet[value >> 12 & 63];
        *out++ = base64_alphabet[value >> 6 & 63];
        *out++ = base64_alphabet[value & 63];
    }
    if (i < size) {
        const bool two = i + 1 < size;
        const unsigned value = data[i] << 16 | (two ? data[i + 1] << 8 : 0);
        *out++ = base64_alphabet[value >> 18];
        *out++ = base64_alphabet[value >> 12 & 63];
        *out++ = two ? base64_alphabet[value >> 6 & 63] : '=';
        *out++ = '=';
    }
    return text;
}

// Decodes Base64 text in canonical form (what base64_text makes); false for
// anything else, which the lenient decoder must judge.
bool decode_canonical_base64(PyObject* text, std::vector<unsigned char>& bytes) {
    if (!PyUnicode_IS_ASCII(text)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (static_cast<std::size_t>(length) / 4 * 3 > max_native_size) return false;
    if (length == 0 || length % 4 != 0) return false;
    static const auto values = [] {
        std::array<int, 128> table{};
        table.fill(-1);
        for (int v = 0; v < 64; ++v) table[static_cast<unsigned char>(base64_alphabet[v])] = v;
        return table;
    }();
    const Py_UCS1* in = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t padding = in[length - 1] != '=' ? 0 : in[length - 2] != '=' ? 1 : 2;
    bytes.resize(static_cast<std::size_t>(length / 4 * 3 - padding));
    std::size_t o = 0;
    for (Py_ssize_t i = 0; i < length; i += 4) {
        const bool last = i + 4 == length;
        unsigned value = 0;
        for (int j = 0; j < 4; ++j) {
            const Py_UCS1 c = in[i + j];
            if (last && j >= 4 - padding) {
                value <<= 6;
                continue;
            }
            const int v = values[c];
            if (v < 0) return false;
            value = value << 6 | static_cast<unsigned>(v);
        }
        const Py_ssize_t kept = last ? 3 - padding : 3;
        // Bits that the padding leaves over must be zero in canonical text.
        if (last && (value & ((1u << (8 * (3 - kept))) - 1)) != 0) return false;
        for (Py_ssize_t k = 0; k < kept; ++k)
            bytes[o++] = static_cast<unsigned char>(value >> (16 - 8 * k));
    }
    return true;
}

// Whether a call's text, key and mode suit the native path; sets the key bytes.
bool native_arguments(const Arguments& arguments, std::string_view& key) {
    return PyUnicode_CheckExact(arguments.values[0]) && native_key(arguments.values[1], key) &&
           native_mode(arguments.values[2]);
}

Ref native_encrypt(Globals globals, const Arguments& arguments) {
    PyObject* content = arguments.values[0];
    std::string_view key;
    if (!native_arguments(arguments, key)) return {};
    PyObject* dict = globals.dict();
    PyObject* block_size = PyDict_GetItemWithError(dict, names::BLOCK_SIZE);
    if (!cipher_unchanged(dict) || !unchanged(dict, names::pad, names::loaded_pad) ||
        !base64_unchanged(dict, names::b64encode, names::loaded_b64encode) ||
        block_size == nullptr || !PyLong_CheckExact(block_size) ||
        PyLong_AsLong(block_size) != static_cast<long>(aes_block)) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(content, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return {};
    }
    const auto length = static_cast<std::size_t>(size);
    if (length > max_native_size) return {};
    const std::size_t n = aes_block - length % aes_block;
    std::vector<unsigned char> data(length + n, static_cast<unsigned char>(n));
    std::copy_n(text, length, data.begin());
    run_ecb(key, true, data.data(), data.size());
    return base64_text(data.data(), data.size());
}

Ref native_decrypt(Globals globals, const Arguments& arguments) {
    PyObject* content = arguments.values[0];
    std::string_view key;
    if (!native_arguments(arguments, key)) return {};
    PyObject* dict = globals.dict();
    if (!cipher_unchanged(dict) || !unchanged(dict, names::unpad, names::loaded_unpad) ||
        !base64_unchanged(dict, names::b64decode, names::loaded_b64decode)) {
        PyErr_Clear();
        return {};
    }
    std::vector<unsigned char> data;
    if (!decode_canonical_base64(content, data) || data.empty() || data.size() % aes_block != 0) {
        return {};
    }
    run_ecb(key, false, data.data(), data.size());
    const auto kept = kept_by_unpad(static_cast<Py_ssize_t>(data.size()), data.back());
    return check(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data.data()), kept, "strict"));
}

#else

Ref native_encrypt(Globals, const Arguments&) { return {}; }
Ref native_decrypt(Globals, const Arguments&) { return {}; }

#endif

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
    if (Ref encrypted = native_encrypt(globals, arguments)) return encrypted;
    Ref cipher = new_cipher(globals, arguments.values[1], arguments.values[2]);
    Ref padded = call(globals.get(names::pad), arguments.values[0]);
    Ref pad_content = call_method(padded, names::encode, names::utf_8);
    Ref encrypt_content = call_method(cipher, names::encrypt, pad_content.get());
    Ref encoder = attribute(globals.get(names::base64), names::b64encode);
    Ref encoded = call(encoder, encrypt_content.get());
    return call_method(encoded, names::decode, names::utf_8);
}

Ref aes_decrypt(Globals globals, const Arguments& arguments) {
    if (Ref decrypted = native_decrypt(globals, arguments)) return decrypted;
    Ref cipher = new_cipher(globals, arguments.values[1], arguments.values[2]);
    Ref decoder = attribute(globals.get(names::base64), names::b64decode);
    Ref base64_bytes = call_method(arguments.values[0], names::encode, names::utf_8);
    Ref encrypt_content = call(decoder, base64_bytes.get());
    Ref decrypt_content = call_method(cipher, names::decrypt, encrypt_content.get());
    Ref unpadded = call(globals.get(names::unpad), decrypt_content.get());
    return call_method(unpadded, names::decode, names::utf_8);
}

}  // namespace vorlik
