// The compound-file (MS-CFB, version 3) layer under the .msg writer: storages
// and streams written once, in one pass, into a file that appears under its
// final name only when everything succeeded. Knows nothing about messages.
//
// Our own writer, not libgsf's MS-OLE writer (Debian libgsf-1-dev), although
// libgsf was checked first and does most of the job: version 3 files, a class
// id on any storage, nested storages, empty streams, DIFAT past 109 FAT
// sectors, temporary file and rename. What ruled it out: it links every
// storage's children as one right-leaning list (all black, left pointers
// empty). That meets the three rules of MS-CFB 2.6.4, but the list's depth
// equals the number of children, and readers walk sibling trees recursively:
// python3 olefile fails with a RecursionError on a message of about 1000
// attachments or recipients written by libgsf, and libgsf's own time grows
// with the square of that count. We write balanced red-black trees
// (depth ~log2 n), which also lets us give storages their times and
// put NOSTREAM in unused directory slots, as MS-CFB asks.
//
// File layout written (sector n at byte (n + 1) * 512):
//   header | regular-stream sectors, in write order | mini stream | mini FAT |
//   directory | FAT | DIFAT
// Invariants:
//  1. Streams of 4096 bytes or more get contiguous regular sectors, written to
//     the file as they come, straight from the caller's bytes (memory does not
//     grow with attachment size), each with its padding in one write; smaller
//     ones go to 64-byte mini sectors, held until finish(), which writes them
//     with every table in one more write; empty streams have start sector
//     ENDOFCHAIN. The file is written in order; the header is the first part
//     of the first write when finish() makes it, else written over the zeros
//     the first write left for it.
//  2. Every storage's children form a balanced binary tree in compound-file
//     order (shorter name first, then upper-cased code units); nodes on the
//     last, partly filled level are red, all others black.
//  3. FAT sectors are counted so that they and the DIFAT sectors cover the
//     whole file; the header lists the first 109, DIFAT sectors the rest.
//  4. Nothing is written under the target name until finish() renames the
//     complete temporary file onto it; a failure removes the temporary file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace store::msg::detail {

class CompoundFileWriter {
public:
    // One storage being written; handles stay valid until finish().
    class Storage;

    CompoundFileWriter();
    ~CompoundFileWriter();  // abandons the file (nothing appears) unless finish() succeeded
    CompoundFileWriter(const CompoundFileWriter&) = delete;
    CompoundFileWriter& operator=(const CompoundFileWriter&) = delete;

    // Starts writing `path` (replacing any file there once finished).
    // `rootClsid` is 16 bytes in stored order.
    bool create(const std::string& path, const uint8_t rootClsid[16]);

    Storage* root();

    // A new child storage of `parent`; nullptr after an error. A storage's
    // modification and creation times are `filetime` (0 = none).
    Storage* beginStorage(Storage* parent, std::string_view name, uint64_t filetime = 0);
    bool endStorage(Storage* storage);

    // A complete stream in `parent`. Names are ASCII, at most 31 characters,
    // unique within their storage.
    bool writeStream(Storage* parent, std::string_view name, std::string_view data);
    // The same for a stream of `size` bytes that `fill` hands to its argument
    // in pieces (each call returning false once the file has failed), so that
    // a long value is never held whole in its stored form. The pieces must
    // add up to `size`.
    using PieceSink = std::function<bool(std::string_view)>;
    bool writeStream(Storage* parent, std::string_view name, uint64_t size,
                     const std::function<bool(const PieceSink&)>& fill);

    // Writes the mini stream, allocation tables, directory and header, then
    // moves the file into place.
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
