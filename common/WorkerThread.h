// A second thread for the run's costly work. On POSIX systems the stop signals (SIGINT,
// SIGTERM, SIGHUP) never reach it: their handler and the run's yields that
// read the flag are on the thread that started the run, and a worker woken
// by one would only have its system calls restarted for nothing.
#pragma once

#include <functional>
#include <thread>

std::thread StartWorkerThread(std::function<void()> body);
