#include "store/Unicode.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace store {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

uint64_t load64(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

}  // namespace

size_t AsciiRunEnd(std::string_view s, size_t from) {
    size_t i = from;
    // 32 bytes a step while they are all ASCII: long bodies are scanned
    // several times over when a message is written.
    const char* p = s.data();
    while (i + 32 <= s.size() &&
           ((load64(p + i) | load64(p + i + 8) | load64(p + i + 16) | load64(p + i + 24)) & kHighBits) == 0)
        i += 32;
    while (i + 8 <= s.size() && (load64(p + i) & kHighBits) == 0) i += 8;
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i;
}

uint32_t Windows1252CodePoint(uint8_t byte) {
    static constexpr uint16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
}

uint32_t NextCodePoint(std::string_view s, size_t& i) {
    auto byte = [&](size_t k) { return uint8_t(s[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = (b0 & 0xE0) == 0xC0 ? 1 : (b0 & 0xF0) == 0xE0 ? 2 : (b0 & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + size_t(extra) >= s.size()) {
        ++i;
        return Windows1252CodePoint(b0);
    }
    uint32_t cp = b0 & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        uint8_t b = byte(i + size_t(k));
        if ((b & 0xC0) != 0x80) {
            ++i;
            return Windows1252CodePoint(b0);
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr uint32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return Windows1252CodePoint(b0);
    }
    i += size_t(extra) + 1;
    return cp;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::string Utf8ToUtf16le(std::string_view utf8) {
    std::string out;
    AppendUtf16le(out, utf8);
    return out;
}

void AppendUtf16le(std::string& out, std::string_view utf8) {
    // Every byte makes at most one UTF-16 unit, and a four-byte sequence two:
    // twice the input is room enough, written through a pointer (a push_back
    // per byte was 6 % of the .pst form) and cut to size at the end.
    const size_t start = out.size();
    out.resize(start + 2 * utf8.size());
    char* o = out.data() + start;
    auto unit = [&](uint32_t u) {
        o[0] = char(u & 0xFF);
        o[1] = char(u >> 8);
        o += 2;
    };
    for (size_t i = 0; i < utf8.size();) {
#if defined(__SSE2__)
        // ASCII sixteen bytes at a time, each byte followed by a zero byte:
        // bodies are mostly ASCII, and a byte at a time this loop took a
        // sixth of the .pst writer's instructions. The output never passes
        // twice the input read so far, so the room above holds.
        const __m128i zero = _mm_setzero_si128();
        while (i + 16 <= utf8.size()) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(utf8.data() + i));
            if (_mm_movemask_epi8(v)) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi8(v, zero));
            i += 16;
            o += 32;
        }
#endif
        // What is left of an ASCII run: under 16 bytes after the loop above.
        const size_t run = AsciiRunEnd(utf8, i);
        for (; i < run; ++i, o += 2) {
            o[0] = utf8[i];
            o[1] = 0;
        }
        if (i == utf8.size()) break;
        uint32_t cp = NextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 | (cp >> 10));
            unit(0xDC00 | (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    out.resize(size_t(o - out.data()));
}

size_t Utf16leSize(std::string_view utf8) {
    size_t n = 0;
    for (size_t i = 0; i < utf8.size();) {
        const size_t run = AsciiRunEnd(utf8, i);
        n += 2 * (run - i);
        i = run;
        if (i < utf8.size()) n += NextCodePoint(utf8, i) >= 0x10000 ? 4 : 2;
    }
    return n;
}

}  // namespace store
