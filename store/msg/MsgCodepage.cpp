// Text encodings for the .msg writer on glibc iconv; see MsgCodepage.h.
#include "store/msg/MsgCodepage.h"

#include "store/Unicode.h"

#include <cerrno>
#include <iconv.h>

namespace store::msg::detail {
namespace {

struct CodepageName {
    uint32_t codepage;
    const char* iconvName;
    const char* charset;  // MIME charset name
};

// Windows code page identifiers and their names in glibc iconv and in MIME.
constexpr CodepageName kCodepages[] = {
    {437, "CP437", "ibm437"},
    {850, "CP850", "ibm850"},
    {852, "CP852", "ibm852"},
    {866, "CP866", "cp866"},
    {874, "CP874", "windows-874"},
    {932, "CP932", "shift_jis"},
    {936, "CP936", "gb2312"},
    {949, "CP949", "ks_c_5601-1987"},
    {950, "CP950", "big5"},
    {1250, "CP1250", "windows-1250"},
    {1251, "CP1251", "windows-1251"},
    {1252, "CP1252", "windows-1252"},
    {1253, "CP1253", "windows-1253"},
    {1254, "CP1254", "windows-1254"},
    {1255, "CP1255", "windows-1255"},
    {1256, "CP1256", "windows-1256"},
    {1257, "CP1257", "windows-1257"},
    {1258, "CP1258", "windows-1258"},
    {1361, "CP1361", "johab"},
    {10000, "MACINTOSH", "macintosh"},
    {20127, "ASCII", "us-ascii"},
    {20866, "KOI8-R", "koi8-r"},
    {21866, "KOI8-U", "koi8-u"},
    {28591, "ISO-8859-1", "iso-8859-1"},
    {28592, "ISO-8859-2", "iso-8859-2"},
    {28593, "ISO-8859-3", "iso-8859-3"},
    {28594, "ISO-8859-4", "iso-8859-4"},
    {28595, "ISO-8859-5", "iso-8859-5"},
    {28596, "ISO-8859-6", "iso-8859-6"},
    {28597, "ISO-8859-7", "iso-8859-7"},
    {28598, "ISO-8859-8", "iso-8859-8"},
    {28599, "ISO-8859-9", "iso-8859-9"},
    {28603, "ISO-8859-13", "iso-8859-13"},
    {28605, "ISO-8859-15", "iso-8859-15"},
    {38598, "ISO-8859-8", "iso-8859-8-i"},
    {50220, "ISO-2022-JP", "iso-2022-jp"},
    {50221, "ISO-2022-JP", "iso-2022-jp"},
    {50222, "ISO-2022-JP", "iso-2022-jp"},
    {50225, "ISO-2022-KR", "iso-2022-kr"},
    {51932, "EUC-JP", "euc-jp"},
    {51936, "EUC-CN", "euc-cn"},
    {51949, "EUC-KR", "euc-kr"},
    {52936, "HZ", "hz-gb-2312"},
    {54936, "GB18030", "gb18030"},
    {65000, "UTF-7", "utf-7"},
    {65001, "UTF-8", "utf-8"},
};

const CodepageName* findCodepage(uint32_t codepage) {
    for (const auto& entry : kCodepages)
        if (entry.codepage == codepage) return &entry;
    return nullptr;
}

// Runs `in` through an iconv descriptor, then flushes any shift state; false
// on any invalid, truncated or unconvertible input (no //TRANSLIT, no //IGNORE).
// With `out` null the result is only checked, not kept.
bool runIconv(iconv_t cd, std::string_view in, std::string* out) {
    if (out) {
        out->clear();
        // Text in a Windows or ISO code page is seldom longer than its UTF-8,
        // so one allocation usually holds it (growing by doubling held up to
        // twice a long string's size).
        out->reserve(in.size());
    }
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char buffer[4096];
    bool flushing = false;
    for (;;) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                             : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        if (out) out->append(buffer, size_t(outPtr - buffer));
        if (rc == size_t(-1)) {
            if (errno == E2BIG) continue;
            return false;  // EILSEQ: no mapping or bad input; EINVAL: truncated input
        }
        if (rc != 0) return false;  // irreversible conversions count as a loss
        if (flushing) return true;
        flushing = true;
    }
}

bool convert(const char* to, const char* from, std::string_view in, std::string* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1)) return false;
    bool ok = runIconv(cd, in, out);
    iconv_close(cd);
    return ok;
}

}  // namespace

std::string SanitizeUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) AppendUtf8(out, NextCodePoint(utf8, i));
    return out;
}

bool IsCodepageSupported(uint32_t codepage) {
    const CodepageName* entry = findCodepage(codepage);
    if (!entry) return false;
    iconv_t cd = iconv_open(entry->iconvName, "UTF-8");
    if (cd == iconv_t(-1)) return false;
    iconv_close(cd);
    return true;
}

bool EncodeCodepage(std::string_view utf8, uint32_t codepage, std::string& out) {
    if (codepage == kCodepageUtf8) {
        out = SanitizeUtf8(utf8);
        return out == utf8;
    }
    const CodepageName* entry = findCodepage(codepage);
    return entry && convert(entry->iconvName, "UTF-8", utf8, &out);
}

bool FitsCodepage(std::string_view utf8, uint32_t codepage) {
    if (codepage == kCodepageUtf8) {
        std::string scratch;
        return EncodeCodepage(utf8, codepage, scratch);
    }
    const CodepageName* entry = findCodepage(codepage);
    return entry && convert(entry->iconvName, "UTF-8", utf8, nullptr);
}

bool DecodeCodepage(std::string_view bytes, uint32_t codepage, std::string& utf8) {
    const CodepageName* entry = findCodepage(codepage);
    return entry && convert("UTF-8", entry->iconvName, bytes, &utf8);
}

uint32_t StringCodepageFor(uint32_t codepage) {
    switch (codepage) {
    case 20127: return 1252;                          // us-ascii: its Windows superset
    case 50220: case 50221: case 50222:               // iso-2022-jp
    case 51932: case 20932: return 932;               // euc-jp
    case 50225: case 51949: return 949;               // iso-2022-kr, euc-kr
    case 50227: case 51936: case 52936: return 936;   // iso-2022-cn, euc-cn, hz-gb-2312
    case 51950: return 950;                           // euc-tw
    case 65000: return kCodepageUtf8;                 // utf-7
    default: break;
    }
    return IsCodepageSupported(codepage) ? codepage : kCodepageUtf8;
}

std::string CharsetNameOfCodepage(uint32_t codepage) {
    const CodepageName* entry = findCodepage(codepage);
    return entry ? entry->charset : "";
}

}  // namespace store::msg::detail
