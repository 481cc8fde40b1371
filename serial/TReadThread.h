// The channel's reader: one long-lived worker thread that performs one
// bounded read at a time and hands its end back to the main thread.
//
// The thread is created on the first read, not with the channel, so that
// nothing is started while a library is being loaded.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/SerialPort.h"
#include "runtime/MessageLoop.h"

namespace q31 {

class TReadThread {
public:
    TReadThread() = default;
    ~TReadThread();
    TReadThread(const TReadThread&) = delete;
    TReadThread& operator=(const TReadThread&) = delete;

    // Main thread: read up to `count` bytes from `port` into `target`, store
    // the count read in *bytesRead, then post `done` to `loop`. The previous
    // read must have ended (its hand-over ran) or been aborted.
    void Start(PortHandle port, std::uint8_t* target, std::size_t count, int* bytesRead, int timeoutMs,
               MessageLoop& loop, Handover& done);

    // Main thread: end the read in progress at once, wait until the worker no
    // longer touches the target, and withdraw its hand-over if it was queued.
    // Afterwards no byte of that read reaches anybody.
    void Abort();

    // Whether a read is still running. The component never asks; the tests
    // use it to wait until a read has ended.
    bool Busy() const;

    // Main thread, after a read's hand-over ran: the OS's error code if the
    // port failed during that read, else 0.
    int LastError() const;

private:
    void Run();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    PortReader reader_;
    bool quit_ = false;
    bool pending_ = false;  // a job waits for the worker
    bool running_ = false;  // the worker is inside the read
    // The job.
    PortHandle port_ = kNoPort;
    std::uint8_t* target_ = nullptr;
    std::size_t count_ = 0;
    int* bytesRead_ = nullptr;
    int timeoutMs_ = 0;
    MessageLoop* loop_ = nullptr;
    Handover* done_ = nullptr;
    int error_ = 0;  // of the last finished read
};

}  // namespace q31
