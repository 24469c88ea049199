#include "store/mime/Base64.h"

#include <array>
#include <cstdint>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define VELLARY_BASE64_SSSE3 1
#endif

namespace store::mime {

namespace {

#ifdef VELLARY_BASE64_SSSE3
// Decodes the alphabet 16 bytes at a time into 12, with the CR LF line breaks
// between, as far as it goes; the first block that starts with anything else
// (a bare break, padding, a stray byte, fewer than 16 bytes) is left to the
// caller. A block whose first 4k bytes only are of the alphabet gives their k
// quads. The quad-at-a-time decoder took about six instructions a byte.
__attribute__((target("ssse3"))) void DecodeBlocksSsse3(const unsigned char*& pos, const unsigned char* end,
                                                        char*& outPos) {
    // A byte is of the alphabet when the classes its low nibble rules out
    // (kLowBad) do not include its high nibble's class (kHighClass). Classes:
    // 1 high nibble 2 ('+' and '/' only), 2 nibble 3 (digits), 4 nibbles 4
    // and 6 (no 0x40, 0x60), 8 nibbles 5 and 7 (up to 'Z', 'z'), 16 any other.
    const __m128i highClass = _mm_setr_epi8(16, 16, 1, 2, 4, 8, 4, 8, 16, 16, 16, 16, 16, 16, 16, 16);
    const __m128i lowBad =
        _mm_setr_epi8(16 | 1 | 4, 16 | 1, 16 | 1, 16 | 1, 16 | 1, 16 | 1, 16 | 1, 16 | 1, 16 | 1, 16 | 1, 16 | 1 | 2,
                      16 | 2 | 8, 16 | 1 | 2 | 8, 16 | 1 | 2 | 8, 16 | 1 | 2 | 8, 16 | 2 | 8);
    // What a byte adds to make its rank, by high nibble; '/' takes place 1.
    const __m128i shift =
        _mm_setr_epi8(0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i nibble = _mm_set1_epi8(0x0F), slash = _mm_set1_epi8('/');
    // Four ranks a, b, c, d (in that order in memory) into the 24 bits
    // a<<18 | b<<12 | c<<6 | d, then those bits' three bytes high first.
    const __m128i pairWeights = _mm_set1_epi32(0x01400140);
    const __m128i quadWeights = _mm_set1_epi32(0x00011000);
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const unsigned char* p = pos;
    char* o = outPos;
    while (end - p >= 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i high = _mm_and_si128(_mm_srli_epi32(c, 4), nibble);
        const __m128i bad =
            _mm_and_si128(_mm_shuffle_epi8(lowBad, _mm_and_si128(c, nibble)), _mm_shuffle_epi8(highClass, high));
        const unsigned good = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())));
        // Bytes of the alphabet from the block's start.
        const int run = good == 0xFFFF ? 16 : __builtin_ctz(~good);
        if (run < 4) {
            if (p[0] == '\r' && p[1] == '\n') {
                p += 2;
                continue;
            }
            break;
        }
        const __m128i ranks = _mm_add_epi8(c, _mm_shuffle_epi8(shift, _mm_add_epi8(high, _mm_cmpeq_epi8(c, slash))));
        const __m128i pairs = _mm_maddubs_epi16(ranks, pairWeights);
        const __m128i quads = _mm_madd_epi16(pairs, quadWeights);
        // All 12 bytes are written; those past the whole quads are written
        // over by what follows, or cut off at the end.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(quads, order));
        p += run / 4 * 4;
        o += run / 4 * 3;
    }
    pos = p;
    outPos = o;
}

const bool kHaveSsse3 = __builtin_cpu_supports("ssse3");
#endif

// Whole 16-byte blocks of the alphabet, where the processor has the means;
// `o` must have 16 bytes of room for each block.
inline void DecodeBlocks(const unsigned char*& p, const unsigned char* end, char*& o) {
#ifdef VELLARY_BASE64_SSSE3
    if (kHaveSsse3) DecodeBlocksSsse3(p, end, o);
#else
    (void)p, (void)end, (void)o;
#endif
}

}  // namespace

bool DecodeCleanBase64(std::string_view in, std::string& out) {
    static constexpr auto kRank = [] {
        std::array<uint8_t, 256> rank{};
        rank.fill(0xFF);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (uint8_t k = 0; k < 64; ++k) rank[static_cast<unsigned char>(alphabet[k])] = k;
        rank['\r'] = rank['\n'] = 0xFE;  // line breaks: skipped
        return rank;
    }();
    // The rank of a byte at each place of a quad, shifted where it goes;
    // a byte outside the alphabet sets the top bit.
    static constexpr auto kPlaced = [] {
        std::array<std::array<uint32_t, 256>, 4> placed{};
        for (int c = 0; c < 256; ++c)
            for (int at = 0; at < 4; ++at)
                placed[size_t(at)][size_t(c)] =
                    kRank[size_t(c)] < 64 ? uint32_t(kRank[size_t(c)]) << (18 - 6 * at) : 0x80000000u;
        return placed;
    }();
    // Room for the whole quads and a partial one, and for the 16-byte
    // stores of the block decoder (which writes 12 bytes of each).
    out.resize(in.size() / 4 * 3 + 16);
    char* o = out.data();
    uint32_t acc = 0;
    size_t n = 0, pads = 0;  // n counts alphabet bytes, of which only n % 4 matters
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const auto* end = p + in.size();
    while (p < end) {
        // Whole quads of the alphabet at once: the lines between the breaks.
        if (n % 4 == 0 && !pads) {
            DecodeBlocks(p, end, o);
            for (; end - p >= 4; p += 4, o += 3) {
                const uint32_t v = kPlaced[0][p[0]] | kPlaced[1][p[1]] | kPlaced[2][p[2]] | kPlaced[3][p[3]];
                if (v & 0x80000000u) break;
                o[0] = char(v >> 16);
                o[1] = char(v >> 8);
                o[2] = char(v);
            }
            if (p == end) break;
        }
        const unsigned char c = *p++;
        const uint8_t r = kRank[c];
        if (r < 64) {
            if (pads) return false;
            acc = (acc << 6) | r;
            if (++n % 4 == 0) {
                o[0] = char(acc >> 16);
                o[1] = char(acc >> 8);
                o[2] = char(acc);
                o += 3;
            }
        } else if (c == '=') {
            if (++pads > 2) return false;
        } else if (r != 0xFE) {
            return false;
        }
    }
    if ((n + pads) % 4 != 0 || (pads && n % 4 + pads != 4)) return false;
    if (n % 4 == 2) *o++ = char(acc >> 4);
    if (n % 4 == 3) {
        *o++ = char(acc >> 10);
        *o++ = char(acc >> 2);
    }
    out.resize(size_t(o - out.data()));
    return true;
}

}  // namespace store::mime
