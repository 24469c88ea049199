#include "common/modMain.h"

#include <filesystem>
#include <system_error>

#include "common/Platform.h"

namespace fs = std::filesystem;

bool EnsureFolderPath(const std::string& path, std::string* error) {
    if (path.empty()) {
        if (error) *error = "no folder given";
        return false;
    }
    std::error_code ec;
    const fs::path folder = PathFromUtf8(SystemPathForm(path));
    fs::create_directories(folder, ec);
    if (!ec && fs::is_directory(folder, ec)) return true;
    if (error) *error = ec ? ec.message() : "not a folder";
    return false;
}
