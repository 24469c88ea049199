// Opening what a run writes below its output folder so that a symbolic link
// planted in the tree is never followed: folders are walked one name at a
// time from the output folder, and files are opened relative to their folder.
// The output folder itself is taken as the user gave it, links and all.
#pragma once

#include <functional>
#include <string>
#include <vector>

// An open folder, closed with its holder.
// On Windows, which opens nothing relative to a folder, the handle holds the
// folder's path too, and keeps the folder from being renamed or removed
// while it is open, so that the path goes on naming the folder walked.
class FolderHandle {
public:
    FolderHandle() = default;
    explicit FolderHandle(int fd, std::string path = {}) : fd_(fd), path_(std::move(path)) {}
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string path_;
};

// Opens the folder `relative` (separated by '/', on Windows by '\' as well;
// no "." or ".." parts) below
// `base`, creating `base` and every missing folder on the way. A name below
// `base` that is a symbolic link or not a folder stops the walk: the handle
// is then empty and `error` names the path and the cause. Each folder below
// `base` that this call made is added to `made` (when given), as its path
// relative to `base`.
FolderHandle OpenFolderBelow(const std::string& base, const std::string& relative, std::string* error,
                             std::vector<std::string>* made = nullptr);

// Removes those of the folders `relative` to `base` (as OpenFolderBelow
// lists them) that are empty, the deepest first, so that a folder emptied by
// the removal of its sub-folders goes too. A folder that holds anything
// stays; no link is followed.
void RemoveEmptyFoldersBelow(const std::string& base, std::vector<std::string> relative);

enum class OutputOpen {
    Replace,    // a regular file of that name is overwritten in place, or a new one made
    CreateNew,  // fails when anything has that name
};

// Opens `name` in `folder` for writing; never follows a symbolic link and
// never writes into a file that has another hard link (it could be outside
// the output folder). Returns the descriptor, or -1 with `error` set.
int OpenOutputFile(const FolderHandle& folder, const std::string& name, OutputOpen how, std::string* error);

// Renames `from` to `to` in `folder` unless something has the name `to`.
bool RenameWithoutReplacing(const FolderHandle& folder, const std::string& from, const std::string& to);

// Removes the file `name` from `folder` (a link is removed, not followed).
void RemoveFileIn(const FolderHandle& folder, const std::string& name);

// Makes a new file under the first free one of the names `stem` + `ext`,
// `stem` + " (2)" + `ext`, " (3)"...: `create` is called with each path in
// turn and must make the file with O_CREAT|O_EXCL (and no link followed), so
// the name is claimed by the create itself and a name that another process
// takes meanwhile is passed over, never shared. It goes on to the next name
// only while the one it tried is taken. The path made, or "" when `create`
// failed for another cause (the last cause is in `create`'s keeping).
std::string CreateUnderFreeName(const std::string& stem, const std::string& ext,
                                const std::function<bool(const std::string& path)>& create);

// True when `path` itself is a symbolic link.
bool IsSymbolicLink(const std::string& path);

// A name part that no other run and no user file has: the process id and
// random bits ("4711-9f3c02ad").
std::string UniqueRunTag();

// The text a link in the way is reported with.
extern const char* const kLinkInTheWay;  // "a symbolic link is in the way"
