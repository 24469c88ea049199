// The conversion run: what the Convert button does. It checks that a target
// form is chosen, asks for the output folder, and converts every source
// mailbox in turn, reporting progress and the outcome through its view.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conversion/RunView.h"
#include "conversion/StoreSteps.h"

namespace conversion {

extern const char* const kAppTitle;   // "Osmark Vellary Converter"
extern const char* const kAsterisks;  // the row of 75 asterisks
// The cause named for a mailbox in which the splitter found no message.
extern const char* const kNoMessagesFound;  // "no messages found"

// What the run is asked to do, taken when Convert is pressed.
struct RunRequest {
    TargetForm form = TargetForm::None;
    // One store for all mailboxes: the check box was enabled and checked.
    bool singleStore = false;
    // The texts of the source list's rows, in order. An empty list is one
    // row holding "".
    std::vector<std::string> rows;
};

struct RunFailure {
    std::string path;
    std::string cause;
};

struct RunOutcome {
    bool started = false;          // false: no form chosen, or the folder dialog was cancelled
    bool storeFailure = false;     // ended by the "Outlook Error" report
    bool stopped = false;          // the window was closed during the run
    int mailboxesFailed = 0;       // could not be read, or their folder not created
    long long messagesFailed = 0;  // message files (or store items) not written, or lost with their store
    int storesUnfinished = 0;      // stores that could not be finished
    long long messagesSaved = 0;
    std::vector<RunFailure> failures;  // every failure, in order
    bool anyFailed() const { return mailboxesFailed > 0 || messagesFailed > 0 || storesUnfinished > 0; }
    bool ok() const { return started && !storeFailure && !stopped && !anyFailed(); }
};

class ConversionRun {
public:
    ConversionRun(RunView& view, RunRequest request);
    ~ConversionRun();

    // The whole run, from the check of the target form to the completion message.
    RunOutcome execute();

private:
    // False when the mailbox's own store cannot be opened.
    bool convertRow(int row, int rowCount, const std::string& rowText, const std::string& outputFolder);
    void fail(const std::string& path, const std::string& cause, bool mailbox);
    // A store that could not be finished: the messages it lost are failures.
    void noteUnfinished(const std::optional<UnfinishedStore>& store);
    // The store forms: removes the folders the run made below the output
    // folder for its working files that are empty at its end.
    void removeMadeFolders(const std::string& outputFolder);

    RunView& view_;
    RunRequest request_;
    std::unique_ptr<StoreSteps> steps_;
    RunOutcome outcome_;
    std::string runTag_;                    // in the names of the run's temporary files
    std::vector<std::string> madeFolders_;  // made by the run, relative to the output folder
};

// The texts the run shows.
std::string CompletionText();                     // EML, EMLX and MSG forms
std::string PstCompletionText();                  // PST form
std::string StoreFailureText();                   // the "Outlook Error" report
std::string FailureSummary(const RunOutcome& o);  // the added line(s) when anything failed

}  // namespace conversion
