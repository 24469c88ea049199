// The durability helpers of fileio.h on Windows.
#include <cerrno>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <winioctl.h>

#include "common/Platform.h"
#include "common/fileio.h"

namespace {
HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }
}  // namespace

int SyncFileData(int fd) { return FlushFileBuffers(handleOf(fd)) ? 0 : ErrnoFromLastError(); }

int GrowFile(int fd, uint64_t size) {
    FileInfo info;
    if (!StatFile(fd, &info)) return errno;
    if (info.size >= size) return 0;
    // Marked sparse, the new range takes no disk space until written, as on
    // POSIX; on a file system without sparse files it is allocated instead.
    DWORD returned = 0;
    DeviceIoControl(handleOf(fd), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    return SetFileLength(fd, size) == 0 ? 0 : errno;
}

void StartWriteback(int, uint64_t, uint64_t) {}
