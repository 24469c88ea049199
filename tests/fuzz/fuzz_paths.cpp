// Fuzzes the path helpers with any text as a source-list row, deriving the
// output names the way the run does (ConversionRun::convertRow, StoreSteps):
// the mailbox folder, its message files, the per-mailbox store file. None may
// leave the output folder: below it, no "..", "." or empty part. POSIX
// separators only.
//
// Also the helpers' own promises: NormaliseSourcePath gives "" or an
// absolute path with no ".", ".." or empty part and no trailing separator;
// FileNameOfPath gives the part after the last '/'; PathWithoutRoot gives a
// suffix of its input that does not start with a separator.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/registry.h"

namespace {

const std::string kOutputFolder = "/fuzz/out/";

[[noreturn]] void fault(const char* what, const std::string& row, const std::string& path) {
    std::fprintf(stderr, "fuzz_paths: %s\n  row:  ", what);
    for (unsigned char c : row) std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    std::fprintf(stderr, "\n  path: ");
    for (unsigned char c : path) std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// The parts of `path` between '/' separators; false on an empty, "." or ".." part.
bool cleanParts(std::string_view path) {
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string_view part = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

// `path` as the system reads it stays below the output folder. `mayBeFolder`:
// the output folder itself is allowed (the mailbox folder of the root "/").
void checkBelowOutput(const std::string& row, const std::string& path, bool mayBeFolder) {
    if (!path.starts_with(kOutputFolder)) fault("a name outside the output folder", row, path);
    std::string_view rel = std::string_view(path).substr(kOutputFolder.size());
    if (rel.empty() && mayBeFolder) return;
    if (!cleanParts(rel)) fault("a name with an empty, \".\" or \"..\" part below the output folder", row, path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string row(reinterpret_cast<const char*>(data), size);
    // Rows come from the file dialog, the folder walk and the command line,
    // none of which can carry a NUL byte.
    if (row.find('\0') != std::string::npos) return 0;

    const std::string sourcePath = NormaliseSourcePath(row);
    if (sourcePath.empty()) {
        if (TrimBlanks(row) != "") fault("a non-blank row normalised to nothing", row, sourcePath);
        return 0;
    }
    if (sourcePath[0] != '/') fault("a normalised source path that is not absolute", row, sourcePath);
    if (sourcePath != "/" && !cleanParts(std::string_view(sourcePath).substr(1)))
        fault("a normalised source path with an empty, \".\" or \"..\" part", row, sourcePath);

    const std::string rel = PathWithoutRoot(sourcePath);
    if (!std::string_view(sourcePath).ends_with(rel)) fault("PathWithoutRoot is not a suffix of its input", row, rel);
    if (!rel.empty() && rel[0] == '/') fault("PathWithoutRoot left a leading separator", row, rel);

    const std::string fileName = FileNameOfPath(sourcePath);
    if (fileName.find('/') != std::string::npos || !sourcePath.ends_with("/" + fileName))
        fault("FileNameOfPath is not the part after the last separator", row, fileName);

    const std::string mailboxFolder = kOutputFolder + rel;
    const std::string mailboxName = ReplaceAll(TrimBlanks(ReplaceAll(TrimBlanks(fileName), ".mbox", "")), ".MBOX", "");

    // Only the root "/" has no path below its root; it is a folder and yields no message files.
    const bool root = sourcePath == "/";
    checkBelowOutput(row, mailboxFolder, root);
    if (!root)
        for (const char* name : {"/email-1.eml", "/email-2.emlx", "/Email-1.msg", "/.vellary-spare.eml"})
            checkBelowOutput(row, mailboxFolder + name, false);
    checkBelowOutput(row, kOutputFolder + mailboxName + ".pst", false);
    return 0;
}
