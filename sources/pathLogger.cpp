#include "sources/pathLogger.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "common/Platform.h"
#include "common/registry.h"

namespace fs = std::filesystem;

namespace sources {
namespace {

constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);

bool endsInSeparator(const std::string& path) { return !path.empty() && IsPathSeparator(path.back()); }

std::string AddSeparator(const std::string& path) { return endsInSeparator(path) ? path : path + kSeparator; }

// One folder's listing: its sub-folders and its files (links followed), each
// in name order. A folder that cannot be read gives what was read before the
// failure, usually nothing.
struct Listing {
    std::vector<std::string> folders;
    std::vector<std::string> files;
};

Listing listFolder(const std::string& folder) {
    Listing listing;
    std::vector<std::string> names;
    ListFolder(folder, &names);
    for (std::string& name : names) {
        // Links followed: a link to a folder lists as a folder, a link to a
        // file as a file, and a broken link as neither. Asked of the platform
        // layer: std::filesystem fails on a long path on Windows.
        FileInfo info;
        if (!StatPath(AddSeparator(folder) + name, &info, true)) continue;
        if (info.kind == FileKind::Folder)
            listing.folders.push_back(std::move(name));
        else if (info.kind == FileKind::Regular)
            listing.files.push_back(std::move(name));
    }
    std::sort(listing.folders.begin(), listing.folders.end());
    std::sort(listing.files.begin(), listing.files.end());
    return listing;
}

// The identity of a folder, to queue it only once however many links lead to it.
std::string folderIdentity(const std::string& folder) {
    std::error_code ec;
    fs::path canonical = fs::canonical(PathFromUtf8(SystemPathForm(folder)), ec);
    return ec ? folder : Utf8FromPath(canonical);
}

}  // namespace

void pathLogger::PathLogInit() {
    fullFileNamesOnly_ = true;
    dropCollections();
}

void pathLogger::Terminate() { dropCollections(); }

void pathLogger::dropCollections() {
    fileNames_.reset();
    pathPointers_.reset();
    pathNames_.reset();
    fullFileNames_.reset();
}

std::string pathLogger::AddBackslash(const std::string& path) {
    return endsInSeparator(path) ? path : path + kSeparator;
}

void pathLogger::LogPath(const std::string& strPARENT) {
    FileInfo info;
    if (strPARENT.empty() || !StatPath(strPARENT, &info, true) || info.kind != FileKind::Folder) return;

    fileCounter_ = 1;
    int queued = 1;  // j: the queue's length
    auto& pathNames = made(pathNames_);
    auto& fullFileNames = made(fullFileNames_);
    pathNames->add("K0", AddBackslash(strPARENT));
    std::set<std::string> seen{folderIdentity(strPARENT)};

    for (int i = 1; i <= queued; ++i) {
        const std::string folder = pathNames->item(i);
        Listing listing = listFolder(folder);
        for (const std::string& name : listing.folders) {
            std::string sub = folder + name + kSeparator;
            if (!seen.insert(folderIdentity(sub)).second) continue;  // a link back into the tree
            ++queued;
            pathNames->add("K" + std::to_string(queued), sub);
        }
        for (const std::string& name : listing.files) {
            const std::string key = "K" + std::to_string(fileCounter_);
            if (fullFileNamesOnly_) {
                fullFileNames->add(key, folder + name);
            } else {
                made(fileNames_)->add(key, name);
                fullFileNames->add(key, folder + name);
                made(pathPointers_)->add(key, i);
            }
            ++fileCounter_;
        }
    }
}

std::shared_ptr<const TextCollection> pathLogger::fileNames() { return made(fileNames_); }
std::shared_ptr<const TextCollection> pathLogger::pathNames() { return made(pathNames_); }
std::shared_ptr<const NumberCollection> pathLogger::pathPointers() { return made(pathPointers_); }
std::shared_ptr<const TextCollection> pathLogger::fullFileNames() { return made(fullFileNames_); }

std::vector<std::string> FilesBelowFolder(const std::string& folder) {
    pathLogger logger;
    logger.PathLogInit();
    logger.setFullFileNamesOnly(true);
    logger.LogPath(folder);
    std::shared_ptr<const TextCollection> found = logger.fullFileNames();
    logger.Terminate();
    return found->values();
}

}  // namespace sources
