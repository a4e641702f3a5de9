// Base64 and UTF-8 over plain arrays: the scalar loops, and vectorised kernels
// for x86-64 chosen once at load from what the CPU offers (or what
// VORLIK_SIMD forces). Every kernel gives the scalar loops' results bit for
// bit; a vectorised one takes only input it can finish and leaves the rest
// to the scalar loops.
#pragma once

#include <cstddef>
#include <span>

#include "frame.hpp"

namespace vorlik::kernels {

// Chooses the kernel: the widest the CPU runs, or the one VORLIK_SIMD names;
// ImportError for a name that is no kernel, or one that this CPU cannot run.
void choose();

// The Base64 form of `bytes` (standard alphabet, `=` padding) into `out`,
// which holds (size + 2) / 3 * 4 characters.
void base64_encode(std::span<const unsigned char> bytes, char* out);

// How many bytes Base64 text of a whole number of groups decodes to.
std::size_t base64_decoded_size(std::span<const unsigned char> text);

// Decodes Base64 text in canonical form (what base64_encode makes, at least
// one group of four) into `out`, which holds the decoded size; false for any
// other text, which the lenient decoder must judge. Text that does not end in
// `=` decodes only when all its characters are of the alphabet, so that
// whole groups cut from longer text decode as such. The text is ASCII.
bool base64_decode(std::span<const unsigned char> text, unsigned char* out);

// Whether the bytes are all ASCII.
bool ascii(std::span<const unsigned char> bytes);

// The length of the UTF-8 form of the characters, or -1 when they hold a
// surrogate, which the strict codec refuses.
Py_ssize_t utf8_length(std::span<const Py_UCS1> characters);
Py_ssize_t utf8_length(std::span<const Py_UCS2> characters);
Py_ssize_t utf8_length(std::span<const Py_UCS4> characters);

// Writes the UTF-8 form of characters without surrogates; `out` holds exactly
// its utf8_length.
void write_utf8(std::span<const Py_UCS1> characters, std::span<unsigned char> out);
void write_utf8(std::span<const Py_UCS2> characters, std::span<unsigned char> out);
void write_utf8(std::span<const Py_UCS4> characters, std::span<unsigned char> out);

// What a text decoded from UTF-8 bytes is made of.
struct Utf8Scan {
    Py_ssize_t characters = 0;
    Py_UCS4 max_char = 0;  // the widest character's kind: 0x7F, 0xFF, 0xFFFF or 0x10FFFF
};

// Whether the bytes are valid UTF-8, with the scan of their text; false also
// when the kernel leaves decoding to the interpreter's codec.
bool scan_utf8(std::span<const unsigned char> bytes, Utf8Scan& scan);

// Decodes bytes that scan_utf8 took into a new text made for their scan,
// which nothing else refers to yet; touches no other Python object.
void decode_utf8(std::span<const unsigned char> bytes, PyObject* text);

}  // namespace vorlik::kernels
