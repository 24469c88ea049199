// Charset names, Windows code pages and iconv-based conversion; see Codepages.h.
#include "store/Codepages.h"

#include "store/Unicode.h"

#ifdef VELLARY_HAVE_GMIME
#include "store/mime/GMimeSupport.h"

#include <gmime/gmime.h>
#endif

#if __has_include(<iconv.h>)
#include <iconv.h>
#else
#include <cerrno>
// A build without iconv (MinGW has none of its own): no converter opens, and
// the callers fall back as they do for a charset iconv does not know (the
// code pages converted here by table are unaffected).
using iconv_t = void*;
inline iconv_t iconv_open(const char*, const char*) {
    errno = EINVAL;
    return iconv_t(-1);
}
inline int iconv_close(iconv_t) { return 0; }
inline size_t iconv(iconv_t, char**, size_t*, char**, size_t*) {
    errno = EBADF;
    return size_t(-1);
}
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace store {

namespace {
namespace {

// Lower case, without surrounding blanks and quotes.
std::string NormaliseCharsetName(const std::string& charset) {
    size_t begin = 0, end = charset.size();
    auto junk = [](unsigned char c) { return std::isspace(c) || c == '"' || c == '\''; };
    while (begin < end && junk(charset[begin])) ++begin;
    while (end > begin && junk(charset[end - 1])) --end;
    std::string name = charset.substr(begin, end - begin);
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

// Charset names (and the misspellings met in real mail) that do not follow a
// numeric pattern.
const std::unordered_map<std::string, uint32_t>& NamedCharsets() {
    static const std::unordered_map<std::string, uint32_t> table = {
        {"us-ascii", 20127},
        {"ascii", 20127},
        {"ansi_x3.4-1968", 20127},
        {"iso646-us", 20127},
        {"us", 20127},
        {"iso-ir-6", 20127},
        {"csascii", 20127},
        {"ansi_x3.4-1986", 20127},
        {"utf-8", 65001},
        {"utf8", 65001},
        {"uft-8", 65001},
        {"uft8", 65001},
        {"utf-8n", 65001},
        {"x-utf-8", 65001},
        {"unicode-1-1-utf-8", 65001},
        {"unicode-2-0-utf-8", 65001},
        {"x-unicode20utf8", 65001},
        {"utf_8", 65001},
        {"utf-7", 65000},
        {"utf7", 65000},
        {"unicode-1-1-utf-7", 65000},
        {"unicode-2-0-utf-7", 65000},
        {"x-unicode-2-0-utf-7", 65000},
        {"csunicode11utf7", 65000},
        {"utf-16", 1200},
        {"utf-16le", 1200},
        {"unicode", 1200},
        {"ucs-2", 1200},
        {"ucs-2le", 1200},
        {"utf-16be", 1201},
        {"unicodefffe", 1201},
        {"ucs-2be", 1201},
        {"utf-32", 12000},
        {"utf-32le", 12000},
        {"utf-32be", 12001},
        {"latin1", 28591},
        {"latin-1", 28591},
        {"l1", 28591},
        {"cp819", 28591},
        {"ibm819", 28591},
        {"iso_8859-1:1987", 28591},
        {"iso-ir-100", 28591},
        {"csisolatin1", 28591},
        {"latin2", 28592},
        {"l2", 28592},
        {"latin3", 28593},
        {"latin4", 28594},
        {"cyrillic", 28595},
        {"arabic", 28596},
        {"greek", 28597},
        {"hebrew", 28598},
        {"latin5", 28599},
        {"latin7", 28603},
        {"latin9", 28605},
        {"latin-9", 28605},
        {"iso-8859-8-i", 38598},
        {"iso_8859-8-i", 38598},
        {"logical", 38598},
        {"ms-ansi", 1252},
        {"x-ansi", 1252},
        {"koi8-r", 20866},
        {"koi8r", 20866},
        {"cskoi8r", 20866},
        {"koi", 20866},
        {"koi8", 20866},
        {"koi8-u", 21866},
        {"koi8u", 21866},
        {"koi8-ru", 21866},
        {"shift_jis", 932},
        {"shift-jis", 932},
        {"sjis", 932},
        {"x-sjis", 932},
        {"ms_kanji", 932},
        {"csshiftjis", 932},
        {"windows-31j", 932},
        {"ms932", 932},
        {"x-ms-cp932", 932},
        {"euc-jp", 51932},
        {"x-euc-jp", 51932},
        {"eucjp", 51932},
        {"cseucpkdfmtjapanese", 51932},
        {"x-euc", 51932},
        {"iso-2022-jp", 50220},
        {"csiso2022jp", 50220},
        {"iso-2022-jp-1", 50220},
        {"iso-2022-jp-2", 50220},
        {"jis", 50220},
        {"gb2312", 936},
        {"gbk", 936},
        {"x-gbk", 936},
        {"ms936", 936},
        {"euc-cn", 936},
        {"x-euc-cn", 936},
        {"csgb2312", 936},
        {"gb_2312-80", 936},
        {"chinese", 936},
        {"gb2312-80", 936},
        {"gb18030", 54936},
        {"hz-gb-2312", 52936},
        {"hz", 52936},
        {"big5", 950},
        {"big-5", 950},
        {"cn-big5", 950},
        {"x-x-big5", 950},
        {"csbig5", 950},
        {"big5-hkscs", 950},
        {"big5hkscs", 950},
        {"ks_c_5601-1987", 949},
        {"ks_c_5601", 949},
        {"ks_c_5601-1989", 949},
        {"ksc5601", 949},
        {"ksc_5601", 949},
        {"uhc", 949},
        {"korean", 949},
        {"csksc56011987", 949},
        {"euc-kr", 51949},
        {"euckr", 51949},
        {"cseuckr", 51949},
        {"iso-2022-kr", 50225},
        {"csiso2022kr", 50225},
        {"tis-620", 874},
        {"tis620", 874},
        {"iso-8859-11", 874},
        {"dos-874", 874},
        {"x-mac-cyrillic", 10007},
        {"mac-cyrillic", 10007},
        {"maccyrillic", 10007},
        {"x-mac-ukrainian", 10017},
        {"macintosh", 10000},
        {"mac", 10000},
        {"x-mac-roman", 10000},
        {"macroman", 10000},
        {"x-mac-ce", 10029},
        {"mac-centraleurope", 10029},
        {"ibm866", 866},
        {"ibm850", 850},
        {"ibm437", 437},
        {"ibm852", 852},
    };
    return table;
}

// Parses the digits at the end of name after prefix, or returns 0.
uint32_t NumberAfter(const std::string& name, std::string_view prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
    uint32_t n = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])) || n > 100000) return 0;
        n = n * 10 + uint32_t(name[i] - '0');
    }
    return n;
}

// Code page for "iso-8859-N" (in its spelling variants), or 0.
uint32_t IsoCodepage(const std::string& name) {
    for (std::string_view prefix : {"iso-8859-", "iso8859-", "iso_8859-", "iso8859_", "iso_8859_", "8859-"}) {
        uint32_t part = NumberAfter(name, prefix);
        if (part >= 1 && part <= 9) return 28590 + part;
        if (part == 13) return 28603;
        if (part == 15) return 28605;
    }
    return 0;
}

struct CodepageInfo {
    uint32_t codepage;
    const char* iconvName;  // in glibc iconv
    const char* charset;    // preferred MIME name
    uint32_t ansi;          // the Windows code page for 8-bit strings of this text
};

// Every code page we convert. Where Windows extends a standard, iconv is given
// the Windows superset so that real mail decodes.
constexpr CodepageInfo kCodepages[] = {
    {20127, "ASCII", "us-ascii", 1252},
    {65001, "UTF-8", "utf-8", 65001},
    {65000, "UTF-7", "utf-7", 65001},
    {1200, "UTF-16LE", "utf-16le", 65001},
    {1201, "UTF-16BE", "utf-16be", 65001},
    {12000, "UTF-32LE", "utf-32le", 65001},
    {12001, "UTF-32BE", "utf-32be", 65001},
    {28591, "ISO-8859-1", "iso-8859-1", 1252},
    {28592, "ISO-8859-2", "iso-8859-2", 1250},
    {28593, "ISO-8859-3", "iso-8859-3", 1254},
    {28594, "ISO-8859-4", "iso-8859-4", 1257},
    {28595, "ISO-8859-5", "iso-8859-5", 1251},
    {28596, "ISO-8859-6", "iso-8859-6", 1256},
    {28597, "ISO-8859-7", "iso-8859-7", 1253},
    {28598, "ISO-8859-8", "iso-8859-8", 1255},
    {28599, "ISO-8859-9", "iso-8859-9", 1254},
    {28603, "ISO-8859-13", "iso-8859-13", 1257},
    {28605, "ISO-8859-15", "iso-8859-15", 1252},
    {38598, "ISO-8859-8", "iso-8859-8-i", 1255},
    {874, "CP874", "windows-874", 874},
    {1250, "CP1250", "windows-1250", 1250},
    {1251, "CP1251", "windows-1251", 1251},
    {1252, "CP1252", "windows-1252", 1252},
    {1253, "CP1253", "windows-1253", 1253},
    {1254, "CP1254", "windows-1254", 1254},
    {1255, "CP1255", "windows-1255", 1255},
    {1256, "CP1256", "windows-1256", 1256},
    {1257, "CP1257", "windows-1257", 1257},
    {1258, "CP1258", "windows-1258", 1258},
    {932, "CP932", "shift_jis", 932},
    {936, "CP936", "gb2312", 936},
    {949, "CP949", "ks_c_5601-1987", 949},
    {950, "CP950", "big5", 950},
    {1361, "CP1361", "johab", 1361},
    {20932, "EUC-JP", "euc-jp", 932},
    {51932, "EUC-JP", "euc-jp", 932},
    {51936, "EUC-CN", "euc-cn", 936},
    {51949, "EUC-KR", "euc-kr", 949},
    {51950, "EUC-TW", "euc-tw", 950},
    {50220, "ISO-2022-JP", "iso-2022-jp", 932},
    {50221, "ISO-2022-JP", "iso-2022-jp", 932},
    {50222, "ISO-2022-JP", "iso-2022-jp", 932},
    {50225, "ISO-2022-KR", "iso-2022-kr", 949},
    {50227, "ISO-2022-CN", "iso-2022-cn", 936},
    {52936, "HZ", "hz-gb-2312", 936},
    {54936, "GB18030", "gb18030", 936},
    {20866, "KOI8-R", "koi8-r", 1251},
    {21866, "KOI8-U", "koi8-u", 1251},
    {10000, "MACINTOSH", "macintosh", 1252},
    {10007, "MAC-CYRILLIC", "x-mac-cyrillic", 1251},
    {10017, "MACUKRAINIAN", "x-mac-ukrainian", 1251},
    {10029, "MAC-CENTRALEUROPE", "x-mac-ce", 1250},
    {866, "CP866", "ibm866", 1251},
    {852, "CP852", "ibm852", 1250},
    {850, "CP850", "ibm850", 1252},
    {437, "CP437", "ibm437", 1252},
};

const CodepageInfo* FindCodepage(uint32_t codepage) {
    for (const CodepageInfo& entry : kCodepages)
        if (entry.codepage == codepage) return &entry;
    return nullptr;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 if it is not one.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else
        return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return n;
}

bool HasEightBit(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string WithoutNul(std::string s) {
    if (s.find('\0') != std::string::npos) std::erase(s, '\0');
    return s;
}

// An iconv converter from `from` to `to`, lent to one caller until it goes
// out of scope; get() is iconv_t(-1) when iconv knows neither name.
// Converters are kept for the process's life and reused (RunIconv resets
// each before its run): opening them anew for every string of every message
// was a fifth of the .msg form, whose code page search tries up to fourteen
// code pages a message. Only converters iconv has are kept, and a converter
// is lent to one thread at a time, so there are at most as many of a kind as
// threads using it at once.
//
// The kept converters belong to no thread. They were once kept per thread in
// a thread_local cache closed by its destructor, but MinGW's runtime frees a
// thread's thread_local storage before it runs their destructors: the
// read-ahead worker's exit then closed converters read from freed memory and
// jumped through one of win_iconv's function pointers into the heap.
class Converter {
public:
    Converter(const char* to, const char* from) : to_(to), from_(from) {
        Pool& pool = ThePool();
        {
            std::lock_guard<std::mutex> lock(pool.mutex);
            for (size_t i = 0; i < pool.idle.size(); ++i) {
                if (pool.idle[i].to == to_ && pool.idle[i].from == from_) {
                    cd_ = pool.idle[i].cd;
                    pool.idle[i] = std::move(pool.idle.back());
                    pool.idle.pop_back();
                    return;
                }
            }
        }
        cd_ = iconv_open(to, from);
    }
    ~Converter() {
        if (cd_ == iconv_t(-1)) return;
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.idle.push_back({std::move(to_), std::move(from_), cd_});
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    iconv_t get() const { return cd_; }

private:
    struct Idle {
        std::string to, from;
        iconv_t cd;
    };
    struct Pool {
        std::mutex mutex;
        std::vector<Idle> idle;
    };
    // Never destroyed: a converter still lent when the process ends (or a
    // static destructor that converts) finds the pool there, and the
    // process's end frees what iconv holds.
    static Pool& ThePool() {
        static Pool* pool = new Pool;
        return *pool;
    }

    std::string to_, from_;
    iconv_t cd_ = iconv_t(-1);
};

// Runs the whole input through iconv, then returns a stateful encoding
// (ISO-2022-JP) to its initial state. An input sequence that cannot be
// converted (invalid, truncated, or without a mapping) ends the run when
// `replacement` is null; otherwise *replacement is appended, `skip(in, pos)`
// bytes are skipped and the run goes on. Returns the number of such
// sequences. With a null `out` the result is only checked, not kept.
template <class Skip>
size_t RunIconv(iconv_t cd, std::string_view in, const std::string_view* replacement, Skip skip, std::string* out) {
    size_t failures = 0;
    char buffer[4096];
    size_t pos = 0;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (pos < in.size()) {
        char* inPtr = const_cast<char*>(in.data() + pos);
        size_t inLeft = in.size() - pos;
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        int err = errno;
        if (out) out->append(buffer, size_t(outPtr - buffer));
        pos = size_t(inPtr - in.data());
        if (rc != size_t(-1)) {
            // A strict run counts an irreversible conversion as a loss.
            if (rc != 0 && !replacement) return 1;
            break;
        }
        if (err == E2BIG) continue;
        // EILSEQ, EINVAL (truncated sequence) or anything else.
        ++failures;
        if (!replacement) return failures;
        if (out) out->append(*replacement);
        pos += std::max<size_t>(1, skip(in, pos));
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    if (out) out->append(buffer, size_t(outPtr - buffer));
    return failures;
}

// Converts strictly between two iconv names: false on any input that does
// not convert exactly, or when iconv does not know either name.
bool ConvertExactly(const char* to, const char* from, std::string_view in, std::string* out) {
    Converter converter(to, from);
    iconv_t cd = converter.get();
    if (cd == iconv_t(-1)) return false;
    if (out) {
        out->clear();
        // Text in a Windows or ISO code page is seldom longer than its UTF-8,
        // so one allocation usually holds it (growing by doubling held up to
        // twice a long string's size).
        out->reserve(in.size());
    }
    return RunIconv(
               cd, in, nullptr, [](std::string_view, size_t) { return size_t(1); }, out) == 0;
}

}  // namespace

// ISO-2022-JP to EUC-JP, so that the Microsoft extensions real Japanese mail
// uses (NEC row 13: circled digits, "No." sign) decode through EUC-JP-MS,
// which glibc's ISO-2022-JP converters lack. False on an escape sequence
// this does not know (the caller then uses iconv's ISO-2022-JP-2).
bool Iso2022JpToEucJp(std::string_view in, std::string* out) {
    enum { kAscii, kTwoByte, kKana, kJisX0212 } mode = kAscii;
    bool shifted = false;  // SO: half-width katakana
    for (size_t i = 0; i < in.size();) {
        auto c = static_cast<unsigned char>(in[i]);
        if (c == 0x1B) {
            std::string_view esc = in.substr(i + 1, 3);
            if (esc.starts_with("(B") || esc.starts_with("(J") || esc.starts_with("(H")) {
                mode = kAscii;
                i += 3;
            } else if (esc.starts_with("$B") || esc.starts_with("$@")) {
                mode = kTwoByte;
                i += 3;
            } else if (esc.starts_with("(I")) {
                mode = kKana;
                i += 3;
            } else if (esc.starts_with("$(D")) {
                mode = kJisX0212;
                i += 4;
            } else if (esc.starts_with("$(Q") || esc.starts_with("$(O")) {
                mode = kTwoByte;
                i += 4;
            } else
                return false;
            continue;
        }
        if (c == 0x0E) {
            shifted = true;
            ++i;
            continue;
        }
        if (c == 0x0F) {
            shifted = false;
            ++i;
            continue;
        }
        if (c == '\r' || c == '\n' || c >= 0x80) {
            *out += char(c);
            ++i;
            continue;
        }
        if (shifted || mode == kKana) {
            if (c >= 0x21 && c <= 0x5F) {
                *out += char(0x8E);
                *out += char(c | 0x80);
            } else {
                *out += char(c);
            }
            ++i;
        } else if (mode == kTwoByte || mode == kJisX0212) {
            if (i + 1 < in.size() && c >= 0x21 && c <= 0x7E) {
                if (mode == kJisX0212) *out += char(0x8F);
                *out += char(c | 0x80);
                *out += char(static_cast<unsigned char>(in[i + 1]) | 0x80);
                i += 2;
            } else {
                *out += char(c);
                ++i;
            }
        } else {
            *out += char(c);
            ++i;
        }
    }
    return true;
}

// Decodes with iconv; returns the number of undecodable bytes, or -1 when
// iconv does not know the charset.
long IconvToUtf8(std::string_view bytes, const char* from, std::string* out) {
    Converter converter("UTF-8", from);
    iconv_t cd = converter.get();
    if (cd == iconv_t(-1)) return -1;
    out->reserve(bytes.size() * 2);
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    auto skipByte = [](std::string_view, size_t) { return size_t(1); };
    return long(RunIconv(cd, bytes, &kReplacement, skipByte, out));
}

}  // namespace

uint32_t CodepageForCharset(const std::string& charset) {
    std::string name = NormaliseCharsetName(charset);
    if (name.empty()) return 0;
    const auto& table = NamedCharsets();
    if (auto it = table.find(name); it != table.end()) return it->second;
    if (uint32_t iso = IsoCodepage(name)) return iso;
    for (std::string_view prefix : {"windows-", "win-", "cp-", "cp", "x-cp", "ms-", "ibm", "csibm"}) {
        uint32_t n = NumberAfter(name, prefix);
        if ((n >= 1250 && n <= 1258) || n == 874 || n == 932 || n == 936 || n == 949 || n == 950 || n == 866 ||
            n == 850 || n == 852 || n == 437)
            return n;
        if (n == 65001 || n == 65000 || n == 20127 || n == 20866 || n == 21866 || n == 28591) return n;
    }
    return 0;
}

std::string CharsetForCodepage(uint32_t codepage) {
    const CodepageInfo* entry = FindCodepage(codepage);
    return entry ? entry->charset : "";
}

uint32_t AnsiCodepageFor(uint32_t codepage) {
    if (codepage == 0) return kCodepageWestern;
    const CodepageInfo* entry = FindCodepage(codepage);
    return entry ? entry->ansi : kCodepageUtf8;
}

namespace {

// ASCII text in a Windows code page: its bytes are the same, and converting
// it needs no iconv. Most of a message's strings are ASCII, and opening two
// converters for each of them was a quarter of the .msg form's work.
bool AsciiInWindowsCodepage(std::string_view utf8, uint32_t codepage) {
    return IsWindowsCodepage(codepage) && AsciiRunEnd(utf8, 0) == utf8.size();
}

}  // namespace

bool EncodeCodepage(std::string_view utf8, uint32_t codepage, std::string* out) {
    if (AsciiInWindowsCodepage(utf8, codepage)) {
        if (out) out->assign(utf8);
        return true;
    }
    if (codepage == kCodepageUtf8) {
        bool valid = IsValidUtf8(utf8);
        if (out) *out = valid ? std::string(utf8) : SanitizeUtf8(utf8);
        return valid;
    }
    const CodepageInfo* entry = FindCodepage(codepage);
    return entry && ConvertExactly(entry->iconvName, "UTF-8", utf8, out);
}

std::span<const uint32_t> WindowsCodepages() {
    static constexpr uint32_t kOrder[] = {1252, 1250, 1251, 1253, 1254, 1257, 1255,
                                          1256, 1258, 874,  932,  936,  949,  950};
    return kOrder;
}

bool IsWindowsCodepage(uint32_t codepage) {
    const auto all = WindowsCodepages();
    return std::find(all.begin(), all.end(), codepage) != all.end();
}

bool RoundTripsCodepage(std::string_view utf8, uint32_t codepage) {
    if (codepage == kCodepageUtf8) return IsValidUtf8(utf8);
    if (AsciiInWindowsCodepage(utf8, codepage)) return true;
    const CodepageInfo* entry = FindCodepage(codepage);
    if (!entry) return false;
    Converter encoderLease(entry->iconvName, "UTF-8"), decoderLease("UTF-8", entry->iconvName);
    iconv_t encoder = encoderLease.get(), decoder = decoderLease.get();
    if (encoder == iconv_t(-1) || decoder == iconv_t(-1)) return false;
    auto oneByte = [](std::string_view, size_t) { return size_t(1); };
    constexpr size_t kPiece = 1 << 20;  // a long text is checked a piece at a time
    std::string bytes, back;
    while (!utf8.empty()) {
        // A piece ends before an ASCII character: no converter joins one
        // with the character before it.
        size_t cut = std::min(utf8.size(), kPiece);
        while (cut < utf8.size() && static_cast<unsigned char>(utf8[cut]) >= 0x80) ++cut;
        const std::string_view piece = utf8.substr(0, cut);
        bytes.clear();
        back.clear();
        if (RunIconv(encoder, piece, nullptr, oneByte, &bytes) != 0 ||
            RunIconv(decoder, bytes, nullptr, oneByte, &back) != 0 || back != piece)
            return false;
        utf8.remove_prefix(cut);
    }
    return true;
}

void TextCharacters::add(std::string_view utf8) {
    for (size_t i = 0; (i = AsciiRunEnd(utf8, i)) < utf8.size();) {
        const uint32_t c = NextCodePoint(utf8, i);
        const size_t word = c / 64;
        if (word >= seen_.size()) seen_.resize(word + 1);
        const uint64_t bit = uint64_t(1) << (c % 64);
        if (seen_[word] & bit) continue;
        seen_[word] |= bit;
        AppendUtf8(sample_, c);
        sample_ += '\n';
    }
}

bool TextCharacters::fitIn(uint32_t codepage) const { return RoundTripsCodepage(sample_, codepage); }

bool DecodeCodepage(std::string_view bytes, uint32_t codepage, std::string* utf8) {
    const CodepageInfo* entry = FindCodepage(codepage);
    if (!entry) return false;
    // ASCII reads as itself in these (checked against glibc iconv for every
    // byte below 0x80): an HTML body is mostly ASCII, and running it through
    // iconv was the .msg writer's largest single cost.
    auto asciiIsItself = [](uint32_t n) {
        return n == kCodepageUtf8 || n == 20127 || (n >= 28591 && n <= 28605) || IsWindowsCodepage(n);
    };
    if (asciiIsItself(codepage) && AsciiRunEnd(bytes, 0) == bytes.size()) {
        if (utf8) utf8->assign(bytes);
        return true;
    }
    return ConvertExactly("UTF-8", entry->iconvName, bytes, utf8);
}

bool IsValidUtf8(std::string_view bytes) {
    for (size_t i = 0; (i = AsciiRunEnd(bytes, i)) < bytes.size();) {
        size_t n = Utf8SequenceLength(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char c : bytes) AppendUtf8(out, Windows1252CodePoint(c));
    return out;
}

std::string SanitizeUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        if (size_t run = AsciiRunEnd(bytes, i); run > i) {
            // Appended as a run, less its NULs.
            for (size_t at = i; at < run;) {
                const void* nul = std::memchr(bytes.data() + at, '\0', run - at);
                const size_t stop = nul ? size_t(static_cast<const char*>(nul) - bytes.data()) : run;
                out.append(bytes.data() + at, stop - at);
                at = stop + (nul ? 1 : 0);
            }
            i = run;
        } else if (size_t n = Utf8SequenceLength(bytes, i)) {
            out.append(bytes.data() + i, n);
            i += n;
        } else {
            AppendUtf8(out, Windows1252CodePoint(uint8_t(bytes[i++])));
        }
    }
    return out;
}

std::string DecodeToUtf8(std::string_view bytes, const std::string& charset, bool* exact) {
    bool dummy;
    bool& isExact = exact ? *exact : dummy;
    isExact = true;
    const std::string name = NormaliseCharsetName(charset);
    const uint32_t cp = CodepageForCharset(name);

    if (name.empty() || cp == 20127 || cp == 65001) {
        // Declared (or assumed) ASCII or UTF-8: real mail often carries
        // undeclared 8-bit text here, so read UTF-8 first, then Windows-1252.
        isExact =
            IsValidUtf8(bytes) && (cp == 65001 || name.empty() || std::all_of(bytes.begin(), bytes.end(), [](char c) {
                                       return static_cast<unsigned char>(c) < 0x80;
                                   }));
        return SanitizeUtf8(bytes);
    }
    // ISO-8859-1 is read as its Windows superset: mail labelled Latin-1 often
    // carries Windows punctuation (0x80-0x9F) that would otherwise be lost.
    if (cp == 1252 || cp == 28591) return WithoutNul(Windows1252ToUtf8(bytes));

    if (cp == 50220) {
        std::string euc, out;
        if (Iso2022JpToEucJp(bytes, &euc) && IconvToUtf8(euc, "EUC-JP-MS", &out) == 0) return SanitizeUtf8(out);
    }

    std::string iconvName;
    if (name == "utf-16" || name == "utf-32")  // let a byte-order mark decide
        iconvName = name == "utf-16" ? "UTF-16" : "UTF-32";
    else if (cp == 50220)
        iconvName = "ISO-2022-JP-2";  // superset: also decodes JIS X 0212 and the -1 extensions
    else if (cp == 51932)
        iconvName = "EUC-JP-MS";
    else if (const CodepageInfo* known = FindCodepage(cp))
        iconvName = known->iconvName;
    else
#ifdef VELLARY_HAVE_GMIME
        iconvName = (mime::EnsureGMimeStarted(), g_mime_charset_iconv_name(name.c_str()));
#else
        iconvName = name;
#endif

    std::string out;
    long failures = IconvToUtf8(bytes, iconvName.c_str(), &out);
    if (failures < 0 && (cp == 50220 || cp == 51932)) {
        // The Windows build's iconv (win_iconv) knows neither EUC-JP-MS nor
        // ISO-2022-JP-2, only the plain forms, which still decode JIS X 0208.
        out.clear();
        failures = IconvToUtf8(bytes, cp == 50220 ? "ISO-2022-JP" : "EUC-JP", &out);
    }
    if (failures < 0) {
        isExact = false;
        return SanitizeUtf8(bytes);
    }
    if (failures > 0) {
        isExact = false;
        // Mislabelled UTF-8 is far more common than a damaged byte stream.
        if (HasEightBit(bytes) && IsValidUtf8(bytes)) return WithoutNul(std::string(bytes));
    }
    return SanitizeUtf8(out);
}

}  // namespace store
