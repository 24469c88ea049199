// The compound-file (MS-CFB) layer under the .msg writer: storages and streams
// written once, in one pass, into a file that appears under its final name
// only when everything succeeded. Knows nothing about messages.
//
// Back end: libgsf's MS-OLE writer (Debian libgsf-1-dev), not a writer of our
// own. Checked against what an Outlook message file needs:
//  - version 3 files (512-byte sectors, 64-byte mini sectors, cutoff 4096);
//  - a class id on the root storage ({00020D0B-...-46}); other storages keep
//    the zero class id Outlook gives embedded-message storages;
//  - storages nested to any depth (attachment -> embedded message -> ...);
//  - sibling trees sorted in compound-file order (length, then upper-cased
//    name), all nodes black, which meets the tree rules of MS-CFB 2.6.4;
//  - empty streams with start sector ENDOFCHAIN; FAT chains past 109 FAT
//    sectors through DIFAT sectors (tested with attachments of tens of MB);
//  - large streams go to the file as they are written, so memory does not
//    grow with attachment size;
//  - output to a temporary file beside the target, renamed into place on
//    success and deleted on failure.
// What it does not give, and .msg readers do not need: red nodes / balanced
// trees, creation times, NOSTREAM pointers in unused directory slots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace store::msg::detail {

class CompoundFileWriter {
public:
    // One storage being written. Children are written depth-first: a child
    // storage must be finished before its parent writes anything else.
    class Storage;

    CompoundFileWriter();
    ~CompoundFileWriter();  // abandons the file (nothing appears) unless finish() succeeded
    CompoundFileWriter(const CompoundFileWriter&) = delete;
    CompoundFileWriter& operator=(const CompoundFileWriter&) = delete;

    // Starts writing `path` (replacing any file there once finished).
    // `rootClsid` is 16 bytes in stored order.
    bool create(const std::string& path, const uint8_t rootClsid[16]);

    Storage* root();

    // A new child storage of `parent`; nullptr after an error.
    // `modifiedFiletime` (0 = none) is stored as the storage's modification time.
    Storage* beginStorage(Storage* parent, const std::string& name, uint64_t modifiedFiletime = 0);
    bool endStorage(Storage* storage);

    // A complete stream in `parent`.
    bool writeStream(Storage* parent, const std::string& name, std::string_view data);

    // Writes the allocation tables and directory, moves the file into place.
    bool finish();

    // The first error, sticky: after it every call fails.
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

private:
    bool fail(std::string message);
    void abandon();

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

}  // namespace store::msg::detail
