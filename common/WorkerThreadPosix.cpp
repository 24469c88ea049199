#include "common/WorkerThread.h"

#include <csignal>
#include <pthread.h>

std::thread StartWorkerThread(std::function<void()> body) {
    // A new thread inherits the signal mask of the one that makes it.
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    std::thread worker;
    try {
        worker = std::thread(std::move(body));
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return worker;
}
