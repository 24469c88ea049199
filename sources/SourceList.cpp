#include "sources/SourceList.h"

namespace sources {

int SourceList::addFile(std::string path) {
    if (isEmpty()) {
        rows_[0] = std::move(path);
        return 0;
    }
    rows_.push_back(std::move(path));
    return rowCount() - 1;
}

std::string CountCaption(int rowCount) { return std::to_string(rowCount) + " files"; }

}  // namespace sources
