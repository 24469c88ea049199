// The command-line converter's view of a run: the completion text goes to
// stdout, progress and failures to stderr.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "conversion/RunView.h"

class CliView : public conversion::RunView {
public:
    explicit CliView(std::string outputFolder);

    std::string browseForFolder(const std::string& title) override;
    void setConvertEnabled(bool) override {}
    void clearTargetForm() override {}
    void setCurrentRow(int row) override { row_ = row; }
    void setMailboxCaption(const std::string& text) override;
    void setSourceFileCaption(const std::string& text) override;
    void setProgressCaption(const std::string&) override {}
    void showMessage(const std::string& text, const std::string& title, int style) override;
    void yield() override {}
    // A stop signal (SIGINT, SIGTERM, SIGHUP) has come: the run finishes the
    // open store and ends.
    bool stopRequested() const override;
    void noteFailure(const std::string& path, const std::string& cause) override;
    void noteMessageSaved(int mailboxIndex, int mailboxCount, long long totalSaved) override;

    // Ends the live progress line, if one is shown.
    void endProgress();

private:
    void drawLive(bool force);

    std::string outputFolder_;
    bool live_;  // stderr is a terminal: one line, redrawn
    bool liveShown_ = false;
    int row_ = 0;
    std::string mailboxCaption_;
    std::string sourceName_;
    long long saved_ = 0;
    long long savedAtMailboxStart_ = 0;
    bool mailboxOpen_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};
