#include "common/MappedFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/sourceFile.h"

MappedFile::~MappedFile() {
    if (map_) ::munmap(map_, size_);
}

void MappedFile::dropResidentPages() {
    // A private mapping that is never written holds the file's own pages.
    if (map_) ::madvise(map_, size_, MADV_DONTNEED);
}

void MappedFile::dropResidentPages(std::string_view range) {
    if (!map_ || range.empty()) return;
    const auto base = reinterpret_cast<uintptr_t>(map_);
    const auto page = uintptr_t(::sysconf(_SC_PAGESIZE));
    uintptr_t from = reinterpret_cast<uintptr_t>(range.data()), to = from + range.size();
    if (from < base || to > base + size_) return;
    from -= (from - base) % page;  // the mapping starts on a page
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

bool MappedFile::open(const std::string& path, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + " " + path + ": " + std::strerror(errno);
        return false;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open");
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* m = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (m != MAP_FAILED) {
            map_ = m;
            size_ = size_t(st.st_size);
            ::close(fd);
            return true;
        }
    }
    // Not a mappable file (or an empty one): read it through.
    char buffer[65536];
    for (;;) {
        ssize_t n = ReadFull(fd, buffer, sizeof buffer);
        if (n < 0) {
            int saved = errno;
            ::close(fd);
            errno = saved;
            return fail("cannot read");
        }
        copy_.append(buffer, size_t(n));
        if (size_t(n) < sizeof buffer) break;
    }
    ::close(fd);
    return true;
}
