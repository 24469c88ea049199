// The durability helpers of fileio.h on POSIX systems.
#include "common/fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int SyncFileData(int fd) {
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int GrowFile(int fd, uint64_t size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    if (uint64_t(st.st_size) >= size) return 0;
    while (::ftruncate(fd, off_t(size)) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

void StartWriteback(int fd, uint64_t offset, uint64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(fd, off_t(offset), off_t(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
    (void)offset;
    (void)length;
#endif
}
