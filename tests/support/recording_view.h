// A conversion view for the tests of the run, and the run itself.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "conversion/ConversionRun.h"
#include "conversion/RunView.h"

namespace testsupport {

// A view that records what the run shows, answers the folder dialog with a
// fixed folder and never pumps events.
class RecordingView : public conversion::RunView {
public:
    std::string folder;  // the folder dialog's answer
    std::vector<std::string> mailboxCaptions, sourceCaptions, progressCaptions;
    struct Box {
        std::string text, title;
        int style;
    };
    std::vector<Box> boxes;
    std::vector<int> rows;
    std::vector<bool> convertEnabled;
    int clears = 0;
    int yields = 0;
    int stopAfterYields = -1;  // when >= 0: stopRequested() turns true after that many yields

    std::string browseForFolder(const std::string&) override { return folder; }
    void setConvertEnabled(bool e) override { convertEnabled.push_back(e); }
    void clearTargetForm() override { ++clears; }
    void setCurrentRow(int r) override { rows.push_back(r); }
    void setMailboxCaption(const std::string& t) override { mailboxCaptions.push_back(t); }
    void setSourceFileCaption(const std::string& t) override { sourceCaptions.push_back(t); }
    void setProgressCaption(const std::string& t) override { progressCaptions.push_back(t); }
    void showMessage(const std::string& text, const std::string& title, int style) override {
        boxes.push_back({text, title, style});
    }
    void yield() override { ++yields; }
    bool stopRequested() const override { return stopAfterYields >= 0 && yields >= stopAfterYields; }
};

// Converts `rows` to `form` with `view`, whose folder dialog names the output folder.
inline conversion::RunOutcome ConvertRows(RecordingView& view, conversion::TargetForm form,
                                          std::vector<std::string> rows, bool singleStore = false) {
    conversion::RunRequest request;
    request.form = form;
    request.singleStore = singleStore;
    request.rows = std::move(rows);
    return conversion::ConversionRun(view, request).execute();
}

// The same into `outFolder` (made first), with a view of its own.
inline conversion::RunOutcome ConvertRows(const std::filesystem::path& outFolder, conversion::TargetForm form,
                                          std::vector<std::string> rows, bool singleStore = false) {
    std::filesystem::create_directories(outFolder);
    RecordingView view;
    view.folder = outFolder.string();
    return ConvertRows(view, form, std::move(rows), singleStore);
}

}  // namespace testsupport
