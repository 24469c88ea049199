// Charset names, code pages and text conversion used by the MIME import and
// the store writers, and the address values built from UTF-16 text.
#include <gtest/gtest.h>

#include <thread>

#include "store/Codepages.h"
#include "store/MapiAddress.h"
#include "store/Unicode.h"

using namespace store;

TEST(CodepageForCharset, KnowsNamesAliasesAndMisspellingsMetInMail) {
    const std::pair<const char*, uint32_t> rows[] = {{"windows-1252", 1252},
                                                     {"UTF-8", 65001},
                                                     {"uft-8", 65001},
                                                     {"utf8", 65001},
                                                     {"\"ISO-8859-1\"", 28591},
                                                     {"latin1", 28591},
                                                     {"iso8859-15", 28605},
                                                     {"ISO_8859-2", 28592},
                                                     {"iso-2022-jp", 50220},
                                                     {"Shift_JIS", 932},
                                                     {"x-sjis", 932},
                                                     {"euc-jp", 51932},
                                                     {"gb2312", 936},
                                                     {"GBK", 936},
                                                     {"big5", 950},
                                                     {"koi8-r", 20866},
                                                     {"koi8-u", 21866},
                                                     {"ks_c_5601-1987", 949},
                                                     {"euc-kr", 51949},
                                                     {"unicode-1-1-utf-7", 65000},
                                                     {"cp1251", 1251},
                                                     {"x-cp1250", 1250},
                                                     {"us-ascii", 20127},
                                                     {"iso-8859-8-i", 38598},
                                                     {"x-mac-cyrillic", 10007},
                                                     {" windows-874 ", 874},
                                                     {"x-unknown", 0},
                                                     {"bad-charset", 0},
                                                     {"", 0},
                                                     {"iso-8859-99", 0}};
    for (const auto& [name, cp] : rows) EXPECT_EQ(CodepageForCharset(name), cp) << name;
}

TEST(CharsetForCodepage, NamesEveryCodepageThatMapsBack) {
    for (uint32_t cp : {1250u,  1251u,  1252u,  1253u,  1254u,  1255u,  1256u,  1257u,  1258u,  874u,   932u,
                        936u,   949u,   950u,   20127u, 20866u, 21866u, 28591u, 28592u, 28595u, 28597u, 28599u,
                        28603u, 28605u, 38598u, 50220u, 51932u, 51949u, 65000u, 65001u, 10000u, 10007u}) {
        std::string name = CharsetForCodepage(cp);
        ASSERT_FALSE(name.empty()) << cp;
        EXPECT_EQ(CodepageForCharset(name), cp) << name;
    }
    EXPECT_EQ(CharsetForCodepage(12345), "");
}

// Each row: text, code page, whether it converts exactly, and the bytes.
TEST(EncodeCodepage, EncodesWhatTheCodepageHoldsAndRefusesTheRest) {
    struct Row {
        std::string utf8;
        uint32_t codepage;
        bool exact;
        std::string bytes;  // checked when exact
    };
    const Row rows[] = {
        {"Grüße €", 1252, true,
         "Gr\xFC\xDF"
         "e \x80"},
        {"日本", 932, true, "\x93\xFA\x96\x7B"},
        {"日本", 50220, true, "\x1B$BF|K\\\x1B(B"},  // stateful: must end back in ASCII
        {"Привет", 20866, true, "\xF0\xD2\xC9\xD7\xC5\xD4"},
        {"Grüße", 65001, true, "Grüße"},
        {"", 1252, true, ""},
        {"a日本b", 1252, false, ""},
        {"abc", 12345, false, ""},     // unknown code page
        {"caf\xE9", 1252, false, ""},  // not UTF-8
        {"caf\xE9", 65001, false, ""},
    };
    for (const Row& r : rows) {
        std::string out;
        EXPECT_EQ(EncodeCodepage(r.utf8, r.codepage, &out), r.exact) << r.utf8 << " in " << r.codepage;
        EXPECT_EQ(EncodeCodepage(r.utf8, r.codepage, nullptr), r.exact) << r.utf8 << " in " << r.codepage;
        if (r.exact) {
            EXPECT_EQ(out, r.bytes) << r.utf8 << " in " << r.codepage;
        }
    }
}

// A text fits a code page only when it reads back the same: CP1258 joins a
// letter and a combining accent into one character, though each fits alone
// (so the quick test of the characters passes).
TEST(RoundTripsCodepage, OnlyTextThatReadsBackTheSame) {
    struct Row {
        std::string utf8;
        uint32_t codepage;
        bool fits;
        bool charactersFit;
    };
    const Row rows[] = {
        {"Grüße", 1252, true, true},      {"Καλημέρα", 1253, true, true},
        {"Καλημέρα", 1252, false, false}, {"ế", 1258, true, true},
        {"e\xCC\x81", 1258, false, true}, {"caf\xE9", 1252, false, true},  // malformed UTF-8 never round-trips
        {"abc", 12345, false, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(RoundTripsCodepage(r.utf8, r.codepage), r.fits) << r.utf8 << " in " << r.codepage;
        TextCharacters characters;
        characters.add(r.utf8);
        EXPECT_EQ(characters.fitIn(r.codepage), r.charactersFit) << r.utf8 << " in " << r.codepage;
    }
}

TEST(DecodeCodepage, DecodesExactlyOrFails) {
    std::string out;
    EXPECT_TRUE(DecodeCodepage("\xF0\xD2\xC9\xD7\xC5\xD4", 20866, &out));
    EXPECT_EQ(out, "Привет");
    EXPECT_TRUE(DecodeCodepage("\x1B$BF|K\\\x1B(B", 50220, &out));
    EXPECT_EQ(out, "日本");
    EXPECT_FALSE(DecodeCodepage("\x93\xFA\xFF", 932, &out));  // 0xFF starts no Shift_JIS character
    EXPECT_FALSE(DecodeCodepage("abc", 12345, &out));
}

// The converters a thread used outlive it and serve the next one: a
// thread's end once closed them from storage already freed (MinGW), and the
// read-ahead worker ends with every mailbox.
TEST(DecodeCodepage, ConvertersSurviveTheThreadsThatUsedThem) {
    for (int round = 0; round < 4; ++round) {
        std::string out;
        bool fits = false;
        std::thread worker([&] {
            DecodeCodepage("\xF0\xD2\xC9\xD7\xC5\xD4", 20866, &out);
            fits = RoundTripsCodepage("Grüße", 1252);
            // Heap traffic after the last use, as the worker's end has.
            for (int i = 0; i < 64; ++i) std::string(200, 'x').swap(out);
            DecodeCodepage("\xF0\xD2\xC9\xD7\xC5\xD4", 20866, &out);
        });
        worker.join();
        EXPECT_EQ(out, "Привет");
        EXPECT_TRUE(fits);
    }
}

// The code page 8-bit strings are stored in: the Windows one of the script,
// Western without one, UTF-8 for what the table does not know.
TEST(AnsiCodepageFor, ChoosesTheWindowsCodepageOfTheScript) {
    const std::pair<uint32_t, uint32_t> rows[] = {
        {0, 1252},      {1252, 1252},   {1251, 1251},  {932, 932},    {20127, 1252}, {28591, 1252},
        {28605, 1252},  {28592, 1250},  {28595, 1251}, {20866, 1251}, {866, 1251},   {38598, 1255},
        {50220, 932},   {51932, 932},   {50225, 949},  {54936, 936},  {52936, 936},  {10000, 1252},
        {65001, 65001}, {65000, 65001}, {1200, 65001}, {12345, 65001}};
    for (const auto& [codepage, ansi] : rows) EXPECT_EQ(AnsiCodepageFor(codepage), ansi) << codepage;
}

TEST(DecodeToUtf8, DecodesDeclaredCharsetsAndFallsBackOnBrokenOnes) {
    bool exact = false;
    EXPECT_EQ(DecodeToUtf8("Gr\xFC\xDF"
                           "e",
                           "iso-8859-1", &exact),
              "Grüße");
    EXPECT_TRUE(exact);
    EXPECT_EQ(DecodeToUtf8("\x80 5", "windows-1252"), "€ 5");
    EXPECT_EQ(DecodeToUtf8("\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r"), "Привет");
    EXPECT_EQ(DecodeToUtf8("+AOQ-", "unicode-1-1-utf-7"), "ä");
    EXPECT_EQ(DecodeToUtf8(std::string("\xFF\xFE"
                                       "a\0b\0",
                                       6),
                           "utf-16"),
              "ab");
    // ISO-2022-JP with NEC row 13 (the numero sign) and half-width katakana.
    EXPECT_EQ(DecodeToUtf8("\x1B$B'('%-b\x1B(B41", "iso-2022-jp"), "ЖД№41");
    EXPECT_EQ(DecodeToUtf8("\x1B(I1\x1B(B", "iso-2022-jp"), "ｱ");

    // Misspelled or unknown names: UTF-8 if it is UTF-8, else Windows-1252.
    EXPECT_EQ(DecodeToUtf8("Gr\xC3\xBC\xC3\x9F"
                           "e",
                           "uft-8", &exact),
              "Grüße");
    EXPECT_EQ(DecodeToUtf8("M\xE4tterhorn", "bad-charset", &exact), "Mätterhorn");
    EXPECT_FALSE(exact);
    // Declared UTF-8 that is not: keep the valid sequences, read stray bytes as Windows-1252.
    EXPECT_EQ(DecodeToUtf8("caf\xC3\xA9 caf\xE9", "utf-8", &exact), "café café");
    EXPECT_FALSE(exact);
    // Undecodable bytes in a multibyte charset: the rest survives.
    std::string mixed = DecodeToUtf8("\x93\xFA\xFF\x96\x7B", "shift_jis", &exact);
    EXPECT_FALSE(exact);
    EXPECT_NE(mixed.find("日"), std::string::npos);
    EXPECT_TRUE(IsValidUtf8(mixed));
}

// Every byte outside a UTF-8 sequence is read as Windows-1252, the same way
// where text is cleaned as UTF-8 and where it is written as UTF-16.
TEST(SanitizeUtf8, KeepsValidTextAndReadsStrayBytesAsWindows1252) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain", "plain"},
        {std::string("a\xC3\xA9"
                     "b\xE9"
                     "c\0d",
                     8),
         "aébécd"},
        {"\xED\xA0\x80", "í\xC2\xA0\xE2\x82\xAC"},  // a UTF-16 surrogate is not UTF-8
        {"bad \xFF\xC3 end", "bad ÿÃ end"},
        {"\x93quoted\x94 \x81", "“quoted” \xC2\x81"},
        {"cut \xE2\x82", "cut â‚"},
    };
    for (const auto& [bytes, utf8] : rows) {
        EXPECT_EQ(SanitizeUtf8(bytes), utf8) << bytes;
        std::string withoutNul = bytes;
        std::erase(withoutNul, '\0');
        EXPECT_EQ(Utf8ToUtf16le(withoutNul), Utf8ToUtf16le(utf8)) << bytes;
    }
    EXPECT_TRUE(IsValidUtf8(SanitizeUtf8("\xF5\x80\x80\x80\xC0\xAF")));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));  // overlong
    EXPECT_TRUE(IsValidUtf8("𝄞"));
}

// The conversions take ASCII eight bytes at a time: a sequence at any offset
// around those words reads as it reads on its own.
TEST(SanitizeUtf8, SequencesAroundAsciiWordsReadAsAlone) {
    const struct {
        std::string piece;
        bool valid;
    } rows[] = {{"\xC3\xA9", true}, {"\xF0\x9D\x84\x9E", true}, {std::string(1, '\0'), true},
                {"\xE9", false},    {"\xE2\x82", false},        {"\x93", false}};
    for (const auto& row : rows) {
        for (size_t at = 0; at <= 20; ++at) {
            const std::string text = std::string(at, 'a') + row.piece + std::string(20 - at, 'b');
            SCOPED_TRACE(text);
            std::string utf8, utf16;
            for (size_t i = 0; i < text.size();) {
                const uint32_t c = NextCodePoint(text, i);
                if (c != 0) AppendUtf8(utf8, c);
                auto unit = [&](uint32_t u) { utf16 += {char(u & 0xFF), char(u >> 8)}; };
                if (c >= 0x10000) {
                    unit(0xD800 | ((c - 0x10000) >> 10));
                    unit(0xDC00 | (c & 0x3FF));
                } else {
                    unit(c);
                }
            }
            EXPECT_EQ(SanitizeUtf8(text), utf8);
            EXPECT_EQ(IsValidUtf8(text), row.valid);
            std::string appended = "xy";
            AppendUtf16le(appended, text);
            EXPECT_EQ(appended, "xy" + utf16);
            EXPECT_EQ(Utf16leSize(text), utf16.size());
        }
    }
}

// ASCII is converted without iconv for the Windows code pages: it must be
// what iconv makes of it there.
TEST(EncodeCodepage, AsciiIsItsOwnBytesInEveryWindowsCodepage) {
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) ascii += char(c);
    for (uint32_t codepage : WindowsCodepages()) {
        std::string decoded;
        EXPECT_TRUE(DecodeCodepage(ascii, codepage, &decoded)) << codepage;
        EXPECT_EQ(decoded, ascii) << codepage;
    }
}

TEST(OneOffEntryId, MatchesTheDocumentedLayout) {
    // Display name "Bob", bob@example.com: the 74-byte example of MS-OXCDATA 2.2.5.1's layout.
    const unsigned char expected[] = {0x00, 0x00, 0x00, 0x00, 0x81, 0x2b, 0x1f, 0xa4, 0xbe, 0xa3, 0x10, 0x19, 0x9d,
                                      0x6e, 0x00, 0xdd, 0x01, 0x0f, 0x54, 0x02, 0x00, 0x00, 0x01, 0x80, 0x42, 0x00,
                                      0x6f, 0x00, 0x62, 0x00, 0x00, 0x00, 0x53, 0x00, 0x4d, 0x00, 0x54, 0x00, 0x50,
                                      0x00, 0x00, 0x00, 0x62, 0x00, 0x6f, 0x00, 0x62, 0x00, 0x40, 0x00, 0x65, 0x00,
                                      0x78, 0x00, 0x61, 0x00, 0x6d, 0x00, 0x70, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x2e,
                                      0x00, 0x63, 0x00, 0x6f, 0x00, 0x6d, 0x00, 0x00, 0x00};
    EXPECT_EQ(OneOffEntryId("Bob", "bob@example.com"),
              std::string(reinterpret_cast<const char*>(expected), sizeof expected));
    EXPECT_EQ(SmtpSearchKey("Bob@Example.com"), std::string("SMTP:BOB@EXAMPLE.COM\0", 21));
    EXPECT_EQ(SearchKey("EX", "/o=Org/cn=Bob"), std::string("EX:/O=ORG/CN=BOB\0", 17));
    EXPECT_EQ(store::Utf8ToUtf16le("𝄞"), "\x34\xD8\x1E\xDD");
}
