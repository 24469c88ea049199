// Reads the store forms' messages (their bytes, in memory) on a second
// thread, ahead of the run's thread, which saves them into the store in the
// order they came. The MIME parse is the costliest step of a message; with
// it on the worker, the run's thread splits the mailbox and writes the store
// at the same time, and parses too when it would otherwise wait.
//
// The worker calls StoreSteps::readMessageText only: it never touches the
// store, the view or the run's counts. It is started with the first message
// and joined when the ReadAhead goes, never detached.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "conversion/AppendStrings.h"
#include "conversion/StoreSteps.h"
#include "store/MapiMessage.h"

namespace conversion {

class ReadAhead {
public:
    struct Result {
        bool ok = false;
        store::Message message;
        std::string error;
        AppendStrings::Taken text;  // the message's bytes, as queued
    };

    explicit ReadAhead(const StoreSteps& steps) : steps_(steps) {}
    // Drops the messages not yet read, waits for the one being read and
    // joins the worker.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Queues a message file's bytes behind the others; they come back with
    // the result.
    void push(AppendStrings::Taken text);
    // Whether the oldest message queued has been read.
    bool frontReady();
    // The oldest message's result, once it is read; while the worker reads
    // it, this thread reads the messages queued behind it. Something must be
    // queued.
    Result takeFront();

private:
    struct Job {
        AppendStrings::Taken text;
        bool done = false;  // `result` is complete; set under the lock
        Result result;
    };
    void work();
    // Reads the first message not yet begun, on the calling thread; `lock`
    // holds the mutex and is released while the message is read.
    void readNext(std::unique_lock<std::mutex>& lock);

    const StoreSteps& steps_;
    std::mutex mutex_;
    std::condition_variable queued_;  // to the worker: a job, or the end
    std::condition_variable read_;    // to the run's thread: a job is done
    std::deque<std::unique_ptr<Job>> jobs_;
    size_t started_ = 0;  // jobs_[0, started_) are taken by the worker
    bool ending_ = false;
    std::thread worker_;
};

}  // namespace conversion
