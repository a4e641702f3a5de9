// The text cipher: block padding, and AES around it with Base64 text outside.
//
// Each function runs its algorithm step by step and reads the module's globals
// where and as often as the algorithm does, holding what it read. A step runs
// here when what it read is what the module loaded (the cipher package's
// constructor with its ECB mode, the module's own pad and unpad, base64's
// functions) and its input is plain data; otherwise it calls what it read.
// Either way every read happens once, in order, and its error is the call's.
#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <type_traits>

#include "default_key.hpp"
#include "frame.hpp"
#include "kernels.hpp"

#if VORLIK_WITH_OPENSSL
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#endif

namespace vorlik {

namespace names {
static Constant chr{Constant::Builtin{"chr"}};
static Constant MODE_ECB{"MODE_ECB"}, new_cipher{"new"}, encrypt{"encrypt"}, decrypt{"decrypt"},
    b64encode{"b64encode"}, b64decode{"b64decode"};
static Constant default_key{
    +[] { return PyUnicode_FromStringAndSize(vorlik::default_key, sizeof vorlik::default_key); }};
// What the native steps stand in for.
static Constant loaded_new{Constant::Original{"AES", "new"}},
    loaded_MODE_ECB{Constant::Original{"AES", "MODE_ECB"}}, loaded_pad{Constant::Original{"pad"}},
    loaded_unpad{Constant::Original{"unpad"}},
    loaded_b64encode{Constant::Original{"base64", "b64encode"}},
    loaded_b64decode{Constant::Original{"base64", "b64decode"}};
}  // namespace names

namespace {

constexpr const char pad_function[] = "mysite.core.vorlik.pad";
constexpr Py_UCS4 max_code_point = 0x10FFFF;
constexpr std::size_t aes_block = 16;

// From this many bytes on, a step's work on bytes runs without the
// interpreter's lock, so that other threads run meanwhile. Measured with
// texts of 1 KiB to 1 MiB, releasing always against never: in one thread
// releasing costs a call about 1,400 instructions (callgrind; a copy of the
// keyed context and the lock's hand-over), 0.25% of the work at 64 KiB; two
// threads each encrypting such texts (interleaved runs, medians) gained up
// to 1.5-1.6x from 128 KiB on, as much as two threads hashing with hashlib,
// on a machine shared with other work that showed no clear gain below.
constexpr std::size_t unlocked_minimum = std::size_t{64} << 10;

// Runs `work` over `size` bytes, without the interpreter's lock when that
// pays. The work touches no Python object other than the data of exact str
// and bytes objects the call holds (immutable) or made and alone refers to,
// and throws nothing.
template <class Work>
decltype(auto) unlocked(std::size_t size, Work work) {
    if (size < unlocked_minimum) return work();
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(work())>) {
        work();
        PyEval_RestoreThread(state);
    } else {
        auto result = work();
        PyEval_RestoreThread(state);
        return result;
    }
}

// ---- Text and bytes ----------------------------------------------------------

// Calls `work` with the characters of an exact str, typed by their width.
template <class Work>
decltype(auto) with_characters(PyObject* text, Work work) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return work(std::span<const Py_UCS1>(PyUnicode_1BYTE_DATA(text), length));
        case PyUnicode_2BYTE_KIND:
            return work(std::span<const Py_UCS2>(PyUnicode_2BYTE_DATA(text), length));
        default: return work(std::span<const Py_UCS4>(PyUnicode_4BYTE_DATA(text), length));
    }
}

// Bytes in the UTF-8 form of an exact str, or -1 when it holds a surrogate,
// which the strict codec refuses.
Py_ssize_t utf8_length(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) return PyUnicode_GET_LENGTH(text);
    return with_characters(text, [](auto characters) { return kernels::utf8_length(characters); });
}

// Writes the UTF-8 form of an exact str without surrogates into `out`, which
// holds exactly its utf8_length. The interpreter would cache that form on the
// text: this leaves it as it was.
void write_utf8(PyObject* text, std::span<unsigned char> out) {
    if (PyUnicode_IS_ASCII(text)) {
        // ASCII is its own UTF-8.
        std::copy_n(PyUnicode_1BYTE_DATA(text), out.size(), out.begin());
        return;
    }
    with_characters(text, [out](auto characters) { kernels::write_utf8(characters, out); });
}

#if VORLIK_WITH_OPENSSL
// Runs AES-ECB over whole blocks from `in` to `out` (the same bytes, or
// apart) with a keyed context.
bool run_blocks(EVP_CIPHER_CTX* context, const unsigned char* in,
                std::span<unsigned char> out) noexcept {
    // libcrypto counts in int: a large text goes in whole blocks of at most 1 GiB.
    constexpr std::size_t chunk = std::size_t{1} << 30;
    for (std::size_t done = 0; done < out.size(); done += chunk) {
        const int size = static_cast<int>(std::min(chunk, out.size() - done));
        int written = 0;
        if (EVP_CipherUpdate(context, out.data() + done, &written, in + done, size) != 1 ||
            written != size) {
            return false;
        }
    }
    return true;
}

bool run_blocks(EVP_CIPHER_CTX* context, std::span<unsigned char> data) noexcept {
    return run_blocks(context, data.data(), data);
}

struct FreeContext {
    void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
// A keyed context of the call's own, which no other call re-keys or frees.
using OwnContext = std::unique_ptr<EVP_CIPHER_CTX, FreeContext>;
#endif

// Raises for AES that failed part-way through a text (no other way can
// follow), leaving none of libcrypto's errors behind.
[[noreturn]] void aes_failed() {
#if VORLIK_WITH_OPENSSL
    ERR_clear_error();
#endif
    PyErr_SetString(PyExc_RuntimeError, "AES-ECB through libcrypto failed");
    throw PyErrorAlready();
}

// Large texts go through their steps a piece at a time: AES, then Base64 or
// the check for ASCII, each over a piece while it is in the processor's
// first-level cache, rather than each step over the whole text through
// memory. A piece is whole AES blocks and whole Base64 groups (48 bytes).
// Measured on 1 MiB texts (CPU time, medians of interleaved runs): 12 KiB
// pieces as fast as 24 and 48 KiB ones and faster than 6 KiB ones; whole-text
// steps took 1.5x as long to decrypt, 1.1x to encrypt.
constexpr std::size_t piece = std::size_t{48} << 8;

// Decrypting Base64 text a piece at a time pays from this many bytes on:
// measured, 4 KiB took 4% longer than whole-text steps, 8 KiB as long, 16 KiB
// 6% less, 32 KiB 20% less.
constexpr std::size_t pieces_minimum = std::size_t{8} << 10;

// How Base64 text went into the call's bytes.
enum class Decoded {
    refused,    // not in canonical form: the lenient decoder must judge it
    bytes,      // decoded
    decrypted,  // decoded, and AES-ECB decryption ran over it too
    failed,     // AES-ECB decryption failed part-way
};

// Bytes handed from one step to the next: in the call's own storage (on the
// stack while small), or the object a called step returned, or decrypted
// straight into the text that they make. Work on large own bytes is put off
// until a step reads them, so that it runs in one stretch with that step's
// own, without the interpreter's lock, a piece at a time.
class Data {
  public:
    Data() = default;
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    // Own storage for `size` bytes, to be filled by the caller.
    unsigned char* allocate(std::size_t size) {
        object_ = Ref();
        if (size <= small_.size()) {
            data_ = small_.data();
        } else {
            large_ = std::make_unique_for_overwrite<unsigned char[]>(size);
            data_ = large_.get();
        }
        size_ = size;
        return data_;
    }

    // Own storage for the UTF-8 form of the exact str `text` (which the call
    // holds) followed by `n` bytes of value n, `size` bytes in all.
    void fill(PyObject* text, std::size_t size, unsigned char n) {
        allocate(size);
        if (size < unlocked_minimum) {
            write_padded_utf8(text, n);
        } else {
            fill_text_ = text;
            fill_count_ = n;
        }
    }

    // What a called step returned.
    void hold(Ref result) noexcept {
        object_ = std::move(result);
        data_ = nullptr;
        size_ = 0;
    }

    // Whether the module can read the bytes: its own, or an exact bytes object's.
    bool readable() const noexcept { return own() || PyBytes_CheckExact(object_.get()); }

    // How many bytes there are, of readable bytes.
    std::size_t size() const noexcept { return own() ? size_ : held().size(); }

    // Hands the bytes to `then` in order, in one stretch, without the
    // interpreter's lock when large. Work put off runs a piece at a time, each
    // piece handed on right after (all but the last `piece` bytes long), and
    // is not kept.
    template <class Then>
    void pass(Then then) {
        if (put_off()) return pass_pieces(then);
        const auto bytes = this->bytes();
        unlocked(bytes.size(), [&then, bytes] { then(bytes); });
    }

    // The bytes, the work put off done first; a text they were decrypted into
    // gives them back.
    std::span<const unsigned char> bytes() {
        if (text_) {
            Ref text = std::move(text_);
            std::copy_n(PyUnicode_1BYTE_DATA(text.get()), size_ - aes_block, allocate(size_));
            std::copy(last_.begin(), last_.end(), data_ + size_ - aes_block);
        }
        const auto keep = [](std::span<const unsigned char>) {};
        if (put_off() && !unlocked(size_, [this, &keep] { return run_put_off(nullptr, keep); })) {
            aes_failed();
        }
        return data_ != nullptr ? std::span<const unsigned char>(data_, size_) : held();
    }

    // The bytes in own storage, for work in place; a held object's are copied.
    std::span<unsigned char> writable() {
        if (!own()) {
            const auto bytes = held();
            Ref keep = std::move(object_);
            std::copy(bytes.begin(), bytes.end(), allocate(bytes.size()));
        }
        bytes();
        return {data_, size_};
    }

    // The bytes as an object, for a step that calls Python.
    Ref object() {
        if (!own()) return Ref::borrow(object_.get());
        const auto own = bytes();
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(own.data()),
                                               static_cast<Py_ssize_t>(own.size())));
    }

    // The text that the bytes were decrypted straight into, unpadded (see
    // decrypt_base64); null when they were not.
    Ref decrypted_text() noexcept { return std::move(text_); }

#if VORLIK_WITH_OPENSSL
    // Puts off AES-ECB over the bytes, with a context of the call's own.
    void run_later(OwnContext context) {
        if (!own()) writable();
        aes_ = std::move(context);
    }

    // Decodes Base64 text in canonical form, `size` bytes, and decrypts them
    // with `context` (AES-ECB), a piece at a time. While the bytes make ASCII
    // text once unpadded, they go straight into that text; else into own
    // storage.
    Decoded decrypt_base64(std::span<const unsigned char> characters, std::size_t size,
                           EVP_CIPHER_CTX* context) {
        size_ = size;
        // The last block first: its last byte tells how long the text is.
        const std::size_t last_group = (size - aes_block) / 3 * 3;
        std::array<unsigned char, aes_block + 2> end;
        if (!kernels::base64_decode(characters.subspan(last_group / 3 * 4), end.data()))
            return Decoded::refused;
        std::copy_n(end.begin() + (size - aes_block - last_group), aes_block, last_.begin());
        if (!run_blocks(context, last_)) return Decoded::failed;
        const unsigned char n = last_.back();
        // Then the first piece, still with the lock: whether it is ASCII too
        // says where the bytes go, before room is made for them.
        const std::size_t first = std::min(piece, size);
        const auto scratch = std::make_unique_for_overwrite<unsigned char[]>(first);
        std::size_t done = 0;  // bytes decrypted
        const auto run = [&](std::span<unsigned char> out, std::size_t until, bool ascii) {
            return decrypt_pieces(characters, scratch.get(), context, out, done, until, ascii);
        };
        const auto run_unlocked = [&](std::span<unsigned char> out, bool ascii) {
            return unlocked(size, [&] { return run(out, size, ascii); });
        };
        Outcome outcome = run({scratch.get(), first}, first, false);
        if (outcome != Outcome::done) return finish(outcome);
        const std::span<const unsigned char> first_text(scratch.get(),
                                                        std::min(first, size - aes_block));
        if (n >= 1 && n <= aes_block && kernels::ascii(first_text) &&
            kernels::ascii({last_.data(), aes_block - n})) {
            text_ = check(PyUnicode_New(static_cast<Py_ssize_t>(size - n), 127));
            Py_UCS1* into = PyUnicode_1BYTE_DATA(text_.get());
            std::copy(first_text.begin(), first_text.end(), into);
            outcome = run_unlocked({into, size - aes_block}, true);
            if (outcome == Outcome::done) {
                std::copy_n(last_.begin(), aes_block - n, into + size - aes_block);
                return Decoded::decrypted;
            }
            Ref text = std::move(text_);
            if (outcome != Outcome::not_ascii) return finish(outcome);
            // Not ASCII after all: the bytes go to own storage from here on.
            std::copy_n(into, done, allocate(size));
        } else {
            std::copy_n(scratch.get(), first, allocate(size));
        }
        return finish(run_unlocked({data_, size}, false));
    }
#endif

  private:
    bool own() const noexcept { return data_ != nullptr || text_; }

    std::span<const unsigned char> held() const noexcept {
        return {reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object_.get())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(object_.get()))};
    }

    // The UTF-8 form of `text`, then `n` bytes of value n, over the own bytes.
    void write_padded_utf8(PyObject* text, unsigned char n) noexcept {
        write_utf8(text, {data_, size_ - n});
        std::fill_n(data_ + size_ - n, n, n);
    }

    template <class Then>
    void pass_pieces(Then& then) {
        const auto scratch = std::make_unique_for_overwrite<unsigned char[]>(piece);
        if (!unlocked(size_, [&] { return run_put_off(scratch.get(), then); })) aes_failed();
    }

    bool put_off() const noexcept {
#if VORLIK_WITH_OPENSSL
        if (aes_) return true;
#endif
        return fill_text_ != nullptr;
    }

    // Runs the work put off a piece at a time, handing each piece to `then`:
    // done in `scratch` (room for a piece), or without one in the own bytes,
    // which then keep it. Runs without the lock: touches the own bytes, the
    // held text and `scratch` only.
    template <class Then>
    bool run_put_off(unsigned char* scratch, Then&& then) noexcept {
        const unsigned char* plain = data_;  // the bytes before AES,
        std::size_t ready = size_;           // of which this many are written
        if (fill_text_ != nullptr && PyUnicode_IS_ASCII(fill_text_)) {
            // ASCII is its own UTF-8: read from the text itself.
            plain = PyUnicode_1BYTE_DATA(fill_text_);
            ready = static_cast<std::size_t>(PyUnicode_GET_LENGTH(fill_text_));
        } else if (fill_text_ != nullptr) {
            write_padded_utf8(fill_text_, fill_count_);
        }
        fill_text_ = nullptr;
        bool ok = true;
        for (std::size_t at = 0; ok && at < size_; at += piece) {
            const std::size_t length = std::min(piece, size_ - at);
            unsigned char* out = scratch != nullptr ? scratch : data_ + at;
            const unsigned char* in = plain + at;
            if (at + length > ready) {
                // What is left of the text (the padding may begin before this
                // piece), then the padding.
                const std::size_t text_left = ready > at ? ready - at : 0;
                std::fill(std::copy_n(in, text_left, out), out + length, fill_count_);
                in = out;
            }
            ok = run_aes(in, {out, length});
            if (ok) then(std::span<const unsigned char>(out, length));
        }
#if VORLIK_WITH_OPENSSL
        aes_.reset();
#endif
        return ok;
    }

    // AES put off, over `in` into `out`; without it, a copy.
    bool run_aes(const unsigned char* in, std::span<unsigned char> out) const noexcept {
#if VORLIK_WITH_OPENSSL
        if (aes_) return run_blocks(aes_.get(), in, out);
#endif
        if (in != out.data()) std::copy_n(in, out.size(), out.data());
        return true;
    }

#if VORLIK_WITH_OPENSSL
    enum class Outcome { done, not_ascii, not_canonical, failed };

    // decrypt_base64's pieces from the `done` bytes on, up to `until`, each
    // decoded into `scratch` (room for a piece) and decrypted into `out`, no
    // further than its end (the bytes past it are in `last_`). When `ascii`,
    // a piece that is not ASCII stops them, with `done` at its start. Touches
    // no Python object but the characters of an exact str.
    Outcome decrypt_pieces(std::span<const unsigned char> characters, unsigned char* scratch,
                           EVP_CIPHER_CTX* context, std::span<unsigned char> out, std::size_t& done,
                           std::size_t until, bool ascii) const noexcept {
        // A piece is checked once the next is decoded, when AES's writes to it
        // have settled.
        std::span<const unsigned char> unchecked;
        const auto checked = [&] {
            if (!ascii || kernels::ascii(unchecked)) return true;
            done = static_cast<std::size_t>(unchecked.data() - out.data());
            return false;
        };
        for (std::size_t length = 0; done < until; done += length) {
            length = std::min(piece, size_ - done);
            const bool last = done + length == size_;
            const auto group =
                characters.subspan(done / 3 * 4, last ? std::dynamic_extent : length / 3 * 4);
            // Only the last piece may end in padding.
            if ((!last && group.back() == '=') || !kernels::base64_decode(group, scratch)) {
                return Outcome::not_canonical;
            }
            if (!checked()) return Outcome::not_ascii;
            const auto blocks = out.subspan(done, std::min(length, out.size() - done));
            if (!run_blocks(context, scratch, blocks)) return Outcome::failed;
            unchecked = blocks;
        }
        return checked() ? Outcome::done : Outcome::not_ascii;
    }

    // decrypt_base64's result when the own bytes hold what decrypt_pieces left.
    static Decoded finish(Outcome outcome) noexcept {
        if (outcome == Outcome::failed) return Decoded::failed;
        if (outcome == Outcome::not_canonical) return Decoded::refused;
        return Decoded::decrypted;
    }
#endif

    std::array<unsigned char, 512> small_;
    std::unique_ptr<unsigned char[]> large_;
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    Ref object_;
    PyObject* fill_text_ = nullptr;  // a text whose UTF-8 form is still to be written
    unsigned char fill_count_ = 0;
    Ref text_;  // the bytes decrypted into ASCII text, but for the padding
    std::array<unsigned char, aes_block> last_;  // the last block, decrypted
#if VORLIK_WITH_OPENSSL
    OwnContext aes_;  // AES still to be run over the bytes
#endif
};

// ---- Padding -----------------------------------------------------------------

// What pad reads, in its order: the length of the text's UTF-8 form, then
// BLOCK_SIZE twice, for `BLOCK_SIZE - content_bytes % BLOCK_SIZE`.
struct Padding {
    Py_ssize_t content_bytes = 0;
    Ref block_size;
    Ref divisor;

    // n when both reads are plain integers that make it a character code from
    // 1 up; -1 when the interpreter's arithmetic must decide.
    Py_ssize_t count() const noexcept {
        if (!PyLong_CheckExact(block_size.get()) || !PyLong_CheckExact(divisor.get())) return -1;
        int overflow = 0;
        const long size = PyLong_AsLongAndOverflow(block_size.get(), &overflow);
        if (overflow != 0) return -1;
        const long modulus = PyLong_AsLongAndOverflow(divisor.get(), &overflow);
        // The reads may differ (a lookup can rebind the name between them). The
        // remainder is at least 0, so a size below 1 gives no code; from 1 up the
        // subtraction cannot overflow.
        if (overflow != 0 || modulus < 1 || size < 1) return -1;
        const long n = size - static_cast<long>(content_bytes % modulus);
        return n >= 1 && n <= static_cast<long>(max_code_point) ? n : -1;
    }
};

Padding read_padding(Globals globals, PyObject* content) {
    Padding padding;
    padding.content_bytes = PyUnicode_CheckExact(content) ? utf8_length(content) : -1;
    if (padding.content_bytes < 0) {
        // Other types, and text the strict codec refuses, as the codec says.
        Ref encoded = call_method(content, names::encode, names::utf_8);
        padding.content_bytes = check(PyObject_Size(encoded.get()));
    }
    padding.block_size = globals.get(names::BLOCK_SIZE);
    padding.divisor = globals.get(names::BLOCK_SIZE);
    return padding;
}

// `content + chr(n) * n`.
Ref padded_text(PyObject* content, const Padding& padding) {
    const Py_ssize_t n = padding.count();
    if (n > 0 && PyUnicode_CheckExact(content)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(content);
        const auto code = static_cast<Py_UCS4>(n);
        Ref padded =
            check(PyUnicode_New(length + n, std::max(PyUnicode_MAX_CHAR_VALUE(content), code)));
        if (PyUnicode_KIND(padded.get()) == PyUnicode_1BYTE_KIND) {
            Py_UCS1* out = PyUnicode_1BYTE_DATA(padded.get());
            std::fill_n(std::copy_n(PyUnicode_1BYTE_DATA(content), length, out), n,
                        static_cast<Py_UCS1>(code));
            return padded;
        }
        check(PyUnicode_CopyCharacters(padded.get(), 0, content, 0, length));
        check(PyUnicode_Fill(padded.get(), length, n, code));
        return padded;
    }
    Ref content_bytes = check(PyLong_FromSsize_t(padding.content_bytes));
    Ref remainder = check(PyNumber_Remainder(content_bytes.get(), padding.divisor.get()));
    Ref count = check(PyNumber_Subtract(padding.block_size.get(), remainder.get()));
    Ref character = call(names::chr, count.get());
    Ref padding_text = check(PyNumber_Multiply(character.get(), count.get()));
    return check(PyNumber_Add(content, padding_text.get()));
}

// `pad(content).encode("utf-8")` through the global `pad`. The module's own
// pad runs here as if called, and writes the UTF-8 form straight into `data`.
void padded_utf8(Globals globals, PyObject* content, Data& data) {
    Ref pad = globals.get(names::pad);
    Ref padded;
    if (names::loaded_pad.is(pad) && PyUnicode_CheckExact(content)) {
        try {
            const Padding padding = read_padding(globals, content);
            const Py_ssize_t n = padding.count();
            if (n > 0 && n < 0x80) {
                data.fill(content, static_cast<std::size_t>(padding.content_bytes + n),
                          static_cast<unsigned char>(n));
                return;
            }
            padded = padded_text(content, padding);
        } catch (const PyErrorAlready& error) {
            add_traceback(pad_function, error.where(), globals.dict());
            throw PyErrorAlready();
        }
    } else {
        padded = call(pad, content);
    }
    data.hold(call_method(padded, names::encode, names::utf_8));
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

// `bytes.decode("utf-8")`: sized once by a scan of the bytes where the kernel
// can, else, and for bytes that are not UTF-8, by the interpreter's codec.
Ref utf8_text(std::span<const unsigned char> bytes) {
    kernels::Utf8Scan scan;
    if (!unlocked(bytes.size(), [&] { return kernels::scan_utf8(bytes, scan); })) {
        return check(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<Py_ssize_t>(bytes.size()), "strict"));
    }
    Ref text = check(PyUnicode_New(scan.characters, scan.max_char));
    unlocked(bytes.size(), [&] { kernels::decode_utf8(bytes, text.get()); });
    return text;
}

// `unpad(data).decode("utf-8")` through the global `unpad`.
Ref unpadded_text(Globals globals, Data& data) {
    Ref unpad = globals.get(names::unpad);
    if (names::loaded_unpad.is(unpad) && data.readable() && data.size() != 0) {
        if (Ref text = data.decrypted_text()) return text;
        const auto bytes = data.bytes();
        const auto size = static_cast<Py_ssize_t>(bytes.size());
        return utf8_text(bytes.first(static_cast<std::size_t>(kept_by_unpad(size, bytes.back()))));
    }
    Ref unpadded = call(unpad, data.object().get());
    return call_method(unpadded, names::decode, names::utf_8);
}

// ---- Base64 ------------------------------------------------------------------

Ref base64_text(Data& data) {
    const std::size_t size = data.size();
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>((size + 2) / 3 * 4), 127));
    // Every piece but the last is whole groups.
    data.pass([out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()))](
                  std::span<const unsigned char> bytes) mutable {
        kernels::base64_encode(bytes, out);
        out += bytes.size() / 3 * 4;
    });
    return text;
}

// `base64.b64encode(data).decode("utf-8")`.
Ref base64_encoded(Globals globals, Data& data) {
    Ref encoder = attribute(globals.get(names::base64), names::b64encode);
    if (names::loaded_b64encode.is(encoder) && data.readable()) return base64_text(data);
    Ref encoded = call(encoder, data.object().get());
    return call_method(encoded, names::decode, names::utf_8);
}

// ---- AES ---------------------------------------------------------------------

// The key's bytes, when AES-ECB runs here.
struct KeyBytes {
    std::array<unsigned char, 32> bytes{};
    std::size_t size = 0;
    bool is_default = false;

    static KeyBytes built_in() noexcept {
        KeyBytes key{{}, sizeof default_key, true};
        std::copy_n(default_key, sizeof default_key, key.bytes.begin());
        return key;
    }
};

// The UTF-8 form of an exact str key when it is 16, 24 or 32 bytes.
bool key_bytes(PyObject* key, KeyBytes& out) {
    if (!PyUnicode_CheckExact(key)) return false;
    const Py_ssize_t size = utf8_length(key);
    if (size != 16 && size != 24 && size != 32) return false;
    write_utf8(key, {out.bytes.data(), static_cast<std::size_t>(size)});
    out.size = static_cast<std::size_t>(size);
    return true;
}

#if VORLIK_WITH_OPENSSL
constexpr bool native_aes = true;

// The AES-ECB algorithm for a key size, fetched once it can be: fetching per
// call costs more than the encryption of a short text. Null while libcrypto
// offers none (a configuration without a provider of it).
const EVP_CIPHER* ecb_cipher(std::size_t key_size) {
#if OPENSSL_VERSION_MAJOR >= 3
    static constexpr const char* algorithms[] = {"AES-128-ECB", "AES-192-ECB", "AES-256-ECB"};
    static std::array<EVP_CIPHER*, 3> fetched{};
    EVP_CIPHER*& cipher = fetched[(key_size - 16) / 8];
    if (cipher == nullptr)
        cipher = EVP_CIPHER_fetch(nullptr, algorithms[(key_size - 16) / 8], nullptr);
    return cipher;
#else
    return key_size == 16   ? EVP_aes_128_ecb()
           : key_size == 24 ? EVP_aes_192_ecb()
                            : EVP_aes_256_ecb();
#endif
}

// One key's expanded schedules, a context per direction, each keyed when
// first needed. Setting up a context's algorithm costs far more than
// encrypting a short text, and keying one whose algorithm is set costs
// more than that again: a schedule is kept for as long as its key is used.
class Schedule {
  public:
    explicit Schedule(const KeyBytes& key) noexcept : key_(key) {}
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;
    ~Schedule() {
        for (EVP_CIPHER_CTX* context : contexts_) EVP_CIPHER_CTX_free(context);
        OPENSSL_cleanse(key_.bytes.data(), key_.bytes.size());
    }

    // Whether this is `key`'s schedule; the bytes are compared in constant time.
    bool holds(const KeyBytes& key) const noexcept {
        return key.size == key_.size &&
               CRYPTO_memcmp(key.bytes.data(), key_.bytes.data(), key.size) == 0;
    }

    // Runs AES-ECB over whole blocks in place, or puts it off with a copy of
    // the keyed context when large: without the lock another call may evict
    // this schedule. False, with the bytes untouched, when libcrypto cannot
    // set up the algorithm: the caller takes another way.
    bool run(bool encrypting, Data& data) {
        OwnContext own;
        EVP_CIPHER_CTX* context = this->context(encrypting, data.size(), own);
        if (context == nullptr) return false;
        if (own) {
            data.run_later(std::move(own));
        } else if (!run_blocks(context, data.writable())) {
            failed(encrypting);
        }
        return true;
    }

    // After AES failed part-way with this key: the context is keyed afresh
    // next time.
    [[noreturn]] void failed(bool encrypting) {
        keyed_[encrypting] = false;
        aes_failed();
    }

    // The keyed context for work over `size` bytes: the kept one, or for work
    // without the lock a copy in `own`. Null when libcrypto cannot set up the
    // algorithm.
    EVP_CIPHER_CTX* context(bool encrypting, std::size_t size, OwnContext& own) {
        EVP_CIPHER_CTX* context = keyed(encrypting);
        if (context != nullptr && size >= unlocked_minimum) {
            own = copy_of(context);
            context = own.get();
        }
        if (context == nullptr) unavailable(encrypting);
        return context;
    }

  private:
    EVP_CIPHER_CTX* keyed(bool encrypting) noexcept {
        EVP_CIPHER_CTX*& context = contexts_[encrypting];
        if (keyed_[encrypting]) return context;
        if (context == nullptr) context = EVP_CIPHER_CTX_new();
        const EVP_CIPHER* cipher = ecb_cipher(key_.size);
        const bool ok = context != nullptr && cipher != nullptr &&
                        EVP_CipherInit_ex(context, cipher, nullptr, key_.bytes.data(), nullptr,
                                          encrypting ? 1 : 0) == 1 &&
                        EVP_CIPHER_CTX_set_padding(context, 0) == 1;
        keyed_[encrypting] = ok;
        return ok ? context : nullptr;
    }

    static OwnContext copy_of(EVP_CIPHER_CTX* context) noexcept {
        OwnContext own(EVP_CIPHER_CTX_new());
        if (own && EVP_CIPHER_CTX_copy(own.get(), context) != 1) own.reset();
        return own;
    }

    // Forgets the context's keying and libcrypto's errors; always false.
    bool unavailable(bool encrypting) noexcept {
        keyed_[encrypting] = false;
        ERR_clear_error();
        return false;
    }

    KeyBytes key_;
    std::array<EVP_CIPHER_CTX*, 2> contexts_{};
    std::array<bool, 2> keyed_{};  // whether each context holds the key
};

// How many explicit keys' schedules are kept. Measured with 1 to 24 keys
// taking turns on 32-character texts (medians of interleaved runs): a miss
// costs about 200 ns more than a hit, 8 and 16 cost the same while the keys
// fit, and 16 scans on a miss cost 18 ns more than 8 (keys that never repeat:
// 374 against 356 ns). So 16 keys' turns still hit, for 5% on endless keys.
constexpr std::size_t kept_keys = 16;

// The schedules kept between calls: the default key's for good, and those of
// the most recently used other keys. Used under the interpreter's lock only,
// and released when the interpreter finalises.
struct Schedules {
    Schedule built_in{KeyBytes::built_in()};
    std::array<std::unique_ptr<Schedule>, kept_keys> recent;  // the most recently used first

    Schedule& of(const KeyBytes& key) {
        if (key.is_default) return built_in;
        auto found = std::find_if(recent.begin(), recent.end(), [&key](const auto& schedule) {
            return schedule != nullptr && schedule->holds(key);
        });
        if (found == recent.end()) {
            // The least recently used gives way; its schedule is cleansed and freed.
            found = recent.end() - 1;
            *found = std::make_unique<Schedule>(key);
        }
        std::rotate(recent.begin(), found, found + 1);
        return *recent.front();
    }
};
Schedules* schedules = nullptr;

void release_schedules() { delete std::exchange(schedules, nullptr); }

// `use` of the key's kept schedule.
template <class Use>
decltype(auto) with_schedule(const KeyBytes& key, Use use) {
    if (schedules == nullptr) {
        schedules = new Schedules;
        Py_AtExit(release_schedules);
    }
    return use(schedules->of(key));
}

// AES-ECB in place with the key's kept schedule; false when libcrypto cannot.
bool run_ecb(const KeyBytes& key, bool encrypting, Data& data) {
    return with_schedule(key, [&](Schedule& schedule) { return schedule.run(encrypting, data); });
}
#else
constexpr bool native_aes = false;
bool run_ecb(const KeyBytes&, bool, Data&) { return false; }
#endif

// The cipher of one call: `AES.new(key.encode("utf-8"), mode)`, the false key
// and mode replaced by the defaults. With the package's own constructor, its
// ECB mode and a key of a valid size, AES runs here while libcrypto can, and
// the package's object is made only where a step needs it: the constructor
// changes nothing else.
class Cipher {
  public:
    Cipher(Globals globals, PyObject* key, PyObject* mode) {
        const bool given = key != nullptr && truth(key);
        key_ = Ref::borrow(given ? key : names::default_key.get());
        if (mode != nullptr && truth(mode)) {
            mode_ = Ref::borrow(mode);
        } else {
            mode_ = attribute(globals.get(names::AES), names::MODE_ECB);
        }
        make_ = attribute(globals.get(names::AES), names::new_cipher);
        if (!given) key_bytes_ = KeyBytes::built_in();
        native_ = native_aes && names::loaded_new.is(make_) && is_ecb(mode_.get()) &&
                  (!given || key_bytes(key_.get(), key_bytes_));
        if (!native_) object_ = made();
    }

    // `aes.encrypt(data)` or `aes.decrypt(data)`, the result in `data`.
    void run(bool encrypting, Data& data) {
        if (data.readable() && runs_here(data.size()) && run_ecb(key_bytes_, encrypting, data)) {
            return;
        }
        if (!object_) object_ = made();
        data.hold(call_method(object_, encrypting ? names::encrypt : names::decrypt,
                              data.object().get()));
    }

#if VORLIK_WITH_OPENSSL
    // The context for AES-ECB over `size` bytes when it runs here (see
    // Schedule::context); null otherwise.
    EVP_CIPHER_CTX* context(bool encrypting, std::size_t size, OwnContext& own) {
        if (!runs_here(size)) return nullptr;
        return with_schedule(key_bytes_, [&](Schedule& schedule) {
            return schedule.context(encrypting, size, own);
        });
    }

    // Raises for AES that failed part-way with a context() (see Schedule::failed).
    void failed(bool encrypting) {
        with_schedule(key_bytes_, [&](Schedule& schedule) { schedule.failed(encrypting); });
    }
#endif

  private:
    // Whether AES-ECB over `size` bytes may run here: whole blocks, and some.
    bool runs_here(std::size_t size) const noexcept {
        return native_ && size != 0 && size % aes_block == 0;
    }

    static bool is_ecb(PyObject* mode) {
        PyObject* ecb = names::loaded_MODE_ECB;
        // Equality of two exact ints runs no Python code.
        return PyLong_CheckExact(mode) && ecb != nullptr && PyLong_CheckExact(ecb) &&
               PyObject_RichCompareBool(mode, ecb, Py_EQ) == 1;
    }

    Ref made() const {
        Ref key_bytes = call_method(key_, names::encode, names::utf_8);
        return call(make_, key_bytes.get(), mode_.get());
    }

    Ref key_, mode_, make_, object_;
    KeyBytes key_bytes_;
    bool native_ = false;
};

// ---- Base64 into AES -----------------------------------------------------------

// Decodes Base64 text in canonical form (what base64_text makes) into `data`,
// and decrypts it there in the same stretch when that pays; refused for any
// other text, which the lenient decoder must judge.
Decoded decode_canonical_base64(PyObject* text, Cipher& cipher, Data& data) {
    if (!PyUnicode_IS_ASCII(text)) return Decoded::refused;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    if (length == 0 || length % 4 != 0) return Decoded::refused;
    const std::span<const unsigned char> characters(PyUnicode_1BYTE_DATA(text), length);
    const std::size_t size = kernels::base64_decoded_size(characters);
#if VORLIK_WITH_OPENSSL
    if (size >= pieces_minimum) {
        OwnContext own;
        if (EVP_CIPHER_CTX* context = cipher.context(false, size, own)) {
            const Decoded decoded = data.decrypt_base64(characters, size, context);
            if (decoded == Decoded::failed) cipher.failed(false);
            return decoded;
        }
    }
#else
    (void)cipher;
#endif
    const bool decoded = unlocked(size, [characters, out = data.allocate(size)] {
        return kernels::base64_decode(characters, out);
    });
    return decoded ? Decoded::bytes : Decoded::refused;
}

// `aes.decrypt(base64.b64decode(text.encode("utf-8")))`, into `data`.
void decrypted_base64(Globals globals, PyObject* text, Cipher& cipher, Data& data) {
    Ref decoder = attribute(globals.get(names::base64), names::b64decode);
    Decoded decoded = Decoded::refused;
    if (names::loaded_b64decode.is(decoder) && PyUnicode_CheckExact(text)) {
        decoded = decode_canonical_base64(text, cipher, data);
    }
    if (decoded == Decoded::refused) {
        Ref text_bytes = call_method(text, names::encode, names::utf_8);
        data.hold(call(decoder, text_bytes.get()));
    }
    if (decoded != Decoded::decrypted) cipher.run(false, data);
}

}  // namespace

Ref pad(Globals globals, const Arguments& arguments) {
    PyObject* content = arguments.values[0];
    return padded_text(content, read_padding(globals, content));
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
    Cipher cipher(globals, arguments.values[1], arguments.values[2]);
    Data data;
    padded_utf8(globals, arguments.values[0], data);
    cipher.run(true, data);
    return base64_encoded(globals, data);
}

Ref aes_decrypt(Globals globals, const Arguments& arguments) {
    Cipher cipher(globals, arguments.values[1], arguments.values[2]);
    Data data;
    decrypted_base64(globals, arguments.values[0], cipher, data);
    return unpadded_text(globals, data);
}

}  // namespace vorlik
