#include "sources/AddFiles.h"

namespace sources {

std::vector<std::string> PickedFilePaths(std::string answer, char separator) {
    std::vector<std::string> paths;
    if (answer.empty()) return paths;
    if (answer.back() != '\0') answer.push_back('\0');

    // Every piece ends in a NUL, so the text after the last NUL (an empty
    // piece) is not a name.
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t nul = answer.find('\0'); nul != std::string::npos; nul = answer.find('\0', start)) {
        pieces.push_back(answer.substr(start, nul - start));
        start = nul + 1;
    }
    if (pieces.size() < 2) {
        paths.push_back(pieces[0]);
        return paths;
    }
    const std::string folder = pieces[0] + separator;
    for (size_t k = 1; k < pieces.size(); ++k) paths.push_back(folder + pieces[k]);
    return paths;
}

}  // namespace sources
