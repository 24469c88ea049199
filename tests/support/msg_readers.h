// What the independent readers make of a .msg: python3 olefile, through
// msg_facts.py (one file, every stored value) and msg_summary.py (many files
// in one process), and msgconvert, whose MIME output GMime parses back.
#pragma once

#include "tests/support/commands.h"
#include "tests/support/files.h"
#include "tests/support/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A python3 that can import olefile, or "".
const std::string& OlefilePython();

#define REQUIRE_OLEFILE()                                                                \
    do {                                                                                 \
        if (testsupport::OlefilePython().empty())                                        \
            GTEST_SKIP() << "python3 with olefile (python3-olefile) not found; skipped"; \
    } while (0)

#define REQUIRE_MSGCONVERT()                                                                 \
    do {                                                                                     \
        if (!testsupport::HaveTool("msgconvert"))                                            \
            GTEST_SKIP() << "msgconvert (libemail-outlook-message-perl) not found; skipped"; \
    } while (0)

// What msg_facts.py printed about one file.
struct OleFacts {
    std::vector<std::string> issues;
    std::map<std::string, std::string> values;  // "STR ROOT/0037001F" -> hex, "INT ..." -> n, "BIN ..." -> "size md5"
    std::map<std::string, uint64_t> streams;    // stream path -> size
    std::map<std::string, std::string> named;   // "8000" -> "guid label"
    std::map<std::string, std::string> file;    // "clsid", "version"
    std::vector<std::string> headers;           // "storage len nextR nextA cntR cntA"
    std::string raw;

    bool has(const std::string& key) const { return values.count(key) != 0; }
    std::string value(const std::string& key) const;
    // A decoded string property as UTF-8 text.
    std::string text(const std::string& key) const;
    // The id a named property got in this file ("8001"), or "<unmapped>".
    std::string namedId(const std::string& guidHex, const std::string& label) const;
};

OleFacts ReadWithOlefile(const fs::path& file);

// One .msg as msg_summary.py reads it.
struct OleMessage {
    std::string error;
    uint32_t codepage = 0;
    std::map<uint16_t, std::string> strings;  // id -> UTF-8
    bool hasTime = false;
    uint64_t time = 0;
    bool hasFlags = false;
    uint32_t flags = 0;
    bool hasHtml = false;
    std::string html;                      // decoded to UTF-8
    std::vector<std::string> to, cc, bcc;  // addresses, lower case; recipients without one left out
    std::vector<SourceFile> files;
    std::vector<std::string> embedded;  // subjects
};

// Every file read in one process, by path; lines that belong to no file go to `log`.
std::map<std::string, OleMessage> ReadAllWithOlefile(const std::vector<fs::path>& files, const fs::path& scratch,
                                                     std::string* log);

// msgconvert's .eml of a file, parsed back with GMime.
struct EmlPart {
    std::string contentType;  // "type/subtype"
    std::string filename;
    std::string charset;
    std::string bytes;  // transfer-decoded content
    std::string text;   // for text parts: converted to UTF-8
    std::string embeddedSubject;
};

struct Eml {
    bool parsed = false;
    std::string subject, from, to, cc, messageId, date;
    std::vector<EmlPart> parts;  // leaves and message/rfc822 parts, in order
    std::string raw;

    const EmlPart* firstOfType(const std::string& type) const;
    const EmlPart* byFilename(const std::string& name) const;
};

Eml ReadWithMsgconvert(const fs::path& file);

// msgconvert reads an 8-bit string of code page 65001 as octets and then
// writes them out as UTF-8 once more (it decodes every other code page, and
// takes "UTF-8" to mean the string is Unicode already); so may a name or body
// it took from a Unicode file. This undoes that second encoding: characters
// below 256 back to bytes, when those bytes are valid UTF-8.
std::string UndoDoubleUtf8(const std::string& text);

}  // namespace testsupport
