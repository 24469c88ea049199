// pathLogger: the breadth-first walk of a folder tree that gathers every file
// below a chosen folder for the source list. Widget-free, on std::filesystem.
//
// The walk keeps a queue of folder paths (pathNames, keys "K0", "K2", "K3", ...
// by queue position; entry 1 is the starting folder) and records each file it
// finds under "K" and the file's number (from 1). A folder's sub-folders are
// queued before its files are recorded, so files come level by level: the
// starting folder's own, then its sub-folders' in listed order, then the next
// level. Every folder path ends in the native separator.
//
// Listed order is name order (byte-wise), the same on every run. A folder that
// cannot be listed is skipped and the walk goes on; a link to a folder is
// followed once, never into a folder already queued, so links cannot loop.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sources {

// An ordered collection whose entries also carry a unique text key. Adding a
// key that is already there throws std::invalid_argument and adds nothing.
template <typename T>
class KeyedCollection {
public:
    void add(const std::string& key, T value) {
        if (!index_.emplace(key, items_.size()).second)
            throw std::invalid_argument("key already in the collection: " + key);
        items_.emplace_back(key, std::move(value));
    }
    int count() const { return static_cast<int>(items_.size()); }
    // Entry by position, counted from 1.
    const T& item(int position) const { return items_.at(static_cast<size_t>(position - 1)).second; }
    const std::string& keyAt(int position) const { return items_.at(static_cast<size_t>(position - 1)).first; }
    // Entry by key; throws std::out_of_range for an unknown key.
    const T& item(const std::string& key) const { return items_.at(index_.at(key)).second; }
    std::vector<T> values() const {
        std::vector<T> out;
        out.reserve(items_.size());
        for (const auto& entry : items_) out.push_back(entry.second);
        return out;
    }

private:
    std::vector<std::pair<std::string, T>> items_;
    std::unordered_map<std::string, size_t> index_;
};

using TextCollection = KeyedCollection<std::string>;
using NumberCollection = KeyedCollection<int>;

class pathLogger {
public:
    // Starts afresh: fullFileNamesOnly becomes true and the four collections
    // are dropped (callers holding one keep it). The file counter stays.
    void PathLogInit();
    // Walks the tree below `strPARENT` (with or without a final separator).
    // A folder that does not exist records nothing and leaves the counter.
    void LogPath(const std::string& strPARENT);
    // The number the next file would get: one more than the files recorded
    // by the last walk, 0 before any walk.
    int Count() const { return fileCounter_; }
    // Drops the collections and the walk's state.
    void Terminate();

    bool fullFileNamesOnly() const { return fullFileNamesOnly_; }
    void setFullFileNamesOnly(bool value) { fullFileNamesOnly_ = value; }

    // The collections, each made empty on first use. When fullFileNamesOnly
    // is false, fileNames, fullFileNames and pathPointers are filled side by
    // side under the same keys; pathPointers holds the position of the file's
    // folder in pathNames.
    std::shared_ptr<const TextCollection> fileNames();
    std::shared_ptr<const TextCollection> pathNames();
    std::shared_ptr<const NumberCollection> pathPointers();
    std::shared_ptr<const TextCollection> fullFileNames();

private:
    static std::string AddBackslash(const std::string& path);
    void dropCollections();
    template <typename C>
    static std::shared_ptr<C>& made(std::shared_ptr<C>& c) {
        if (!c) c = std::make_shared<C>();
        return c;
    }

    int fileCounter_ = 0;
    bool fullFileNamesOnly_ = true;
    std::shared_ptr<TextCollection> fileNames_;
    std::shared_ptr<NumberCollection> pathPointers_;
    std::shared_ptr<TextCollection> pathNames_;
    std::shared_ptr<TextCollection> fullFileNames_;
};

// The whole folder add's walk: every file below `folder`, breadth-first, as
// full paths. Empty when the folder does not exist or holds no file. Used by
// the window's folder add and by the command-line converter for a folder
// given as a source.
std::vector<std::string> FilesBelowFolder(const std::string& folder);

}  // namespace sources
