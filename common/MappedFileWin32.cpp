// MappedFile on Windows: a read-only view of the whole file.
#include <cerrno>
#include <cstring>
#include <io.h>
#include <windows.h>

#include "common/MappedFile.h"
#include "common/Platform.h"
#include "common/sourceFile.h"

MappedFile::~MappedFile() {
    if (map_) UnmapViewOfFile(map_);
}

void MappedFile::dropResidentPages() {
    // Pages of a read-only view are the file's own: unlocking what is not
    // locked asks the system to trim them from the working set.
    if (map_) VirtualUnlock(map_, size_);
}

void MappedFile::dropResidentPages(std::string_view range) {
    if (!map_ || range.empty()) return;
    const auto base = reinterpret_cast<uintptr_t>(map_);
    const auto from = reinterpret_cast<uintptr_t>(range.data());
    if (from < base || from + range.size() > base + size_) return;
    VirtualUnlock(const_cast<char*>(range.data()), range.size());
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
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping) {
            void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
            // The view keeps the mapping alive.
            CloseHandle(mapping);
            if (view) {
                map_ = view;
                size_ = size_t(info.size);
                CloseFile(fd);
                return true;
            }
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
