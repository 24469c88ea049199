#include "common/OutputFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "common/OutputFilesSystem.h"
#include "common/Platform.h"
#include "common/modMain.h"
#include "common/registry.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

const char* const kLinkInTheWay = "a symbolic link is in the way";

// OutputFilesWin32.cpp has the Windows form of what follows, up to
// OpenFolderBelow.
#ifndef _WIN32

FolderHandle::~FolderHandle() {
    if (fd_ >= 0) ::close(fd_);
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

namespace {

bool isLinkAt(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// The cause of a failed open of `name` in `dir` with O_NOFOLLOW: ELOOP (or
// EMLINK on the BSDs) is a link only when the name really is one.
std::string openFailure(int dir, const std::string& name, int e) {
    if ((e == ELOOP || e == EMLINK || e == ENOTDIR) && isLinkAt(dir, name)) return kLinkInTheWay;
    return std::strerror(e);
}

}  // namespace

namespace output_files {

FolderHandle OpenBase(const std::string& base) {
    return FolderHandle(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), base);
}

FolderHandle WalkBelow(FolderHandle dir, const std::string& relative, std::string* error,
                       std::vector<std::string>* made, bool create) {
    std::string walked = dir.path();
    if (!walked.empty() && walked.back() == '/') walked.pop_back();
    size_t pos = 0;
    while (pos < relative.size()) {
        size_t end = relative.find('/', pos);
        if (end == std::string::npos) end = relative.size();
        std::string name = relative.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty()) continue;
        walked += '/' + name;
        if (name == "." || name == "..") {
            if (error) *error = walked + ": a \".\" or \"..\" part cannot be followed";
            return {};
        }
        int next = ::openat(dir.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(dir.fd(), name.c_str(), 0777) == 0) {
                if (made) made->push_back(relative.substr(0, end));
            } else if (errno != EEXIST) {
                if (error) *error = walked + ": " + std::strerror(errno);
                return {};
            }
            next = ::openat(dir.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            if (error) *error = walked + ": " + openFailure(dir.fd(), name, errno);
            return {};
        }
        dir = FolderHandle(next);
    }
    return dir;
}

void RemoveEmptyFolderIn(const FolderHandle& dir, const std::string& name) {
    // Removes only an empty folder; a link of that name is refused
    // (ENOTDIR), never followed.
    ::unlinkat(dir.fd(), name.c_str(), AT_REMOVEDIR);
}

}  // namespace output_files

int OpenOutputFile(const FolderHandle& folder, const std::string& name, OutputOpen how, std::string* error) {
    // O_NONBLOCK: a FIFO in the way must not hang the run; it is refused below.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (how == OutputOpen::CreateNew) flags |= O_EXCL;
    int fd = ::openat(folder.fd(), name.c_str(), flags, 0644);
    if (fd < 0) {
        if (error) *error = openFailure(folder.fd(), name, errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = "not a regular file";
        ::close(fd);
        return -1;
    }
    if (st.st_nlink > 1) {
        // Another name of this file may be anywhere on the file system: the
        // name is given a new file and the other's bytes stay as they are.
        ::close(fd);
        if (::unlinkat(folder.fd(), name.c_str(), 0) != 0 ||
            (fd = ::openat(folder.fd(), name.c_str(), flags | O_EXCL, 0644)) < 0) {
            if (error) *error = openFailure(folder.fd(), name, errno);
            return -1;
        }
    }
    return fd;
}

bool RenameWithoutReplacing(const FolderHandle& folder, const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(folder.fd(), from.c_str(), folder.fd(), to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    // Without RENAME_NOREPLACE: a hard link fails when the name is taken.
    if (::linkat(folder.fd(), from.c_str(), folder.fd(), to.c_str(), 0) != 0) return false;
    ::unlinkat(folder.fd(), from.c_str(), 0);
    return true;
}

void RemoveFileIn(const FolderHandle& folder, const std::string& name) { ::unlinkat(folder.fd(), name.c_str(), 0); }

#endif

FolderHandle OpenFolderBelow(const std::string& base, const std::string& relative, std::string* error,
                             std::vector<std::string>* made) {
    std::string why;
    if (!EnsureFolderPath(base, &why)) {
        if (error) *error = base + ": " + why;
        return {};
    }
    FolderHandle dir = output_files::OpenBase(base);
    if (!dir) {
        if (error) *error = base + ": " + std::strerror(errno);
        return {};
    }
    return output_files::WalkBelow(std::move(dir), relative, error, made, true);
}

void RemoveEmptyFoldersBelow(const std::string& base, std::vector<std::string> relative) {
    auto depth = [](const std::string& path) { return std::count_if(path.begin(), path.end(), IsPathSeparator); };
    std::sort(relative.begin(), relative.end(), [&](const std::string& a, const std::string& b) {
        return depth(a) != depth(b) ? depth(a) > depth(b) : a < b;
    });
    relative.erase(std::unique(relative.begin(), relative.end()), relative.end());
    for (const std::string& path : relative) {
        std::string parent = FolderOfPath(path);
        if (!parent.empty()) parent.pop_back();  // without its separator
        const std::string name = FileNameOfPath(path);
        if (name.empty() || name == "." || name == "..") continue;
        FolderHandle top = output_files::OpenBase(base);
        if (!top) return;
        FolderHandle dir = output_files::WalkBelow(std::move(top), parent, nullptr, nullptr, false);
        if (dir) output_files::RemoveEmptyFolderIn(dir, name);
    }
}

std::string CreateUnderFreeName(const std::string& stem, const std::string& ext,
                                const std::function<bool(const std::string& path)>& create) {
    // Far more names than anyone keeps beside one another; the bound only
    // ends the walk should every name be taken.
    constexpr int kMostNames = 10000;
    for (int n = 1; n <= kMostNames; ++n) {
        std::string path = n == 1 ? stem + ext : stem + " (" + std::to_string(n) + ")" + ext;
        if (create(path)) return path;
        FileInfo info;
        if (!StatPath(path, &info, false)) break;  // not taken: the create failed for another cause
    }
    return std::string();
}

bool IsSymbolicLink(const std::string& path) {
    FileInfo info;
    return StatPath(path, &info, false) && info.kind == FileKind::Link;
}

std::string UniqueRunTag() {
    std::random_device random;
    char text[48];
    std::snprintf(text, sizeof text, "%ld-%08x", ProcessId(), unsigned(random()));
    return text;
}
