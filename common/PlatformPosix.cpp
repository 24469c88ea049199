// The platform layer on POSIX systems: the calls themselves, with EINTR left
// to the callers as before.
#include "common/Platform.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenFile(const std::string& path, unsigned flags, int mode) {
    int how = O_CLOEXEC;
    switch (flags & kOpenReadWrite) {
        case kOpenRead: how |= O_RDONLY; break;
        case kOpenWrite: how |= O_WRONLY; break;
        default: how |= O_RDWR; break;
    }
    if (flags & kOpenCreate) how |= O_CREAT;
    if (flags & kOpenExclusive) how |= O_EXCL;
    if (flags & kOpenTruncate) how |= O_TRUNC;
    return ::open(path.c_str(), how, mode_t(mode));
}

int CloseFile(int fd) { return ::close(fd); }

ssize_t ReadSome(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }
ssize_t WriteSome(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
ssize_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset) { return ::pread(fd, buffer, size, off_t(offset)); }
ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset) {
    return ::pwrite(fd, data, size, off_t(offset));
}
ssize_t WriteGather(int fd, const iovec* parts, int count) { return ::writev(fd, parts, count); }

const void* MapFileReadOnly(int fd, size_t size) {
    void* m = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    return m == MAP_FAILED ? nullptr : m;
}

void UnmapFile(const void* map, size_t size) { ::munmap(const_cast<void*>(map), size); }

void DropMappedPages(const void* at, size_t size) {
    // A private mapping that is never written holds the file's own pages.
    // madvise takes whole pages: the range starts on the page that holds
    // `at` (a mapping starts on a page).
    const auto page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const auto from = reinterpret_cast<uintptr_t>(at);
    const uintptr_t start = from - from % page;
    ::madvise(reinterpret_cast<void*>(start), from + size - start, MADV_DONTNEED);
}

int RewindFile(int fd) { return ::lseek(fd, 0, SEEK_SET) == 0 ? 0 : -1; }
int SetFileLength(int fd, uint64_t size) { return ::ftruncate(fd, off_t(size)); }

namespace {

void describe(const struct stat& st, FileInfo* info) {
    const mode_t m = st.st_mode;
    info->kind = S_ISREG(m)    ? FileKind::Regular
                 : S_ISDIR(m)  ? FileKind::Folder
                 : S_ISFIFO(m) ? FileKind::Pipe
                 : S_ISCHR(m)  ? FileKind::CharDevice
                 : S_ISBLK(m)  ? FileKind::BlockDevice
                 : S_ISSOCK(m) ? FileKind::Socket
                 : S_ISLNK(m)  ? FileKind::Link
                               : FileKind::Other;
    info->size = uint64_t(st.st_size);
    info->links = uint64_t(st.st_nlink);
}

}  // namespace

bool StatFile(int fd, FileInfo* info) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    describe(st, info);
    return true;
}

bool StatPath(const std::string& path, FileInfo* info, bool followLinks) {
    struct stat st {};
    if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
    describe(st, info);
    return true;
}

int RemoveFile(const std::string& path) { return ::unlink(path.c_str()); }
int RenameFile(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()); }

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
        errno = 0;
    }
    const int e = errno;
    ::closedir(dir);
    errno = e;
    return e == 0;
}

long ProcessId() { return long(::getpid()); }
bool IsTerminal(int stdStream) { return ::isatty(stdStream) == 1; }

std::string SystemPathForm(const std::string& utf8Path) { return utf8Path; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }
