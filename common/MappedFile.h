// A whole file mapped read-only, so that large inputs are read where they lie
// instead of being copied into memory first.
#pragma once

#include <string>
#include <string_view>

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps `path` (a file that cannot be mapped, such as a pipe, is read
    // into memory instead). False with `error` set when it cannot be read.
    bool open(const std::string& path, std::string* error);

    // Lets the system take back the pages read so far (they are read again
    // from the file if touched), for a caller that goes on reading the file
    // by other means.
    void dropResidentPages();
    // The same for the pages that hold `range`, a part of bytes().
    void dropResidentPages(std::string_view range);

    // Whether the bytes are a mapping of the file (not a copy of a pipe's).
    bool mapped() const { return map_ != nullptr; }

    // The file's bytes, valid until the object is destroyed.
    std::string_view bytes() const {
        return map_ ? std::string_view(static_cast<const char*>(map_), size_) : std::string_view(copy_);
    }

private:
    const void* map_ = nullptr;
    size_t size_ = 0;
    std::string copy_;
};
