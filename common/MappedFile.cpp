#include "common/MappedFile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/Platform.h"
#include "common/sourceFile.h"

MappedFile::~MappedFile() {
    if (map_) UnmapFile(map_, size_);
}

void MappedFile::dropResidentPages() {
    if (map_) DropMappedPages(map_, size_);
}

void MappedFile::dropResidentPages(std::string_view range) {
    if (!map_ || range.empty()) return;
    const auto base = reinterpret_cast<uintptr_t>(map_);
    const auto from = reinterpret_cast<uintptr_t>(range.data());
    if (from < base || from + range.size() > base + size_) return;
    DropMappedPages(range.data(), range.size());
}

bool MappedFile::open(const std::string& path, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + " " + path + ": " + std::strerror(errno);
        return false;
    };
    int fd = OpenFile(path, kOpenRead);
    if (fd < 0) return fail("cannot open");
    FileInfo info;
    if (StatFile(fd, &info) && info.kind == FileKind::Regular && info.size > 0 && info.size <= SIZE_MAX) {
        if (const void* map = MapFileReadOnly(fd, size_t(info.size))) {
            map_ = map;
            size_ = size_t(info.size);
            CloseFile(fd);
            return true;
        }
    }
    // Not a mappable file (or an empty one): read it through.
    char buffer[65536];
    for (;;) {
        ssize_t n = ReadFull(fd, buffer, sizeof buffer);
        if (n < 0) {
            int saved = errno;
            CloseFile(fd);
            errno = saved;
            return fail("cannot read");
        }
        copy_.append(buffer, size_t(n));
        if (size_t(n) < sizeof buffer) break;
    }
    CloseFile(fd);
    return true;
}
