// Stop requests on Windows: the console's control events stand for the
// signals. Ctrl+C and Ctrl+Break are SIGINT, closing the console window
// SIGHUP, a log-off or shut-down SIGTERM; the numbers are POSIX's, so the
// exit status is the same 128 + n.
#include <cstdio>
#include <windows.h>

#include "common/StopSignals.h"

namespace {

constexpr int kSigHup = 1, kSigInt = 2, kSigTerm = 15;

volatile LONG received = 0;

BOOL WINAPI onControl(DWORD event) {
    int signal = 0;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: signal = kSigInt; break;
        case CTRL_CLOSE_EVENT: signal = kSigHup; break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: signal = kSigTerm; break;
        default: return FALSE;
    }
    // Asked twice: the default handler ends the process at once.
    if (InterlockedCompareExchange(&received, signal, 0) != 0) return FALSE;
    // Closing the console ends the process when the handler returns: the
    // run gets the time the system grants (some seconds) to finish its store.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void InstallStopSignals() {
    // Ctrl+C ignored by whoever started us (start /b, a detached job) stays ignored.
    SetConsoleCtrlHandler(onControl, TRUE);
}

int StopSignalReceived() { return int(received); }

const char* StopSignalName(int signal) {
    switch (signal) {
        case kSigInt: return "SIGINT";
        case kSigTerm: return "SIGTERM";
        case kSigHup: return "SIGHUP";
    }
    static char text[24];
    std::snprintf(text, sizeof text, "signal %d", signal);
    return text;
}
