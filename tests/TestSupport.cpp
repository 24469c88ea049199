#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("vellary-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

fs::path CorpusDir() {
    fs::path dir(VELLARY_CORPUS_DIR);
    std::error_code ec;
    return fs::is_directory(dir, ec) ? dir : fs::path();
}

static std::vector<fs::path> filesBelow(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    if (dir.empty() || !fs::is_directory(dir, ec)) return out;
    for (auto& e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file()) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<fs::path> CorpusMailboxes() {
    fs::path c = CorpusDir();
    return c.empty() ? std::vector<fs::path>{} : filesBelow(c / "mbox");
}

std::vector<fs::path> CorpusMessages() {
    fs::path c = CorpusDir();
    return c.empty() ? std::vector<fs::path>{} : filesBelow(c / "messages");
}

}  // namespace testsupport
