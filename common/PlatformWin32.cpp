// The platform layer on Windows: CreateFileW on UTF-16 paths, ReadFile and
// WriteFile with 64-bit offsets in an OVERLAPPED, and the C runtime's int
// descriptors wrapped around the handles so the core keeps one type.
#include "common/Platform.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

std::wstring WideFromUtf8(const std::string& utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

int ErrnoFromLastError() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME: return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT: return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK: return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_BROKEN_PIPE: return EPIPE;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
        default: return EIO;
    }
}

namespace {

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// One ReadFile or WriteFile moves at most this much; the callers loop.
constexpr size_t kMostPerCall = size_t(1) << 30;

DWORD chunk(size_t size) { return DWORD(size < kMostPerCall ? size : kMostPerCall); }

ssize_t failed() {
    errno = ErrnoFromLastError();
    return -1;
}

bool failedTest() {
    errno = ErrnoFromLastError();
    return false;
}

OVERLAPPED at(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = DWORD(offset);
    o.OffsetHigh = DWORD(offset >> 32);
    return o;
}

}  // namespace

std::string SystemPathForm(const std::string& utf8Path) {
    if (utf8Path.size() < kClassicPathLimit || utf8Path.starts_with("\\\\?\\")) return utf8Path;
    // A long relative path is made absolute first: only those take the prefix.
    std::wstring wide = WideFromUtf8(utf8Path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return utf8Path;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(n);
    return WindowsLongPathForm(Utf8FromWide(full));
}

int OpenFile(const std::string& path, unsigned flags, int mode) {
    DWORD access = 0;
    if (flags & kOpenRead) access |= GENERIC_READ;
    if (flags & kOpenWrite) access |= GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & kOpenCreate) && (flags & kOpenExclusive))
        disposition = CREATE_NEW;
    else if ((flags & kOpenCreate) && (flags & kOpenTruncate))
        disposition = CREATE_ALWAYS;
    else if (flags & kOpenCreate)
        disposition = OPEN_ALWAYS;
    else if (flags & kOpenTruncate)
        disposition = TRUNCATE_EXISTING;
    // Others may read, write, rename and delete the file while it is open,
    // as on POSIX: the writers delete a file they still hold.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD attributes = (mode & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    HANDLE h = CreateFileW(WideFromUtf8(SystemPathForm(path)).c_str(), access, share, nullptr, disposition, attributes,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return int(failed());
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | (access == GENERIC_READ ? _O_RDONLY : 0));
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

int CloseFile(int fd) { return _close(fd); }

ssize_t ReadSome(int fd, void* buffer, size_t size) {
    DWORD got = 0;
    if (ReadFile(handleOf(fd), buffer, chunk(size), &got, nullptr)) return ssize_t(got);
    // The writer of a pipe has closed it: its end, not a failure.
    if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) return 0;
    return failed();
}

ssize_t WriteSome(int fd, const void* data, size_t size) {
    DWORD done = 0;
    if (WriteFile(handleOf(fd), data, chunk(size), &done, nullptr)) return ssize_t(done);
    return failed();
}

// With an OVERLAPPED on a handle opened for synchronous use, ReadFile and
// WriteFile wait and take the offset from it: pread() and pwrite().
ssize_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    OVERLAPPED o = at(offset);
    DWORD got = 0;
    if (ReadFile(handleOf(fd), buffer, chunk(size), &got, &o)) return ssize_t(got);
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    return failed();
}

ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset) {
    OVERLAPPED o = at(offset);
    DWORD done = 0;
    if (WriteFile(handleOf(fd), data, chunk(size), &done, &o)) return ssize_t(done);
    return failed();
}

ssize_t WriteGather(int fd, const iovec* parts, int count) {
    ssize_t total = 0;
    for (int i = 0; i < count; ++i) {
        ssize_t n = WriteSome(fd, parts[i].iov_base, parts[i].iov_len);
        if (n < 0) return total > 0 ? total : n;
        total += n;
        if (size_t(n) < parts[i].iov_len) break;
    }
    return total;
}

const void* MapFileReadOnly(int fd, size_t size) {
    HANDLE mapping = CreateFileMappingW(handleOf(fd), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    CloseHandle(mapping);  // the view keeps the mapping alive
    return view;
}

void UnmapFile(const void* map, size_t) { UnmapViewOfFile(map); }

void DropMappedPages(const void* at, size_t size) {
    // Pages of a read-only view are the file's own: unlocking what is not
    // locked asks the system to trim them from the working set.
    VirtualUnlock(const_cast<void*>(at), size);
}

int RewindFile(int fd) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(handleOf(fd), zero, nullptr, FILE_BEGIN) ? 0 : int(failed());
}

int SetFileLength(int fd, uint64_t size) {
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = LONGLONG(size);
    return SetFileInformationByHandle(handleOf(fd), FileEndOfFileInfo, &info, sizeof info) ? 0 : int(failed());
}

namespace {

bool describeHandle(HANDLE h, FileInfo* info) {
    switch (GetFileType(h)) {
        case FILE_TYPE_PIPE: *info = FileInfo{FileKind::Pipe, 0, 1}; return true;
        case FILE_TYPE_CHAR: *info = FileInfo{FileKind::CharDevice, 0, 1}; return true;
        case FILE_TYPE_DISK: break;
        default: *info = FileInfo{FileKind::Other, 0, 1}; return true;
    }
    BY_HANDLE_FILE_INFORMATION about{};
    if (!GetFileInformationByHandle(h, &about)) return failedTest();
    const DWORD a = about.dwFileAttributes;
    info->kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? FileKind::Link
                 : (a & FILE_ATTRIBUTE_DIRECTORY)   ? FileKind::Folder
                                                    : FileKind::Regular;
    info->size = (uint64_t(about.nFileSizeHigh) << 32) | about.nFileSizeLow;
    info->links = about.nNumberOfLinks;
    return true;
}

}  // namespace

bool StatFile(int fd, FileInfo* info) {
    HANDLE h = handleOf(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    if (!describeHandle(h, info)) return false;
    if (info->kind == FileKind::Link) info->kind = FileKind::Regular;  // what is open is the file itself
    return true;
}

bool StatPath(const std::string& path, FileInfo* info, bool followLinks) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;  // folders open too
    if (!followLinks) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h =
        CreateFileW(WideFromUtf8(SystemPathForm(path)).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failedTest();
    bool ok = describeHandle(h, info);
    CloseHandle(h);
    return ok;
}

int RemoveFile(const std::string& path) {
    return DeleteFileW(WideFromUtf8(SystemPathForm(path)).c_str()) ? 0 : int(failed());
}

int RenameFile(const std::string& from, const std::string& to) {
    return MoveFileExW(WideFromUtf8(SystemPathForm(from)).c_str(), WideFromUtf8(SystemPathForm(to)).c_str(),
                       MOVEFILE_REPLACE_EXISTING)
               ? 0
               : int(failed());
}

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
    std::string pattern = SystemPathForm(path);
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    WIN32_FIND_DATAW found{};
    HANDLE h = FindFirstFileW(WideFromUtf8(pattern + '*').c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoFromLastError();
        return false;
    }
    do {
        const std::string name = Utf8FromWide(found.cFileName);
        if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(h, &found));
    const bool ended = GetLastError() == ERROR_NO_MORE_FILES;
    if (!ended) errno = ErrnoFromLastError();
    FindClose(h);
    return ended;
}

long ProcessId() { return long(GetCurrentProcessId()); }

bool IsTerminal(int stdStream) { return _isatty(stdStream) != 0; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide || n != argc) {
        if (wide) LocalFree(wide);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i) args.push_back(Utf8FromWide(wide[i]));
    LocalFree(wide);
    return args;
}
