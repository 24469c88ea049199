// What the independent readers make of a .pst: the verifier's strict check,
// pffexport's export folder (libpff) and readpst's message files (libpst).
#pragma once

#include "store/pst/verify/PstVerifier.h"
#include "tests/support/files.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// The verifier's strict check of a store we wrote (allocation maps exact,
// reference counts, B-trees, heaps, tables, folder counts and flags), or with
// `crashState` its check of what a crash leaves. Returns the problems found,
// one a line, "" when the file is sound; `report` receives the shape it saw.
std::string StructureProblems(const std::string& path, bool crashState = false,
                              store::pst::VerifyReport* report = nullptr);

// One message as pffexport writes it: OutlookHeaders.txt, Recipients.txt,
// Message.txt, Message.html, Attachments/N_name, attached messages below
// Attachments/AttachmentN, and with -d the property dump ItemValues.txt.
struct PffMessage {
    fs::path dir;
    std::string folder;                          // below the export folder: "Top of Personal Folders/Inbox"
    std::map<std::string, std::string> headers;  // "Subject" -> value
    std::vector<std::map<std::string, std::string>> recipients;  // one block of Recipients.txt each
    std::map<uint32_t, std::string> props;                       // tag -> value bytes (with -d only)
    bool hasBody = false, hasHtml = false;
    std::string body, html;
    std::map<std::string, std::string> attachments;  // "N_name" -> bytes
    std::vector<PffMessage> embedded;                // in AttachmentN order

    bool has(uint32_t tag) const { return props.count(tag) != 0; }
    std::string header(const std::string& key) const;
    // A PT_UNICODE property as UTF-8.
    std::string text(uint16_t id) const;
    // An integer property (up to 8 little-endian bytes).
    uint64_t u64(uint32_t tag) const;
    // The attachments in N order, their names without "N_".
    std::vector<SourceFile> files() const;
    // The addresses of the recipients of one type ("To", "CC", "BCC"), in
    // lower case; recipients without an address are left out.
    std::vector<std::string> addresses(const std::string& type) const;
};

// Every message below a pffexport export folder ("<target>.export"), in
// folder order and MessageNNNNN order within a folder.
std::vector<PffMessage> ReadPffExport(const fs::path& exportDir);
// "Jun 14, 2000 14:54:08.000000000 UTC" as Unix seconds, or -1.
int64_t ParsePffTime(const std::string& text);

// One message of `readpst -S`: the file N and its attachment files N-name.
struct ReadpstMessage {
    std::string folder;  // below the store's top folder: "Inbox/Projects"
    int number = 0;
    std::string text;                                // the message file
    std::map<std::string, std::string> headers;      // its header lines, UTF-8 encoded words decoded
    std::map<std::string, std::string> attachments;  // name -> bytes

    std::vector<SourceFile> files() const;
};

// Every message readpst wrote below `dir`, in folder order and number order
// within a folder.
std::vector<ReadpstMessage> ReadReadpst(const fs::path& dir);

}  // namespace testsupport
