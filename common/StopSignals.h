// The signals that ask a command-line run to stop (SIGINT, SIGTERM, SIGHUP).
// The first one only sets a flag, which the run reads at its next yield: it
// then unwinds and finishes the open store, as the window does on close. A
// second one ends the process at once, with that signal's default action.
#pragma once

// Installs the handlers; call once, before the run. A signal that is
// ignored when the program starts (nohup) stays ignored.
void InstallStopSignals();

// The first stop signal received, or 0. Cheap enough to read at every yield.
int StopSignalReceived();

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
const char* StopSignalName(int signal);
