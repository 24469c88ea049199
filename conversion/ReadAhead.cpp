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

void ReadAhead::push(std::string messageFile) {
    auto job = std::make_unique<Job>();
    job->file = std::move(messageFile);
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
    read_.wait(lock, [&] { return jobs_.front()->done; });
    std::unique_ptr<Job> job = std::move(jobs_.front());
    jobs_.pop_front();
    --started_;
    return std::move(job->result);
}

void ReadAhead::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [&] { return ending_ || started_ < jobs_.size(); });
        if (ending_) return;
        // The job stays where it is (a unique_ptr in the queue) and only the
        // worker touches its result until it is marked done.
        Job* job = jobs_[started_++].get();
        lock.unlock();
        Result result;
        try {
            result.ok = steps_.readMessage(job->file, result.message, &result.error);
        } catch (...) {
            // readMessage reports its own failures; nothing may end the thread.
            result.ok = false;
            result.error = "cannot read the message";
        }
        lock.lock();
        job->result = std::move(result);
        job->done = true;
        read_.notify_one();
    }
}

}  // namespace conversion
