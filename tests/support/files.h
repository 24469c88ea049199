// Files for the tests: temporary folders, whole-file reads and writes, folder
// listings and the shared corpus of third-party mail.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder below the system's temporary folder (TMPDIR), removed with
// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    // A path inside the folder, as text.
    std::string file(const std::string& relative) const { return (path_ / relative).string(); }

private:
    fs::path path_;
};

// One temporary folder for the whole test program, removed when it ends.
const TempDir& ProgramTempDir();

// A file's name and bytes, as a writer was given them or a reader gave them back.
struct SourceFile {
    std::string name;  // "" when it has none
    std::string bytes;
};

// The whole file; "" when it cannot be read.
std::string ReadFile(const fs::path& path);
// Creates the parent folders and replaces the file with `bytes`.
void WriteFile(const fs::path& path, const std::string& bytes);
// Every regular file below `dir`, as paths relative to it, sorted.
std::vector<std::string> ListFiles(const fs::path& dir);
// The files directly in `dir` (below it when `recursive`) that end in
// `extension`, sorted; none when `dir` is missing.
std::vector<fs::path> FilesWithExtension(const fs::path& dir, const std::string& extension, bool recursive);

// The shared corpus of third-party mailboxes and messages; empty when it is missing.
fs::path CorpusDir();
std::vector<fs::path> CorpusMailboxes();
std::vector<fs::path> CorpusMessages();

}  // namespace testsupport
