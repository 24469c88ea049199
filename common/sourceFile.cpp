#include "common/sourceFile.h"

#include <cerrno>
#include <cstring>

#include "common/Platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::string CannotReadCause(int e) { return std::string("cannot read the mailbox: ") + std::strerror(e); }

#ifndef _WIN32

namespace {

// What a file that cannot be read as a stream is, or nullptr when it can.
const char* notAStream(mode_t mode) {
    if (S_ISREG(mode) || S_ISFIFO(mode)) return nullptr;
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

bool refuse(const struct stat& st, std::string* error) {
    const char* kind = notAStream(st.st_mode);
    if (!kind) return false;
    *error = std::string("not a mailbox file: ") + kind;
    return true;
}

}  // namespace

int OpenSourceFile(const std::string& path, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *error = CannotReadCause(errno);
        return -1;
    }
    if (refuse(st, error)) return -1;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = CannotReadCause(errno);
        return -1;
    }
    // The path may name something else by now; what was opened counts.
    int flags = ::fstat(fd, &st) == 0 ? ::fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *error = CannotReadCause(errno);
        ::close(fd);
        return -1;
    }
    if (refuse(st, error)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

#else

int OpenSourceFile(const std::string& path, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    // A folder is told by its name (opening one as a file fails anyway).
    FileInfo info;
    if (StatPath(path, &info, true) && info.kind == FileKind::Folder) {
        *error = "not a mailbox file: a folder";
        return -1;
    }
    int fd = OpenFile(path, kOpenRead);
    if (fd < 0) {
        *error = CannotReadCause(errno);
        return -1;
    }
    // What was opened counts: a console or a device such as NUL is refused.
    if (!StatFile(fd, &info)) {
        *error = CannotReadCause(errno);
        CloseFile(fd);
        return -1;
    }
    if (info.kind != FileKind::Regular && info.kind != FileKind::Pipe) {
        *error = std::string("not a mailbox file: ") +
                 (info.kind == FileKind::CharDevice ? "a character device" : "a special file");
        CloseFile(fd);
        return -1;
    }
    return fd;
}

#endif

ssize_t ReadFull(int fd, char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ReadSome(fd, buffer + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    return ssize_t(got);
}

void CloseSourceFile(int fd) {
    if (fd >= 0) CloseFile(fd);
}
