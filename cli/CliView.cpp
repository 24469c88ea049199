#include "cli/CliView.h"

#include "common/Platform.h"
#include "common/StopSignals.h"

namespace {
std::string withNewlines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}
}  // namespace

CliView::CliView(std::string outputFolder)
    : outputFolder_(std::move(outputFolder)), live_(IsTerminal(2)) {}

std::string CliView::browseForFolder(const std::string&) { return outputFolder_; }

bool CliView::stopRequested() const { return StopSignalReceived() != 0; }

void CliView::setMailboxCaption(const std::string& text) {
    if (mailboxOpen_ && !live_) std::fprintf(stderr, "  %lld messages saved\n", saved_ - savedAtMailboxStart_);
    mailboxCaption_ = text;
    savedAtMailboxStart_ = saved_;
    mailboxOpen_ = true;
}

void CliView::setSourceFileCaption(const std::string& text) {
    if (text == sourceName_ && !live_) return;
    sourceName_ = text;
    if (live_)
        drawLive(true);
    else
        std::fprintf(stderr, "%s%s\n", mailboxCaption_.c_str(), sourceName_.c_str());
}

void CliView::noteMessageSaved(int, int, long long totalSaved) {
    saved_ = totalSaved;
    if (live_) drawLive(false);
}

void CliView::drawLive(bool force) {
    auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::fprintf(stderr, "\r\033[K%s%s: %lld messages saved", mailboxCaption_.c_str(), sourceName_.c_str(), saved_);
    liveShown_ = true;
}

void CliView::endProgress() {
    if (live_ && liveShown_) {
        drawLive(true);
        std::fputc('\n', stderr);
        liveShown_ = false;
    } else if (!live_ && mailboxOpen_) {
        std::fprintf(stderr, "  %lld messages saved\n", saved_ - savedAtMailboxStart_);
    }
    mailboxOpen_ = false;
}

void CliView::noteFailure(const std::string& path, const std::string& cause) {
    if (live_ && liveShown_) {
        std::fputs("\r\033[K", stderr);
        liveShown_ = false;
    }
    std::fprintf(stderr, "error: %s: %s\n", path.c_str(), cause.c_str());
}

void CliView::showMessage(const std::string& text, const std::string& title, int) {
    endProgress();
    if (title == "Outlook Error") {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), withNewlines(text).c_str());
    } else {
        std::fputs(withNewlines(text).c_str(), stdout);
        if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}
