// Shared by the round-trip tests: the corpus converted to .eml through the
// run (the messages exactly as the store forms receive them), each .eml read
// independently with GMime into what it holds, and the text comparisons the
// readers' outputs are judged by.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "conversion/ConversionRun.h"
#include "tests/support/files.h"
#include "tests/support/text.h"

namespace testsupport {

// What one source message holds, read with GMime alone.
struct SourceMail {
    fs::path file;        // the email-N.eml
    int number = 0;       // N
    std::string subject;  // decoded, unfolded, trimmed
    bool hasSubject = false;
    std::string rawSubject;                // the header's bytes, unfolded
    std::string from;                      // address of the first From mailbox (lower case)
    std::string sender;                    // address of Sender when present, else `from`
    std::vector<std::string> to, cc, bcc;  // addresses, lower case, groups flattened
    bool hasDate = false;
    int64_t date = 0;       // Unix seconds
    std::string messageId;  // as written, unfolded and trimmed
    bool hasPlain = false, hasHtml = false;
    std::string plain;                  // UTF-8
    std::string html;                   // decoded bytes, as sent
    std::string htmlCharset;            // its charset parameter
    std::vector<SourceFile> files;      // leaf parts other than the body, in order, transfer-decoded
    std::vector<std::string> embedded;  // subjects of attached messages
    bool nonAscii() const;              // any non-ASCII text in subject, bodies or names
};

struct SourceMailbox {
    std::string name;               // folder name in the store: the file name without ".mbox"
    fs::path source;                // the .mbox
    fs::path folder;                // the run's output folder for it
    std::vector<SourceMail> mails;  // in order of N
};

// Runs the EML form over `mailboxes` into `outFolder` and reads every
// written message back. Mailboxes whose name repeats are left out.
std::vector<SourceMailbox> ConvertToEml(const std::vector<fs::path>& mailboxes, const fs::path& outFolder);

// The sources of `boxes` as rows of a run.
std::vector<std::string> Rows(const std::vector<SourceMailbox>& boxes);

// Reads one message file with GMime.
SourceMail ReadSourceMail(const fs::path& file);

// Parses a MIME message held in memory (a reader's output) the same way.
SourceMail ReadMailBytes(const std::string& bytes);

// Text for comparisons: line ends to LF, trailing blanks of every line and
// trailing empty lines removed.
std::string NormaliseText(const std::string& text);
// HTML as readers hand it back: also without a final NUL.
std::string NormaliseHtml(const std::string& html);
// Bytes in `charset` as UTF-8; without a known charset valid UTF-8 stays and
// anything else is read as Windows-1252.
std::string DecodeText(const std::string& bytes, const char* charset);
// HTML as text for comparisons across code pages: decoded, normalised, and
// the charset named in it masked (a writer that stores the HTML in another
// code page says so in its <meta> tag).
std::string HtmlText(const std::string& bytes, const std::string& charset);
// Characters outside the Basic Multilingual Plane replaced by '?'.
std::string MaskAstral(const std::string& text);
// Subjects and names: folding whitespace collapsed, control characters to blanks, trimmed.
std::string NormaliseLine(const std::string& text);
// A file name as the store keeps it: path and characters Windows forbids removed.
std::string StoredFileName(const std::string& name);

// Unix seconds of a "YYYY-MM-DD HH:MM:SS" UTC text, or -1.
int64_t ParseUtc(const std::string& text);
// Unix seconds of a FILETIME.
int64_t FiletimeToUnix(uint64_t filetime);

// The run converted everything but the mailboxes that hold no message (the
// corpus has an empty one), which it names as failures.
bool OkButEmptyMailboxes(const conversion::RunOutcome& outcome);

// A short description of a message for failure output.
std::string Describe(const SourceMailbox& box, const SourceMail& mail);

// Collects mismatches so one failure report lists them all (up to a limit).
class Mismatches {
public:
    void add(const std::string& where, const std::string& what, const std::string& expected, const std::string& actual);
    void note(const std::string& line);
    size_t count() const { return count_; }
    std::string report() const;

private:
    std::vector<std::string> lines_;
    std::map<std::string, size_t> kinds_;
    size_t count_ = 0;
};

// Every expected file is there with its bytes, and its name when it has one;
// nothing else is. On a difference `why` says what.
bool SameFiles(const std::vector<SourceFile>& expected, const std::vector<SourceFile>& actual, std::string* why);
// 'name':size for each file, for failure messages.
std::string Names(const std::vector<SourceFile>& files);
// The list without its empty entries (recipients that have no address).
std::vector<std::string> WithAddress(std::vector<std::string> v);

}  // namespace testsupport
