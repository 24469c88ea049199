// The folder walk and the output files of OutputFiles.h on Windows. Nothing
// opens relative to a folder here: each folder walked is held open, without
// FILE_SHARE_DELETE, so it cannot be renamed or removed while its path is
// used, and every name is opened with FILE_FLAG_OPEN_REPARSE_POINT and
// refused when it is a reparse point (a symbolic link or a junction).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "common/OutputFiles.h"
#include "common/OutputFilesSystem.h"
#include "common/Platform.h"
#include "common/modMain.h"
#include "common/registry.h"

FolderHandle::~FolderHandle() {
    if (fd_ >= 0) _close(fd_);
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) _close(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

namespace {

// The run names the folders below the output folder with the system's
// separator; both are taken.
constexpr const char* kSeparators = "/\\";

std::wstring systemPath(const std::string& path) { return WideFromUtf8(SystemPathForm(path)); }

std::string joined(const FolderHandle& folder, const std::string& name) { return folder.path() + '\\' + name; }

// What `path` itself is, links not followed: its attributes, or
// INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(const std::string& path) { return GetFileAttributesW(systemPath(path).c_str()); }

bool isLink(const std::string& path) {
    DWORD a = attributesOf(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the folder `path` itself. Empty, with errno set, when it is missing,
// a reparse point or no folder.
FolderHandle openFolder(const std::string& path, bool* link) {
    *link = false;
    HANDLE h = CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoFromLastError();
        return {};
    }
    BY_HANDLE_FILE_INFORMATION about{};
    if (!GetFileInformationByHandle(h, &about) || (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *link = about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
        CloseHandle(h);
        errno = ENOTDIR;
        return {};
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
        return {};
    }
    return FolderHandle(fd, path);
}

std::string baseForm(std::string base) {
    while (base.size() > 1 && (base.back() == '/' || base.back() == '\\') && base[base.size() - 2] != ':')
        base.pop_back();
    return base;
}

}  // namespace

namespace output_files {

FolderHandle OpenBase(const std::string& base) {
    // Taken as the user gave it: links are followed here, and only here.
    HANDLE h = CreateFileW(systemPath(base).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoFromLastError();
        return {};
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY);
    if (fd < 0) {
        errno = ErrnoFromLastError();
        CloseHandle(h);
        return {};
    }
    return FolderHandle(fd, baseForm(base));
}

FolderHandle WalkBelow(FolderHandle dir, const std::string& relative, std::string* error,
                       std::vector<std::string>* made, bool create) {
    size_t pos = 0;
    while (pos < relative.size()) {
        size_t end = relative.find_first_of(kSeparators, pos);
        if (end == std::string::npos) end = relative.size();
        std::string name = relative.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty()) continue;
        const std::string path = joined(dir, name);
        if (name == "." || name == "..") {
            if (error) *error = path + ": a \".\" or \"..\" part cannot be followed";
            return {};
        }
        if (create && attributesOf(path) == INVALID_FILE_ATTRIBUTES) {
            if (CreateDirectoryW(systemPath(path).c_str(), nullptr)) {
                if (made) made->push_back(relative.substr(0, end));
            } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
                if (error) *error = path + ": " + std::strerror(ErrnoFromLastError());
                return {};
            }
        }
        bool link = false;
        FolderHandle next = openFolder(path, &link);
        if (!next) {
            if (error) *error = path + ": " + (link ? kLinkInTheWay : std::strerror(errno));
            return {};
        }
        dir = std::move(next);
    }
    return dir;
}

void RemoveEmptyFolderIn(const FolderHandle& dir, const std::string& name) {
    // Removes only an empty folder; a link of that name is left alone
    // (RemoveDirectoryW would remove the link).
    const std::string target = joined(dir, name);
    if (!isLink(target)) RemoveDirectoryW(systemPath(target).c_str());
}

}  // namespace output_files

int OpenOutputFile(const FolderHandle& folder, const std::string& name, OutputOpen how, std::string* error) {
    const std::string path = joined(folder, name);
    auto open = [&](DWORD disposition) {
        HANDLE h =
            CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            errno = ErrnoFromLastError();
            if (error) *error = isLink(path) ? kLinkInTheWay : std::strerror(errno);
        }
        return h;
    };
    HANDLE h = open(how == OutputOpen::CreateNew ? CREATE_NEW : OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION about{};
    const bool known = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &about);
    if (!known || (about.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        if (error)
            *error =
                known && (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? kLinkInTheWay : "not a regular file";
        CloseHandle(h);
        return -1;
    }
    if (about.nNumberOfLinks > 1) {
        // Another name of this file may be anywhere on the volume: the name
        // is given a new file and the other's bytes stay as they are.
        CloseHandle(h);
        if (!DeleteFileW(systemPath(path).c_str())) {
            if (error) *error = std::strerror(ErrnoFromLastError());
            return -1;
        }
        h = open(CREATE_NEW);
        if (h == INVALID_HANDLE_VALUE) return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        if (error) *error = std::strerror(EMFILE);
    }
    return fd;
}

bool RenameWithoutReplacing(const FolderHandle& folder, const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` is taken.
    return MoveFileExW(systemPath(joined(folder, from)).c_str(), systemPath(joined(folder, to)).c_str(), 0);
}

void RemoveFileIn(const FolderHandle& folder, const std::string& name) {
    // DeleteFileW removes a symbolic link itself, never its target.
    DeleteFileW(systemPath(joined(folder, name)).c_str());
}
