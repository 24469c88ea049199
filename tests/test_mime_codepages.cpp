// Charset names, code pages and text conversion used by the MIME import and
// the .msg writer.
#include <gtest/gtest.h>

#include "store/Unicode.h"

#include "store/mime/Codepages.h"
#include "store/mime/MapiAddress.h"

using namespace store::mime;

TEST(CodepageForCharset, KnowsNamesAliasesAndMisspellingsMetInMail) {
    const std::pair<const char*, uint32_t> rows[] = {
        {"windows-1252", 1252}, {"UTF-8", 65001}, {"uft-8", 65001}, {"utf8", 65001},
        {"\"ISO-8859-1\"", 28591}, {"latin1", 28591}, {"iso8859-15", 28605}, {"ISO_8859-2", 28592},
        {"iso-2022-jp", 50220}, {"Shift_JIS", 932}, {"x-sjis", 932}, {"euc-jp", 51932},
        {"gb2312", 936}, {"GBK", 936}, {"big5", 950}, {"koi8-r", 20866}, {"koi8-u", 21866},
        {"ks_c_5601-1987", 949}, {"euc-kr", 51949}, {"unicode-1-1-utf-7", 65000},
        {"cp1251", 1251}, {"x-cp1250", 1250}, {"us-ascii", 20127}, {"iso-8859-8-i", 38598},
        {"x-mac-cyrillic", 10007}, {" windows-874 ", 874},
        {"x-unknown", 0}, {"bad-charset", 0}, {"", 0}, {"iso-8859-99", 0}};
    for (const auto& [name, cp] : rows) EXPECT_EQ(CodepageForCharset(name), cp) << name;
}

TEST(CharsetForCodepage, NamesEveryCodepageThatMapsBack) {
    for (uint32_t cp : {1250u, 1251u, 1252u, 1253u, 1254u, 1255u, 1256u, 1257u, 1258u, 874u, 932u, 936u,
                        949u, 950u, 20127u, 20866u, 21866u, 28591u, 28592u, 28595u, 28597u, 28599u, 28603u,
                        28605u, 38598u, 50220u, 51932u, 51949u, 65000u, 65001u, 10000u, 10007u}) {
        std::string name = CharsetForCodepage(cp);
        ASSERT_FALSE(name.empty()) << cp;
        EXPECT_EQ(CodepageForCharset(name), cp) << name;
    }
    EXPECT_EQ(CharsetForCodepage(12345), "");
}

TEST(Utf8ToCodepage, EncodesWhatTheCodepageHoldsAndReportsTheRest) {
    std::string out;
    EXPECT_TRUE(Utf8ToCodepage("Grüße €", 1252, &out));
    EXPECT_EQ(out, "Gr\xFC\xDF" "e \x80");
    EXPECT_TRUE(Utf8ToCodepage("日本", 932, &out));
    EXPECT_EQ(out, "\x93\xFA\x96\x7B");
    EXPECT_TRUE(Utf8ToCodepage("日本", 50220, &out));  // stateful: must end back in ASCII
    EXPECT_EQ(out, "\x1B$BF|K\\\x1B(B");
    EXPECT_TRUE(Utf8ToCodepage("Привет", 20866, &out));
    EXPECT_EQ(out, "\xF0\xD2\xC9\xD7\xC5\xD4");

    EXPECT_FALSE(Utf8ToCodepage("a日本b", 1252, &out));
    EXPECT_EQ(out, "a??b");
    EXPECT_FALSE(Utf8ToCodepage("abc", 12345, &out));
    EXPECT_EQ(out, "abc");
    EXPECT_TRUE(Utf8ToCodepage("", 1252, &out));
    EXPECT_EQ(out, "");
}

TEST(DecodeToUtf8, DecodesDeclaredCharsetsAndFallsBackOnBrokenOnes) {
    bool exact = false;
    EXPECT_EQ(DecodeToUtf8("Gr\xFC\xDF" "e", "iso-8859-1", &exact), "Grüße");
    EXPECT_TRUE(exact);
    EXPECT_EQ(DecodeToUtf8("\x80 5", "windows-1252"), "€ 5");
    EXPECT_EQ(DecodeToUtf8("\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r"), "Привет");
    EXPECT_EQ(DecodeToUtf8("+AOQ-", "unicode-1-1-utf-7"), "ä");
    EXPECT_EQ(DecodeToUtf8(std::string("\xFF\xFE" "a\0b\0", 6), "utf-16"), "ab");
    // ISO-2022-JP with NEC row 13 (the numero sign) and half-width katakana.
    EXPECT_EQ(DecodeToUtf8("\x1B$B'('%-b\x1B(B41", "iso-2022-jp"), "ЖД№41");
    EXPECT_EQ(DecodeToUtf8("\x1B(I1\x1B(B", "iso-2022-jp"), "ｱ");

    // Misspelled or unknown names: UTF-8 if it is UTF-8, else Windows-1252.
    EXPECT_EQ(DecodeToUtf8("Gr\xC3\xBC\xC3\x9F" "e", "uft-8", &exact), "Grüße");
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

TEST(SanitizeUtf8, KeepsValidTextAndRepairsTheRest) {
    EXPECT_EQ(SanitizeUtf8("plain"), "plain");
    EXPECT_EQ(SanitizeUtf8(std::string("a\xC3\xA9" "b\xE9" "c\0d", 8)), "aébécd");
    EXPECT_EQ(SanitizeUtf8("\xED\xA0\x80"), "í\xC2\xA0\xE2\x82\xAC");  // a UTF-16 surrogate is not UTF-8
    EXPECT_TRUE(IsValidUtf8(SanitizeUtf8("\xF5\x80\x80\x80\xC0\xAF")));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));  // overlong
    EXPECT_TRUE(IsValidUtf8("𝄞"));
}

TEST(OneOffEntryId, MatchesTheDocumentedLayout) {
    // Display name "Bob", bob@example.com: the 74-byte example of MS-OXCDATA 2.2.5.1's layout.
    const unsigned char expected[] = {
        0x00, 0x00, 0x00, 0x00, 0x81, 0x2b, 0x1f, 0xa4, 0xbe, 0xa3, 0x10, 0x19, 0x9d, 0x6e, 0x00, 0xdd, 0x01, 0x0f,
        0x54, 0x02, 0x00, 0x00, 0x01, 0x80, 0x42, 0x00, 0x6f, 0x00, 0x62, 0x00, 0x00, 0x00, 0x53, 0x00, 0x4d, 0x00,
        0x54, 0x00, 0x50, 0x00, 0x00, 0x00, 0x62, 0x00, 0x6f, 0x00, 0x62, 0x00, 0x40, 0x00, 0x65, 0x00, 0x78, 0x00,
        0x61, 0x00, 0x6d, 0x00, 0x70, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x2e, 0x00, 0x63, 0x00, 0x6f, 0x00, 0x6d, 0x00,
        0x00, 0x00};
    EXPECT_EQ(OneOffEntryId("Bob", "bob@example.com"), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
    EXPECT_EQ(SmtpSearchKey("Bob@Example.com"), std::string("SMTP:BOB@EXAMPLE.COM\0", 21));
    EXPECT_EQ(store::Utf8ToUtf16le("𝄞"), "\x34\xD8\x1E\xDD");
}
