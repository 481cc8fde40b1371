#include "serial/TReadThread.h"

namespace q31 {

TReadThread::~TReadThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    reader_.Cancel();
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TReadThread::Start(PortHandle port, std::uint8_t* target, std::size_t count, int* bytesRead, int timeoutMs,
                        MessageLoop& loop, Handover& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A new read never overlaps an old one: wait out a worker that has not
    // yet left its previous read (it normally has, as its hand-over ran).
    if (pending_ || running_) {
        lock.unlock();
        Abort();
        lock.lock();
    }
    port_ = port;
    target_ = target;
    count_ = count;
    bytesRead_ = bytesRead;
    timeoutMs_ = timeoutMs;
    loop_ = &loop;
    done_ = &done;
    pending_ = true;
    if (!thread_.joinable()) thread_ = std::thread(&TReadThread::Run, this);
    lock.unlock();
    changed_.notify_all();
}

void TReadThread::Abort() {
    Handover* done;
    MessageLoop* loop;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        pending_ = false;  // a job not yet taken is simply dropped
        if (running_) {
            reader_.Cancel();
            changed_.wait(lock, [this] { return !running_; });
        }
        reader_.Reset();
        done = done_;
        loop = loop_;
    }
    if (done && loop) loop->Withdraw(*done);
}

bool TReadThread::Busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_ || running_;
}

int TReadThread::LastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void TReadThread::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || pending_; });
        if (quit_) return;
        pending_ = false;
        running_ = true;
        const PortHandle port = port_;
        std::uint8_t* const target = target_;
        const std::size_t count = count_;
        const int timeoutMs = timeoutMs_;
        lock.unlock();

        const std::size_t got = reader_.Read(port, target, count, timeoutMs);
        const int error = reader_.LastError();

        lock.lock();
        running_ = false;
        error_ = error;
        // The hand-over is posted under the lock: an Abort waiting for this
        // read withdraws it only after the post, so a cancelled read's end
        // never runs on the main thread.
        if (bytesRead_) *bytesRead_ = static_cast<int>(got);
        MessageLoop* loop = loop_;
        Handover* done = done_;
        changed_.notify_all();
        if (loop && done) loop->Post(*done);
    }
}

}  // namespace q31
