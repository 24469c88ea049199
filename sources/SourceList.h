// The source list: the ordered source mailbox paths a conversion run works
// through. Widget-free; the window shows it in its grid and the command-line
// converter fills one from its arguments. Part of the source-list layer; it
// depends only on the standard library.
//
// Row model: row r holds the r-th path exactly as it was added. The empty list
// is one row holding "" (so a run over it still sees one row), and adding to
// it fills that row instead of appending one. Nothing checks, sorts or removes
// single rows; duplicates are kept.
#pragma once

#include <string>
#include <vector>

namespace sources {

class SourceList {
public:
    SourceList() : rows_(1) {}

    // AddFileToList: writes `path` into row 0 of an empty list, otherwise
    // appends a row. Returns the row written.
    int addFile(std::string path);
    // ClearFileList: back to one empty row.
    void clear() { rows_.assign(1, std::string()); }

    // True when the list holds one row and that row's text is empty.
    bool isEmpty() const { return rows_.size() == 1 && rows_[0].empty(); }
    int rowCount() const { return static_cast<int>(rows_.size()); }
    const std::string& text(int row) const { return rows_.at(static_cast<size_t>(row)); }
    // Every row's text, in order: what a conversion run is given.
    const std::vector<std::string>& rows() const { return rows_; }

private:
    std::vector<std::string> rows_;
};

// The count label's text after an add: the row count and " files" (no
// singular). A cleared list shows kEmptyCountCaption.
std::string CountCaption(int rowCount);
inline constexpr const char* kEmptyCountCaption = "0 files";

}  // namespace sources
