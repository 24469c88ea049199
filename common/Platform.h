// What the core takes from the operating system for its files, one set of
// calls on every system: PlatformPosix.cpp or PlatformWin32.cpp is built.
//
// Paths are UTF-8 text everywhere in the core. On Windows they are turned
// into UTF-16 only here, and an absolute path too long for the classic calls
// is given the \\?\ form. Files are the C runtime's int descriptors on both
// systems, so a call site keeps its types; failures set errno as POSIX does
// (the Windows source maps the system's error codes onto it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

#ifdef _WIN32
// Gathered writes take the POSIX layout on Windows too.
struct iovec {
    void* iov_base;
    size_t iov_len;
};
#else
#include <sys/uio.h>
#endif

// How OpenFile opens: one of the access modes, with any of the others.
enum OpenFlag : unsigned {
    kOpenRead = 1,
    kOpenWrite = 2,
    kOpenReadWrite = 3,
    kOpenCreate = 4,     // made when missing
    kOpenExclusive = 8,  // with kOpenCreate: fails (EEXIST) when anything has the name
    kOpenTruncate = 16,
};

// Opens a file; the descriptor is not inherited by programs the process
// starts. Returns it, or -1 with errno set.
int OpenFile(const std::string& path, unsigned flags, int mode = 0644);
int CloseFile(int fd);

// read(), write(), pread(), pwrite() and writev() with their POSIX results:
// the count moved (perhaps short), or -1 with errno set. Offsets are 64-bit.
ssize_t ReadSome(int fd, void* buffer, size_t size);
ssize_t WriteSome(int fd, const void* data, size_t size);
ssize_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset);
ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset);
ssize_t WriteGather(int fd, const iovec* parts, int count);

// Maps `size` bytes of an open file read-only (copy on write, never written);
// nullptr when it cannot be mapped. UnmapFile takes the same size back.
const void* MapFileReadOnly(int fd, size_t size);
void UnmapFile(const void* map, size_t size);
// Lets the system take back the resident pages of `size` bytes at `at`, a
// part of such a mapping; they are read again from the file if touched.
void DropMappedPages(const void* at, size_t size);

// Moves the file position to the start. 0, or -1 with errno set.
int RewindFile(int fd);
// Sets the file's length. 0, or -1 with errno set.
int SetFileLength(int fd, uint64_t size);

enum class FileKind { Regular, Folder, Pipe, CharDevice, BlockDevice, Socket, Link, Other };

struct FileInfo {
    FileKind kind = FileKind::Other;
    uint64_t size = 0;
    uint64_t links = 1;  // names the file has
};

// What an open file is. False with errno set when it cannot be told.
bool StatFile(int fd, FileInfo* info);
// What `path` names; a symbolic link (or, on Windows, any reparse point) is
// reported as a Link unless `followLinks`. False with errno set when
// nothing has that name or it cannot be looked at.
bool StatPath(const std::string& path, FileInfo* info, bool followLinks);

// unlink() and rename() (the latter replaces a file at `to`). 0, or -1 with errno set.
int RemoveFile(const std::string& path);
int RenameFile(const std::string& from, const std::string& to);

// The names in a folder (not "." and ".."), in the system's order. False
// with errno set when it cannot be read; what was read stays in `names`.
bool ListFolder(const std::string& path, std::vector<std::string>* names);

long ProcessId();
// Whether the standard stream (0, 1, 2) is a terminal or a console.
bool IsTerminal(int stdStream);

// std::filesystem paths made from, and read back as, UTF-8 text: the plain
// std::string constructor takes the system's 8-bit code page on Windows.
std::filesystem::path PathFromUtf8(const std::string& utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// The form under which the system opens a path: on Windows an absolute path
// of kClassicPathLimit characters or more becomes "\\?\C:\..." (and
// "\\server\share\..." becomes "\\?\UNC\server\share\..."), with '/' turned
// into '\' and "." and ".." parts resolved, since the system no longer does
// either below that prefix. A relative path, a short one and one already in
// that form stay as they are. Elsewhere: the path unchanged.
constexpr size_t kClassicPathLimit = 248;  // CreateDirectoryW's limit, below MAX_PATH (260)
std::string SystemPathForm(const std::string& utf8Path);
// The same rules, for any system: what the Windows build does with `path`.
std::string WindowsLongPathForm(const std::string& path);

// The program's arguments as UTF-8: on Windows read from the wide command
// line, since argv holds them in the 8-bit code page.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

#ifdef _WIN32
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
// The error code of the last failed Win32 call, as an errno value.
int ErrnoFromLastError();
#endif
