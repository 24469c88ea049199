#include "common/WorkerThread.h"

// Windows has no signals to keep away from the worker: a console's stop
// events arrive on a thread the system makes for them (StopSignalsWin32.cpp).
std::thread StartWorkerThread(std::function<void()> body) { return std::thread(std::move(body)); }
