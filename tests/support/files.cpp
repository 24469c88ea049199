#include "tests/support/files.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "common/Platform.h"

namespace testsupport {

TempDir::TempDir() {
#ifdef _WIN32
    // No mkdtemp: the first free name made of the process id and random bits.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("vellary-test-" + std::to_string(ProcessId()) + "-" +
                                                          std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) path_ = candidate;
    }
#else
    std::string pattern = (fs::temp_directory_path() / "vellary-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
}

const TempDir& ProgramTempDir() {
    static const TempDir dir;
    return dir;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::vector<std::string> ListFiles(const fs::path& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file()) out.push_back(fs::relative(it->path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<fs::path> FilesWithExtension(const fs::path& dir, const std::string& extension, bool recursive) {
    std::vector<fs::path> out;
    std::error_code ec;
    auto take = [&](const fs::directory_entry& e) {
        if (e.is_regular_file() && e.path().extension() == extension) out.push_back(e.path());
    };
    if (recursive)
        for (auto& e : fs::recursive_directory_iterator(dir, ec)) take(e);
    else
        for (auto& e : fs::directory_iterator(dir, ec)) take(e);
    std::sort(out.begin(), out.end());
    return out;
}

fs::path CorpusDir() {
    fs::path dir(VELLARY_CORPUS_DIR);
    std::error_code ec;
    return fs::is_directory(dir, ec) ? dir : fs::path();
}

static std::vector<fs::path> CorpusFiles(const char* part) {
    std::vector<fs::path> out;
    const fs::path corpus = CorpusDir();
    std::error_code ec;
    if (corpus.empty() || !fs::is_directory(corpus / part, ec)) return out;
    for (auto& e : fs::recursive_directory_iterator(corpus / part, ec))
        if (e.is_regular_file()) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<fs::path> CorpusMailboxes() { return CorpusFiles("mbox"); }
std::vector<fs::path> CorpusMessages() { return CorpusFiles("messages"); }

}  // namespace testsupport
