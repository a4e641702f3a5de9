// Base64 and UTF-8 kernels: the scalar loops, and on x86-64 vectorised ones
// (SSE4.1, AVX2, AVX-512 with VBMI) compiled for their instruction sets with
// target attributes and chosen at load from what the CPU and the operating
// system support.
#include "kernels.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__x86_64__) || defined(_M_X64)
#define VORLIK_X86 1
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define VORLIK_TARGET(features)
#else
#include <cpuid.h>
#define VORLIK_TARGET(features) __attribute__((target(features)))
#endif
#else
#define VORLIK_X86 0
#endif

namespace vorlik::kernels {
namespace {

// ---- Scalar loops --------------------------------------------------------------

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters for each 12 bits: one lookup per half of a group.
constexpr auto base64_pairs = [] {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (std::size_t v = 0; v < pairs.size(); ++v) {
        pairs[v] = {base64_alphabet[v >> 6], base64_alphabet[v & 63]};
    }
    return pairs;
}();

// For each character, its six bits at its place in a group of four; a
// character outside the alphabet sets a bit above the group's 24.
constexpr std::uint32_t not_base64 = 1u << 24;
constexpr auto base64_values = [] {
    std::array<std::array<std::uint32_t, 128>, 4> values{};
    for (auto& place : values) place.fill(not_base64);
    for (std::uint32_t v = 0; v < 64; ++v) {
        const auto c = static_cast<unsigned char>(base64_alphabet[v]);
        for (std::size_t j = 0; j < 4; ++j) values[j][c] = v << (18 - 6 * j);
    }
    return values;
}();

int base64_padding(const unsigned char* text, std::size_t length) {
    return text[length - 1] != '=' ? 0 : text[length - 2] != '=' ? 1 : 2;
}

void base64_encode_scalar(const unsigned char* in, std::size_t size, char* out) {
    for (const unsigned char* end = in + size / 3 * 3; in != end; in += 3, out += 4) {
        const unsigned value = in[0] << 16 | in[1] << 8 | in[2];
        std::memcpy(out, base64_pairs[value >> 12].data(), 2);
        std::memcpy(out + 2, base64_pairs[value & 0xFFF].data(), 2);
    }
    if (const std::size_t left = size % 3; left != 0) {
        const unsigned value = in[0] << 16 | (left == 2 ? in[1] << 8 : 0);
        std::memcpy(out, base64_pairs[value >> 12].data(), 2);
        out[2] = left == 2 ? base64_alphabet[value >> 6 & 63] : '=';
        out[3] = '=';
    }
}

// ASCII text of a whole number of groups, at least one.
bool base64_decode_scalar(const unsigned char* in, std::size_t length, unsigned char* out) {
    const int padding = base64_padding(in, length);
    const auto& [first, second, third, fourth] = base64_values;
    std::uint32_t seen = 0;
    for (const unsigned char* last = in + length - 4; in != last; in += 4, out += 3) {
        const std::uint32_t value = first[in[0]] | second[in[1]] | third[in[2]] | fourth[in[3]];
        seen |= value;
        out[0] = static_cast<unsigned char>(value >> 16);
        out[1] = static_cast<unsigned char>(value >> 8);
        out[2] = static_cast<unsigned char>(value);
    }
    const std::uint32_t value = first[in[0]] | second[in[1]] | (padding < 2 ? third[in[2]] : 0) |
                                (padding < 1 ? fourth[in[3]] : 0);
    // Bits that the padding leaves over must be zero in canonical text.
    if (((seen | value) & not_base64) != 0 || (value & ((1u << (8 * padding)) - 1)) != 0) {
        return false;
    }
    for (int k = 0; k < 3 - padding; ++k)
        out[k] = static_cast<unsigned char>(value >> (16 - 8 * k));
    return true;
}

template <class Char>
Py_ssize_t utf8_length_scalar(std::span<const Char> characters) {
    Py_ssize_t bytes = 0;
    for (const Py_UCS4 c : characters) {
        if (c >= 0xD800 && c <= 0xDFFF) return -1;
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return bytes;
}

bool ascii_scalar(const unsigned char* at, std::size_t size) {
    std::uint64_t seen = 0;
    for (; size >= 8; at += 8, size -= 8) {
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        seen |= word;
    }
    for (; size != 0; --size) seen |= *at++;
    return (seen & 0x8080808080808080) == 0;
}

inline unsigned char* put_utf8(Py_UCS4 c, unsigned char* out) {
    if (c < 0x80) {
        *out++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<unsigned char>(0xC0 | c >> 6);
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<unsigned char>(0xE0 | c >> 12);
        *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<unsigned char>(0xF0 | c >> 18);
        *out++ = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    return out;
}

template <class Char>
void write_utf8_scalar(std::span<const Char> characters, unsigned char* out) {
    for (const Py_UCS4 c : characters) out = put_utf8(c, out);
}

// One character of valid UTF-8 at `in`; returns where the next begins.
template <class Char>
const unsigned char* take_utf8(const unsigned char* in, Char*& out) {
    const Py_UCS4 lead = in[0];
    if (lead < 0x80) {
        *out++ = static_cast<Char>(lead);
        return in + 1;
    }
    if (lead < 0xE0) {
        *out++ = static_cast<Char>((lead & 0x1F) << 6 | (in[1] & 0x3F));
        return in + 2;
    }
    if (lead < 0xF0) {
        *out++ = static_cast<Char>((lead & 0x0F) << 12 | (in[1] & 0x3F) << 6 | (in[2] & 0x3F));
        return in + 3;
    }
    *out++ = static_cast<Char>((lead & 0x07) << 18 | (in[1] & 0x3F) << 12 | (in[2] & 0x3F) << 6 |
                               (in[3] & 0x3F));
    return in + 4;
}

#if VORLIK_X86
// ---- Base64, vectorised --------------------------------------------------------
// Encoding spreads each 3 bytes s0 s1 s2 of a group over a 32-bit lane as
// s1 s0 s2 s1, in whose two 16-bit halves the four 6-bit values stand at bits
// 10 and 4 (low half) and 6 and 0 (high half); multiplies move each to a byte
// of its own, then a 16-entry table of offsets per value range makes the
// characters. Decoding checks each character by its two nibbles, adds an
// offset chosen by its high nibble ('/' by itself), and packs four 6-bit
// values into 3 bytes with multiply-adds.

template <std::size_t size>
using Bytes = std::array<unsigned char, size>;

// Offsets from a 6-bit value to its character, by range: 0-25, 26-51, 52-61, 62, 63.
alignas(16) constexpr Bytes<16> encode_offsets = {65,  71,  252, 252, 252, 252, 252, 252,
                                                  252, 252, 252, 252, 237, 240, 0,   0};
alignas(16) constexpr Bytes<16> spread_group = {1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10};
// A bit for each class of high nibble, set by low nibbles that are no
// character of the alphabet in that class.
alignas(16) constexpr Bytes<16> invalid_by_low = {0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                                  0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A};
alignas(16) constexpr Bytes<16> class_by_high = {0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                                 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};
// The offset from a character to its value by its high nibble; '/' at 1.
alignas(16) constexpr Bytes<16> decode_offsets = {0, 16, 19, 4, 191, 191, 185, 185,
                                                  0, 0,  0,  0, 0,   0,   0,   0};
alignas(16) constexpr Bytes<16> pack_group = {2, 1,  0,  6,  5,   4,   10,  9,
                                              8, 14, 13, 12, 255, 255, 255, 255};

VORLIK_TARGET("sse4.1") __m128i load16(const void* at) {
    return _mm_loadu_si128(static_cast<const __m128i*>(at));
}

// 12 bytes, and none beyond them.
VORLIK_TARGET("sse4.1") __m128i load12(const unsigned char* at) {
    int last;
    std::memcpy(&last, at + 8, sizeof last);
    return _mm_insert_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)), last, 2);
}

VORLIK_TARGET("avx2") __m256i load32(const void* at) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(at));
}

// A 16-byte table in each 128-bit lane.
VORLIK_TARGET("avx2") __m256i load_lanes(const Bytes<16>& table) {
    return _mm256_broadcastsi128_si256(load16(table.data()));
}

VORLIK_TARGET("sse4.1")
void base64_encode_sse(const unsigned char* in, std::size_t size, char* out) {
    const auto spread = load16(spread_group.data());
    const auto offsets = load16(encode_offsets.data());
    for (; size >= 12; in += 12, size -= 12, out += 16) {
        const __m128i groups = size >= 16 ? load16(in) : load12(in);
        const __m128i v = _mm_shuffle_epi8(groups, spread);
        const __m128i high = _mm_mulhi_epu16(_mm_and_si128(v, _mm_set1_epi32(0x0FC0FC00)),
                                             _mm_set1_epi32(0x04000040));
        const __m128i low = _mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi32(0x003F03F0)),
                                            _mm_set1_epi32(0x01000010));
        const __m128i values = _mm_or_si128(high, low);
        __m128i range = _mm_subs_epu8(values, _mm_set1_epi8(51));
        range = _mm_sub_epi8(range, _mm_cmpgt_epi8(values, _mm_set1_epi8(25)));
        const __m128i text = _mm_add_epi8(values, _mm_shuffle_epi8(offsets, range));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), text);
    }
    base64_encode_scalar(in, size, out);
}

VORLIK_TARGET("avx2")
void base64_encode_avx2(const unsigned char* in, std::size_t size, char* out) {
    const auto spread = load_lanes(spread_group);
    const auto offsets = load_lanes(encode_offsets);
    for (; size >= 28; in += 24, size -= 24, out += 32) {
        const __m256i groups =
            _mm256_inserti128_si256(_mm256_castsi128_si256(load16(in)), load16(in + 12), 1);
        const __m256i v = _mm256_shuffle_epi8(groups, spread);
        const __m256i high = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0FC0FC00)),
                                                _mm256_set1_epi32(0x04000040));
        const __m256i low = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003F03F0)),
                                               _mm256_set1_epi32(0x01000010));
        const __m256i values = _mm256_or_si256(high, low);
        __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
        range = _mm256_sub_epi8(range, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
        const __m256i text = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
    }
    base64_encode_sse(in, size, out);
}

// The 6-bit values of 16 characters of the alphabet; false for any other.
VORLIK_TARGET("sse4.1") bool base64_values_sse(__m128i text, __m128i& values) {
    const __m128i high = _mm_and_si128(_mm_srli_epi32(text, 4), _mm_set1_epi8(0x0F));
    const __m128i low = _mm_and_si128(text, _mm_set1_epi8(0x0F));
    const __m128i invalid = _mm_and_si128(_mm_shuffle_epi8(load16(invalid_by_low.data()), low),
                                          _mm_shuffle_epi8(load16(class_by_high.data()), high));
    if (_mm_testz_si128(invalid, invalid) == 0) return false;
    const __m128i slash = _mm_cmpeq_epi8(text, _mm_set1_epi8('/'));
    const __m128i offsets =
        _mm_shuffle_epi8(load16(decode_offsets.data()), _mm_add_epi8(high, slash));
    values = _mm_add_epi8(text, offsets);
    return true;
}

// Four 6-bit values to each 32-bit lane's three bytes, in its low 12 bytes.
VORLIK_TARGET("sse4.1") __m128i base64_pack_sse(__m128i values) {
    const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    return _mm_shuffle_epi8(groups, load16(pack_group.data()));
}

// The bytes after a block hold at least 8 characters, so the 16 bytes
// stored for its 12 stay within the output.
VORLIK_TARGET("sse4.1")
bool base64_decode_sse(const unsigned char* in, std::size_t length, unsigned char* out) {
    for (; length >= 24; in += 16, length -= 16, out += 12) {
        __m128i values;
        if (!base64_values_sse(load16(in), values)) return false;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), base64_pack_sse(values));
    }
    return base64_decode_scalar(in, length, out);
}

VORLIK_TARGET("avx2")
bool base64_decode_avx2(const unsigned char* in, std::size_t length, unsigned char* out) {
    const auto by_low = load_lanes(invalid_by_low);
    const auto by_high = load_lanes(class_by_high);
    const auto decoding = load_lanes(decode_offsets);
    const auto packing = load_lanes(pack_group);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    for (; length >= 48; in += 32, length -= 32, out += 24) {
        const __m256i text = load32(in);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
        const __m256i invalid =
            _mm256_and_si256(_mm256_shuffle_epi8(by_low, _mm256_and_si256(text, nibble)),
                             _mm256_shuffle_epi8(by_high, high));
        if (_mm256_testz_si256(invalid, invalid) == 0) return false;
        const __m256i slash = _mm256_cmpeq_epi8(text, _mm256_set1_epi8('/'));
        const __m256i values =
            _mm256_add_epi8(text, _mm256_shuffle_epi8(decoding, _mm256_add_epi8(high, slash)));
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
        const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i packed = _mm256_permutevar8x32_epi32(
            _mm256_shuffle_epi8(groups, packing), _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), packed);
    }
    return base64_decode_sse(in, length, out);
}

// AVX-512 with VBMI: byte permutes do the spreading, lookups and packing in
// one instruction each, and a multishift picks each 6-bit value.
constexpr auto avx512_spread = [] {
    Bytes<64> order{};
    for (std::size_t g = 0; g < 16; ++g) {
        const auto s = static_cast<unsigned char>(3 * g);
        order[4 * g] = s + 1;
        order[4 * g + 1] = s;
        order[4 * g + 2] = s + 2;
        order[4 * g + 3] = s + 1;
    }
    return order;
}();
constexpr auto avx512_pack = [] {
    Bytes<64> order{};
    for (std::size_t g = 0; g < 16; ++g) {
        const auto s = static_cast<unsigned char>(4 * g);
        order[3 * g] = s + 2;
        order[3 * g + 1] = s + 1;
        order[3 * g + 2] = s;
    }
    return order;
}();
constexpr auto avx512_alphabet = [] {
    Bytes<64> alphabet{};
    std::copy_n(base64_alphabet, 64, alphabet.begin());
    return alphabet;
}();
// The value of each ASCII character, 0x80 for those outside the alphabet.
constexpr auto avx512_values = [] {
    Bytes<128> values{};
    values.fill(0x80);
    for (unsigned char v = 0; v < 64; ++v)
        values[static_cast<unsigned char>(base64_alphabet[v])] = v;
    return values;
}();
// Bit offsets of the four values in each lane spread as s1 s0 s2 s1.
constexpr std::int64_t avx512_shifts = 0x3036242A1016040A;
constexpr __mmask64 three_quarters = 0x0000FFFFFFFFFFFF;
// Masked forms throughout: GCC 12 warns that the unmasked ones read an undefined vector.
constexpr __mmask64 all_64 = ~__mmask64{0};

#define VORLIK_AVX512 "avx2,avx512f,avx512bw,avx512vbmi"

VORLIK_TARGET(VORLIK_AVX512) __m512i load64(const unsigned char* at) {
    return _mm512_loadu_si512(at);
}

VORLIK_TARGET(VORLIK_AVX512)
void base64_encode_avx512(const unsigned char* in, std::size_t size, char* out) {
    const __m512i spread = load64(avx512_spread.data());
    const __m512i alphabet = load64(avx512_alphabet.data());
    const __m512i shifts = _mm512_set1_epi64(avx512_shifts);
    for (; size >= 48; in += 48, size -= 48, out += 64) {
        const __m512i groups = _mm512_maskz_loadu_epi8(three_quarters, in);
        const __m512i values = _mm512_maskz_multishift_epi64_epi8(
            all_64, shifts, _mm512_maskz_permutexvar_epi8(all_64, spread, groups));
        _mm512_storeu_si512(out, _mm512_maskz_permutexvar_epi8(all_64, values, alphabet));
    }
    base64_encode_avx2(in, size, out);
}

VORLIK_TARGET(VORLIK_AVX512)
bool base64_decode_avx512(const unsigned char* in, std::size_t length, unsigned char* out) {
    const __m512i low_values = load64(avx512_values.data());
    const __m512i high_values = load64(avx512_values.data() + 64);
    const __m512i pack = load64(avx512_pack.data());
    const __m512i pair_weights = _mm512_set1_epi32(0x01400140);
    const __m512i group_weights = _mm512_set1_epi32(0x00011000);
    // Characters outside the alphabet are gathered in `seen` and judged at
    // the end. Each block stores 64 bytes for its 48: the rest of the text,
    // at least 32 characters, decodes to more than the 16 beyond them. The
    // last groups, which may hold padding, are left to the narrower kernels.
    __m512i seen = _mm512_setzero_si512();
    for (; length >= 96; in += 64, length -= 64, out += 48) {
        const __m512i values =
            _mm512_maskz_permutex2var_epi8(all_64, low_values, load64(in), high_values);
        seen = _mm512_or_si512(seen, values);
        const __m512i pairs = _mm512_maddubs_epi16(values, pair_weights);
        const __m512i groups = _mm512_madd_epi16(pairs, group_weights);
        _mm512_storeu_si512(out, _mm512_maskz_permutexvar_epi8(all_64, pack, groups));
    }
    return _mm512_movepi8_mask(seen) == 0 && base64_decode_avx2(in, length, out);
}

// ---- ASCII, vectorised ----------------------------------------------------------

VORLIK_TARGET("sse4.1") bool ascii_sse(const unsigned char* at, std::size_t size) {
    __m128i seen = _mm_setzero_si128();
    for (; size >= 64; at += 64, size -= 64) {
        seen = _mm_or_si128(seen, _mm_or_si128(_mm_or_si128(load16(at), load16(at + 16)),
                                               _mm_or_si128(load16(at + 32), load16(at + 48))));
    }
    return _mm_movemask_epi8(seen) == 0 && ascii_scalar(at, size);
}

VORLIK_TARGET("avx2") bool ascii_avx2(const unsigned char* at, std::size_t size) {
    __m256i seen = _mm256_setzero_si256();
    for (; size >= 128; at += 128, size -= 128) {
        seen = _mm256_or_si256(seen,
                               _mm256_or_si256(_mm256_or_si256(load32(at), load32(at + 32)),
                                               _mm256_or_si256(load32(at + 64), load32(at + 96))));
    }
    return _mm256_movemask_epi8(seen) == 0 && ascii_sse(at, size);
}

// ---- UTF-8, vectorised (SSE4.1, for every vectorised kernel) -------------------

VORLIK_TARGET("sse4.1") std::uint64_t sum_of_lanes(__m128i sums) {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::uint64_t>(_mm_extract_epi64(sums, 1));
}

// 16 bytes of characters: the bytes their UTF-8 form takes beyond one each,
// counted per lane into `extra`; lanes of surrogates marked in `surrogates`.
template <class Char>
VORLIK_TARGET("sse4.1")
__m128i add_extra_bytes(__m128i c, __m128i extra, __m128i& surrogates) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_sub_epi8(extra, _mm_cmplt_epi8(c, _mm_setzero_si128()));
    } else if constexpr (sizeof(Char) == 2) {
        const __m128i from_80 = _mm_cmpeq_epi16(_mm_max_epu16(c, _mm_set1_epi16(0x80)), c);
        const __m128i from_800 = _mm_cmpeq_epi16(_mm_max_epu16(c, _mm_set1_epi16(0x800)), c);
        surrogates = _mm_or_si128(
            surrogates,
            _mm_cmpeq_epi16(_mm_and_si128(c, _mm_set1_epi16(static_cast<short>(0xF800))),
                            _mm_set1_epi16(static_cast<short>(0xD800))));
        return _mm_sub_epi16(_mm_sub_epi16(extra, from_80), from_800);
    } else {
        const __m128i from_80 = _mm_cmpeq_epi32(_mm_max_epu32(c, _mm_set1_epi32(0x80)), c);
        const __m128i from_800 = _mm_cmpeq_epi32(_mm_max_epu32(c, _mm_set1_epi32(0x800)), c);
        const __m128i from_10000 = _mm_cmpeq_epi32(_mm_max_epu32(c, _mm_set1_epi32(0x10000)), c);
        surrogates = _mm_or_si128(
            surrogates,
            _mm_cmpeq_epi32(_mm_and_si128(c, _mm_set1_epi32(~0x7FF)), _mm_set1_epi32(0xD800)));
        return _mm_sub_epi32(_mm_sub_epi32(_mm_sub_epi32(extra, from_80), from_800), from_10000);
    }
}

template <class Char>
VORLIK_TARGET("sse4.1")
std::uint64_t sum_extra_bytes(__m128i extra) {
    if constexpr (sizeof(Char) == 1) return sum_of_lanes(_mm_sad_epu8(extra, _mm_setzero_si128()));
    if constexpr (sizeof(Char) == 2) extra = _mm_madd_epi16(extra, _mm_set1_epi16(1));
    return sum_of_lanes(
        _mm_add_epi64(_mm_cvtepu32_epi64(extra), _mm_cvtepu32_epi64(_mm_srli_si128(extra, 8))));
}

template <class Char>
VORLIK_TARGET("sse4.1")
Py_ssize_t utf8_length_sse(std::span<const Char> characters) {
    constexpr std::size_t lanes = 16 / sizeof(Char);
    // Vectors counted per lane before a lane could overflow.
    constexpr std::size_t per_sum = sizeof(Char) == 1 ? 255 : sizeof(Char) == 2 ? 8192 : 1 << 24;
    const Char* at = characters.data();
    std::size_t left = characters.size();
    std::uint64_t extra = 0;
    __m128i surrogates = _mm_setzero_si128();
    while (left >= lanes) {
        __m128i counts = _mm_setzero_si128();
        for (std::size_t n = std::min(left / lanes, per_sum); n != 0; --n) {
            counts = add_extra_bytes<Char>(load16(at), counts, surrogates);
            at += lanes;
            left -= lanes;
        }
        extra += sum_extra_bytes<Char>(counts);
    }
    const Py_ssize_t rest = utf8_length_scalar(std::span(at, left));
    if (rest < 0 || _mm_testz_si128(surrogates, surrogates) == 0) return -1;
    return static_cast<Py_ssize_t>(characters.size() - left + extra) + rest;
}

// 16 ASCII bytes widened to characters at `out`.
template <class Char>
VORLIK_TARGET("sse4.1")
void widen_ascii(__m128i ascii, Char* out) {
    auto* to = reinterpret_cast<__m128i*>(out);
    if constexpr (sizeof(Char) == 1) {
        _mm_storeu_si128(to, ascii);
    } else if constexpr (sizeof(Char) == 2) {
        _mm_storeu_si128(to, _mm_cvtepu8_epi16(ascii));
        _mm_storeu_si128(to + 1, _mm_cvtepu8_epi16(_mm_srli_si128(ascii, 8)));
    } else {
        _mm_storeu_si128(to, _mm_cvtepu8_epi32(ascii));
        _mm_storeu_si128(to + 1, _mm_cvtepu8_epi32(_mm_srli_si128(ascii, 4)));
        _mm_storeu_si128(to + 2, _mm_cvtepu8_epi32(_mm_srli_si128(ascii, 8)));
        _mm_storeu_si128(to + 3, _mm_cvtepu8_epi32(_mm_srli_si128(ascii, 12)));
    }
}

// How many bytes of ASCII from `at` (of `left`) are copied as characters to
// `out` (with room for `room`), 64 at a time, then 16.
template <class Char>
VORLIK_TARGET("sse4.1")
std::size_t
    widen_ascii_run(const unsigned char* at, std::size_t left, Char* out, std::size_t room) {
    const std::size_t most = std::min(left, room);
    std::size_t done = 0;
    for (; most - done >= 64; done += 64) {
        const __m128i a = load16(at + done), b = load16(at + done + 16), c = load16(at + done + 32),
                      d = load16(at + done + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
        widen_ascii(a, out + done);
        widen_ascii(b, out + done + 16);
        widen_ascii(c, out + done + 32);
        widen_ascii(d, out + done + 48);
    }
    for (; most - done >= 16; done += 16) {
        const __m128i block = load16(at + done);
        if (_mm_movemask_epi8(block) != 0) break;
        widen_ascii(block, out + done);
    }
    return done;
}

// For each set of ASCII characters among 8 below U+0800, given as a bit
// each: the bytes to keep of their 16-bit forms (one of an ASCII
// character's, both of another's), and how many.
struct TwoByteShuffle {
    Bytes<16> order;
    unsigned char size;
};
constexpr auto two_byte_shuffles = [] {
    std::array<TwoByteShuffle, 256> shuffles{};
    for (std::size_t ascii = 0; ascii < 256; ++ascii) {
        auto& [order, size] = shuffles[ascii];
        order.fill(0x80);
        for (unsigned char i = 0; i < 8; ++i) {
            order[size++] = static_cast<unsigned char>(2 * i);
            if ((ascii >> i & 1) == 0) order[size++] = static_cast<unsigned char>(2 * i + 1);
        }
    }
    return shuffles;
}();

// The UTF-8 form of 8 characters below U+0800, stored as 16 bytes at `out`;
// returns its end.
VORLIK_TARGET("sse4.1") unsigned char* write_two_byte_forms(__m128i c, unsigned char* out) {
    const __m128i ascii = _mm_cmpgt_epi16(_mm_set1_epi16(0x80), c);
    const __m128i lead_and_trail =
        _mm_or_si128(_mm_or_si128(_mm_srli_epi16(c, 6),
                                  _mm_slli_epi16(_mm_and_si128(c, _mm_set1_epi16(0x3F)), 8)),
                     _mm_set1_epi16(static_cast<short>(0x80C0)));
    const __m128i forms = _mm_blendv_epi8(lead_and_trail, c, ascii);
    const auto& shuffle =
        two_byte_shuffles[static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, ascii))) &
                          0xFF];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(forms, load16(shuffle.order.data())));
    return out + shuffle.size;
}

// 8 characters as 16-bit lanes; those above 0xFFFF become 0xFFFF.
template <class Char>
VORLIK_TARGET("sse4.1")
__m128i load_eight(const Char* at) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
    } else if constexpr (sizeof(Char) == 2) {
        return load16(at);
    } else {
        return _mm_packus_epi32(load16(at), load16(at + 4));
    }
}

// Blocks of 8 characters: ASCII ones packed, those below U+0800 through the
// shuffles, others one by one; the last 16 bytes of output by the scalar loop.
// Single-byte characters also go 64 at a time while they are ASCII.
template <class Char>
VORLIK_TARGET("sse4.1")
void write_utf8_sse(std::span<const Char> characters, std::span<unsigned char> bytes) {
    const Char* at = characters.data();
    const Char* const end = at + characters.size();
    unsigned char* out = bytes.data();
    unsigned char* const out_end = out + bytes.size();
    for (; end - at >= 8 && out_end - out >= 16; at += 8) {
        if constexpr (sizeof(Char) == 1) {
            const std::size_t ascii = widen_ascii_run(at, static_cast<std::size_t>(end - at), out,
                                                      static_cast<std::size_t>(out_end - out));
            at += ascii;
            out += ascii;
            if (end - at < 8 || out_end - out < 16) break;
        }
        const __m128i c = load_eight(at);
        if (_mm_testz_si128(c, _mm_set1_epi16(static_cast<short>(0xFF80))) != 0) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(c, c));
            out += 8;
        } else if (_mm_testz_si128(c, _mm_set1_epi16(static_cast<short>(0xF800))) != 0) {
            out = write_two_byte_forms(c, out);
        } else {
            for (int i = 0; i < 8; ++i) out = put_utf8(at[i], out);
        }
    }
    write_utf8_scalar(std::span(at, end), out);
}

// UTF-8 is checked 16 bytes at a time with the byte before each and its
// predecessors: a lookup by each of the previous byte's nibbles and one by
// the current byte's high nibble each give a set of errors the pair may be,
// and their intersection the errors it is. A continuation byte after a
// continuation byte is an error unless a lead of three or four bytes stands
// two or three bytes before.
enum : unsigned char {
    too_short = 1 << 0,  // a lead not followed by a continuation byte
    too_long = 1 << 1,   // a continuation byte after ASCII
    overlong_3 = 1 << 2,
    too_large = 1 << 3,  // above U+10FFFF
    surrogate = 1 << 4,
    overlong_2 = 1 << 5,
    too_large_1000 = 1 << 6,  // a lead from F5 followed by 80-8F ...
    overlong_4 = 1 << 6,      // ... or F0 followed by 80-8F: one bit serves both
    two_continuations = 1 << 7,
    carry = too_short | too_long | two_continuations,
};
alignas(16) constexpr Bytes<16> errors_by_previous_high = {
    too_long,
    too_long,
    too_long,
    too_long,
    too_long,
    too_long,
    too_long,
    too_long,
    two_continuations,
    two_continuations,
    two_continuations,
    two_continuations,
    too_short | overlong_2,
    too_short,
    too_short | overlong_3 | surrogate,
    too_short | too_large | too_large_1000 | overlong_4};
alignas(16) constexpr Bytes<16> errors_by_previous_low = {
    carry | overlong_2 | overlong_3 | overlong_4,
    carry | overlong_2,
    carry,
    carry,
    carry | too_large,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000 | surrogate,
    carry | too_large | too_large_1000,
    carry | too_large | too_large_1000};
constexpr unsigned char not_continuation = too_short | overlong_2;
alignas(16) constexpr Bytes<16> errors_by_current_high = {
    not_continuation,
    not_continuation,
    not_continuation,
    not_continuation,
    not_continuation,
    not_continuation,
    not_continuation,
    not_continuation,
    too_long | overlong_2 | two_continuations | overlong_3 | too_large_1000 | overlong_4,
    too_long | overlong_2 | two_continuations | overlong_3 | too_large,
    too_long | overlong_2 | two_continuations | surrogate | too_large,
    too_long | overlong_2 | two_continuations | surrogate | too_large,
    not_continuation,
    not_continuation,
    not_continuation,
    not_continuation};

// Where a block's last bytes leave a sequence unfinished: a lead of four
// bytes in its last three, of three in its last two, any lead last.
alignas(16) constexpr Bytes<16> finished_limits = {255, 255, 255, 255, 255, 255,  255,  255,
                                                   255, 255, 255, 255, 255, 0xEF, 0xDF, 0xBF};

// Indices that move a block's last bytes to its start, zeros after them.
constexpr auto tail_order = [] {
    Bytes<32> order{};
    for (unsigned char i = 0; i < 16; ++i) order[i] = i;
    std::fill(order.begin() + 16, order.end(), 0x80);
    return order;
}();

struct Utf8Checker {
    __m128i previous = _mm_setzero_si128();
    __m128i errors = _mm_setzero_si128();
    __m128i unfinished = _mm_setzero_si128();  // of `previous`
    __m128i widest = _mm_setzero_si128();
    __m128i continuations = _mm_setzero_si128();  // per lane, up to 255 blocks

    VORLIK_TARGET("sse4.1") void check(__m128i current) {
        const __m128i nibble = _mm_set1_epi8(0x0F);
        const __m128i previous1 = _mm_alignr_epi8(current, previous, 15);
        const __m128i by_pair = _mm_and_si128(
            _mm_and_si128(_mm_shuffle_epi8(load16(errors_by_previous_high.data()),
                                           _mm_and_si128(_mm_srli_epi16(previous1, 4), nibble)),
                          _mm_shuffle_epi8(load16(errors_by_previous_low.data()),
                                           _mm_and_si128(previous1, nibble))),
            _mm_shuffle_epi8(load16(errors_by_current_high.data()),
                             _mm_and_si128(_mm_srli_epi16(current, 4), nibble)));
        // Bit 7 where a lead of three bytes or more stands two bytes before,
        // or one of four three bytes before.
        const __m128i third_or_fourth = _mm_and_si128(
            _mm_or_si128(
                _mm_subs_epu8(_mm_alignr_epi8(current, previous, 14), _mm_set1_epi8(0x60)),
                _mm_subs_epu8(_mm_alignr_epi8(current, previous, 13), _mm_set1_epi8(0x70))),
            _mm_set1_epi8(static_cast<char>(0x80)));
        errors = _mm_or_si128(errors, _mm_xor_si128(by_pair, third_or_fourth));
        widest = _mm_max_epu8(widest, current);
        continuations = _mm_sub_epi8(
            continuations, _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(0xC0)), current));
        unfinished = _mm_subs_epu8(current, load16(finished_limits.data()));
        previous = current;
    }

    // A block of ASCII: right after a finished sequence only.
    VORLIK_TARGET("sse4.1") void check_ascii(__m128i current) {
        errors = _mm_or_si128(errors, unfinished);
        unfinished = _mm_setzero_si128();
        previous = current;
    }

    VORLIK_TARGET("sse4.1") std::uint64_t take_continuations() {
        return sum_of_lanes(
            _mm_sad_epu8(std::exchange(continuations, _mm_setzero_si128()), _mm_setzero_si128()));
    }
};

// The kind of the widest character of valid UTF-8, from its largest byte:
// leads from 0xC4 start characters above 0xFF, from 0xF0 above 0xFFFF.
Py_UCS4 max_char_of(unsigned widest_byte) {
    return widest_byte < 0x80   ? 0x7F
           : widest_byte < 0xC4 ? 0xFF
           : widest_byte < 0xF0 ? 0xFFFF
                                : 0x10FFFF;
}

VORLIK_TARGET("sse4.1")
bool scan_utf8_sse(std::span<const unsigned char> bytes, Utf8Scan& scan) {
    Utf8Checker checker;
    const unsigned char* at = bytes.data();
    std::size_t left = bytes.size();
    std::uint64_t continuations = 0;
    // 64 bytes at a time, skipped when all ASCII; the counts per lane taken
    // before they could overflow.
    while (left >= 64) {
        for (std::size_t n = std::min<std::size_t>(left / 64, 63); n != 0; --n) {
            const __m128i a = load16(at), b = load16(at + 16), c = load16(at + 32),
                          d = load16(at + 48);
            if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) {
                checker.check_ascii(d);
            } else {
                checker.check(a);
                checker.check(b);
                checker.check(c);
                checker.check(d);
            }
            at += 64;
            left -= 64;
        }
        continuations += checker.take_continuations();
    }
    for (; left >= 16; at += 16, left -= 16) {
        const __m128i block = load16(at);
        if (_mm_movemask_epi8(block) == 0) {
            checker.check_ascii(block);
        } else {
            checker.check(block);
        }
    }
    // The rest followed by zeros, which end any sequence left unfinished as an
    // error: shifted down from the last 16 bytes where there are 16.
    if (left == 0) {
        checker.check_ascii(_mm_setzero_si128());
    } else if (bytes.size() >= 16) {
        checker.check(
            _mm_shuffle_epi8(load16(at + left - 16), load16(tail_order.data() + 16 - left)));
    } else {
        alignas(16) Bytes<16> last{};
        std::copy_n(at, left, last.begin());
        checker.check(load16(last.data()));
    }
    continuations += checker.take_continuations();
    if (_mm_testz_si128(checker.errors, checker.errors) == 0) return false;
    const __m128i widest = checker.widest;
    const __m128i halves = _mm_max_epu8(widest, _mm_srli_si128(widest, 8));
    const __m128i quarters = _mm_max_epu8(halves, _mm_srli_si128(halves, 4));
    const __m128i eighths = _mm_max_epu8(quarters, _mm_srli_si128(quarters, 2));
    const __m128i largest = _mm_max_epu8(eighths, _mm_srli_si128(eighths, 1));
    scan.characters = static_cast<Py_ssize_t>(bytes.size() - continuations);
    scan.max_char = max_char_of(static_cast<unsigned>(_mm_cvtsi128_si32(largest)) & 0xFF);
    return true;
}

// 8 characters of 16-bit lanes stored at `out`, which has room for them.
template <class Char>
VORLIK_TARGET("sse4.1")
void store_eight(__m128i c, Char* out) {
    auto* to = reinterpret_cast<__m128i*>(out);
    if constexpr (sizeof(Char) == 1) {
        _mm_storel_epi64(to, _mm_packus_epi16(c, c));
    } else if constexpr (sizeof(Char) == 2) {
        _mm_storeu_si128(to, c);
    } else {
        _mm_storeu_si128(to, _mm_cvtepu16_epi32(c));
        _mm_storeu_si128(to + 1, _mm_cvtepu16_epi32(_mm_srli_si128(c, 8)));
    }
}

// The characters of up to three bytes that start at 8 positions, as 16-bit
// lanes, read from there and the two bytes after each.
VORLIK_TARGET("sse4.1") __m128i characters_at(const unsigned char* at) {
    const __m128i b0 = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
    const __m128i b1 = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at + 1)));
    const __m128i b2 = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at + 2)));
    const __m128i six_bits = _mm_set1_epi16(0x3F);
    const __m128i c1 = _mm_and_si128(b1, six_bits);
    const __m128i two =
        _mm_or_si128(_mm_slli_epi16(_mm_and_si128(b0, _mm_set1_epi16(0x1F)), 6), c1);
    const __m128i three = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(b0, 12), _mm_slli_epi16(c1, 6)),
                                       _mm_and_si128(b2, six_bits));
    const __m128i lead = _mm_blendv_epi8(b0, two, _mm_cmpgt_epi16(b0, _mm_set1_epi16(0xBF)));
    return _mm_blendv_epi8(lead, three, _mm_cmpgt_epi16(b0, _mm_set1_epi16(0xDF)));
}

// For each set of positions among 8 where characters start, a bit each: the
// 16-bit lanes to keep, in order, and how many.
struct StartShuffle {
    Bytes<16> order;
    unsigned char count;
};
constexpr auto start_shuffles = [] {
    std::array<StartShuffle, 256> shuffles{};
    for (std::size_t starts = 0; starts < 256; ++starts) {
        auto& [order, count] = shuffles[starts];
        order.fill(0x80);
        for (unsigned char i = 0; i < 8; ++i) {
            if ((starts >> i & 1) == 0) continue;
            const std::size_t lane = count++;
            order[2 * lane] = static_cast<unsigned char>(2 * i);
            order[2 * lane + 1] = static_cast<unsigned char>(2 * i + 1);
        }
    }
    return shuffles;
}();

// Valid UTF-8 into characters, 16 bytes at a time: ASCII widened (runs of it
// 64 bytes at a time), sequences
// of up to three bytes computed at every position and the characters that
// start there kept; a block with a lead of four bytes one character at a
// time. A block may begin with the rest of a character the one before took.
template <class Char>
VORLIK_TARGET("sse4.1")
void decode_utf8_sse(std::span<const unsigned char> bytes, Char* out, Char* out_end) {
    const unsigned char* at = bytes.data();
    const unsigned char* const end = at + bytes.size();
    const auto skip_rest = [&at, end] {
        while (at != end && (*at & 0xC0) == 0x80) ++at;
    };
    while (end - at >= 16 && out_end - out >= 16) {
        const __m128i block = load16(at);
        if (_mm_movemask_epi8(block) == 0) {
            const std::size_t ascii = widen_ascii_run(at, static_cast<std::size_t>(end - at), out,
                                                      static_cast<std::size_t>(out_end - out));
            at += ascii;
            out += ascii;
            continue;
        }
        // Characters are read up to two bytes beyond the block.
        if (end - at < 18) break;
        if (const __m128i four = _mm_subs_epu8(block, _mm_set1_epi8(static_cast<char>(0xEF)));
            _mm_testz_si128(four, four) == 0) {
            skip_rest();
            for (const unsigned char* stop = at + 16; at < stop;) at = take_utf8(at, out);
        } else {
            const unsigned continuations = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(0xC0)), block)));
            for (std::size_t half = 0; half < 2; ++half) {
                const auto& shuffle = start_shuffles[~continuations >> (8 * half) & 0xFF];
                store_eight(
                    _mm_shuffle_epi8(characters_at(at + 8 * half), load16(shuffle.order.data())),
                    out);
                out += shuffle.count;
            }
            at += 16;
        }
    }
    skip_rest();
    while (at != end) at = take_utf8(at, out);
}
#endif

// ---- The kernels and the choice among them -------------------------------------

struct Kernel {
    const char* name;
    void (*base64_encode)(const unsigned char*, std::size_t, char*);
    bool (*base64_decode)(const unsigned char*, std::size_t, unsigned char*);
    bool (*ascii)(const unsigned char*, std::size_t);
    bool vector_utf8;  // UTF-8 through the SSE4.1 loops
};

constexpr Kernel all_kernels[] = {
    {"scalar", base64_encode_scalar, base64_decode_scalar, ascii_scalar, false},
#if VORLIK_X86
    {"sse", base64_encode_sse, base64_decode_sse, ascii_sse, true},
    {"avx2", base64_encode_avx2, base64_decode_avx2, ascii_avx2, true},
    {"avx512", base64_encode_avx512, base64_decode_avx512, ascii_avx2, true},
#endif
};

const Kernel* active = &all_kernels[0];

#if VORLIK_X86
#if defined(_MSC_VER) && !defined(__clang__)
std::array<unsigned, 4> cpuid(unsigned leaf) {
    int registers[4];
    __cpuidex(registers, static_cast<int>(leaf), 0);
    return {static_cast<unsigned>(registers[0]), static_cast<unsigned>(registers[1]),
            static_cast<unsigned>(registers[2]), static_cast<unsigned>(registers[3])};
}
unsigned long long enabled_state() { return _xgetbv(0); }
#else
std::array<unsigned, 4> cpuid(unsigned leaf) {
    std::array<unsigned, 4> registers{};
    __cpuid_count(leaf, 0, registers[0], registers[1], registers[2], registers[3]);
    return registers;
}
VORLIK_TARGET("xsave") unsigned long long enabled_state() { return _xgetbv(0); }
#endif

// How many of the kernels after the scalar one the CPU runs: each needs the
// instructions and, for AVX and AVX-512, the operating system's saving of
// their registers.
std::size_t vector_kernels_run() {
    const auto bit = [](unsigned word, int n) { return (word >> n & 1) != 0; };
    const unsigned highest = cpuid(0)[0];
    const unsigned features = cpuid(1)[2];
    if (!bit(features, 9) || !bit(features, 19)) return 0;                  // SSSE3, SSE4.1
    if (highest < 7 || !bit(features, 27) || !bit(features, 28)) return 1;  // OSXSAVE, AVX
    const auto leaf7 = cpuid(7);
    const unsigned extended = leaf7[1], more = leaf7[2];
    const unsigned long long state = enabled_state();
    if ((state & 0x6) != 0x6 || !bit(extended, 5)) return 1;  // SSE and AVX state, AVX2
    // AVX-512 F and BW, VBMI; opmask and the upper halves of all 32 registers.
    if ((state & 0xE0) != 0xE0 || !bit(extended, 16) || !bit(extended, 30) || !bit(more, 1)) {
        return 2;
    }
    return 3;
}
#else
std::size_t vector_kernels_run() { return 0; }
#endif

[[noreturn]] void refuse(PyObject* name, std::size_t runnable) {
    std::string known, runs;
    for (std::size_t i = 0; i < std::size(all_kernels); ++i) {
        const char* separator = i == 0 ? "" : ", ";
        known.append(separator).append(all_kernels[i].name);
        if (i <= runnable) runs.append(separator).append(all_kernels[i].name);
    }
    PyErr_Format(PyExc_ImportError,
                 "VORLIK_SIMD is %R: it must be one of %s, of which this CPU runs %s", name,
                 known.c_str(), runs.c_str());
    throw PyErrorAlready();
}

}  // namespace

void choose() {
    const std::size_t runnable = vector_kernels_run();
    Ref os = check(PyImport_ImportModule("os"));
    Ref environment = check(PyObject_GetAttrString(os.get(), "environ"));
    Ref forced = check(PyObject_CallMethod(environment.get(), "get", "s", "VORLIK_SIMD"));
    if (forced.get() == Py_None ||
        (PyUnicode_Check(forced.get()) && PyUnicode_GET_LENGTH(forced.get()) == 0)) {
        active = &all_kernels[runnable];
        return;
    }
    // Compared as text: a value the file system's encoding could not decode
    // holds surrogates, which no other encoding takes.
    for (std::size_t i = 0; PyUnicode_Check(forced.get()) && i <= runnable; ++i) {
        if (PyUnicode_CompareWithASCIIString(forced.get(), all_kernels[i].name) == 0) {
            active = &all_kernels[i];
            return;
        }
    }
    refuse(forced.get(), runnable);
}

void base64_encode(std::span<const unsigned char> bytes, char* out) {
    active->base64_encode(bytes.data(), bytes.size(), out);
}

std::size_t base64_decoded_size(std::span<const unsigned char> text) {
    return text.size() / 4 * 3 - static_cast<std::size_t>(base64_padding(text.data(), text.size()));
}

bool base64_decode(std::span<const unsigned char> text, unsigned char* out) {
    return active->base64_decode(text.data(), text.size(), out);
}

bool ascii(std::span<const unsigned char> bytes) {
    return active->ascii(bytes.data(), bytes.size());
}

namespace {
template <class Char>
Py_ssize_t utf8_length_of(std::span<const Char> characters) {
#if VORLIK_X86
    if (active->vector_utf8) return utf8_length_sse(characters);
#endif
    return utf8_length_scalar(characters);
}

template <class Char>
void write_utf8_of(std::span<const Char> characters, std::span<unsigned char> out) {
#if VORLIK_X86
    if (active->vector_utf8) return write_utf8_sse(characters, out);
#endif
    write_utf8_scalar(characters, out.data());
}
}  // namespace

Py_ssize_t utf8_length(std::span<const Py_UCS1> characters) { return utf8_length_of(characters); }
Py_ssize_t utf8_length(std::span<const Py_UCS2> characters) { return utf8_length_of(characters); }
Py_ssize_t utf8_length(std::span<const Py_UCS4> characters) { return utf8_length_of(characters); }

void write_utf8(std::span<const Py_UCS1> characters, std::span<unsigned char> out) {
    write_utf8_of(characters, out);
}
void write_utf8(std::span<const Py_UCS2> characters, std::span<unsigned char> out) {
    write_utf8_of(characters, out);
}
void write_utf8(std::span<const Py_UCS4> characters, std::span<unsigned char> out) {
    write_utf8_of(characters, out);
}

bool scan_utf8(std::span<const unsigned char> bytes, Utf8Scan& scan) {
#if VORLIK_X86
    if (active->vector_utf8) return scan_utf8_sse(bytes, scan);
#endif
    (void)bytes, (void)scan;
    return false;
}

void decode_utf8(std::span<const unsigned char> bytes, PyObject* text) {
#if VORLIK_X86
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(text)) {
                // ASCII is its own UTF-8.
                std::copy(bytes.begin(), bytes.end(), PyUnicode_1BYTE_DATA(text));
                break;
            }
            decode_utf8_sse(bytes, PyUnicode_1BYTE_DATA(text), PyUnicode_1BYTE_DATA(text) + length);
            break;
        case PyUnicode_2BYTE_KIND:
            decode_utf8_sse(bytes, PyUnicode_2BYTE_DATA(text), PyUnicode_2BYTE_DATA(text) + length);
            break;
        default:
            decode_utf8_sse(bytes, PyUnicode_4BYTE_DATA(text), PyUnicode_4BYTE_DATA(text) + length);
    }
#else
    (void)bytes, (void)text;
#endif
}

}  // namespace vorlik::kernels
