#include "conversion/ReadAhead.h"

#include "common/WorkerThread.h"

namespace conversion {

ReadAhead::~ReadAhead() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    queued_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void ReadAhead::push(AppendStrings::Taken text) {
    auto job = std::make_unique<Job>();
    job->text = std::move(text);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    if (!worker_.joinable()) worker_ = StartWorkerThread([this] { work(); });
    queued_.notify_one();
}

bool ReadAhead::frontReady() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !jobs_.empty() && jobs_.front()->done;
}

ReadAhead::Result ReadAhead::takeFront() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!jobs_.front()->done) {
        // Rather than wait idle, this thread reads the next message not yet
        // begun (the oldest itself, when the worker has not reached it):
        // the parse is the larger share of a message, so both threads
        // parse while the store waits.
        if (started_ < jobs_.size())
            readNext(lock);
        else
            read_.wait(lock);
    }
    std::unique_ptr<Job> job = std::move(jobs_.front());
    jobs_.pop_front();
    --started_;
    return std::move(job->result);
}

void ReadAhead::readNext(std::unique_lock<std::mutex>& lock) {
    // The job stays where it is (a unique_ptr in the queue) and only the
    // thread that took it touches its result until it is marked done.
    Job* job = jobs_[started_++].get();
    lock.unlock();
    Result result;
    try {
        result.ok = steps_.readMessageText(job->text.view(), result.message, &result.error);
    } catch (...) {
        // readMessageText reports its own failures; nothing may end the thread.
        result.ok = false;
        result.error = "cannot read the message";
    }
    result.text = std::move(job->text);
    lock.lock();
    job->result = std::move(result);
    job->done = true;
    read_.notify_one();
}

void ReadAhead::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [&] { return ending_ || started_ < jobs_.size(); });
        if (ending_) return;
        readNext(lock);
    }
}

}  // namespace conversion
