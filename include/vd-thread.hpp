// The daemon's threads.
#pragma once

#include <atomic>
#include <string>
#include <thread>

class vdThread {
public:
    explicit vdThread(const std::string &tag);
    virtual ~vdThread();

    vdThread(const vdThread &) = delete;
    vdThread &operator=(const vdThread &) = delete;

    // Starts a thread that runs Entry. An exception that leaves Entry is
    // caught there and its text logged.
    virtual void Create();
    // The thread body.
    virtual void *Entry() = 0;
    // Asks Entry to end: sets the terminate flag.
    virtual void Terminate();

    // Waits until Entry has returned; returns at once for a thread that was
    // never started or has been joined already.
    void Join();

    const std::string &GetTag() const { return tag; }
    bool ShouldTerminate() const { return terminate.load(); }

    // Whether Entry has returned (normally or by an exception).
    bool HasEnded() const { return ended.load(); }
    // Whether an exception left Entry.
    bool EndedByException() const { return ended_by_exception.load(); }
    // Operating-system id of the running thread; 0 before it has started.
    long GetThreadId() const { return thread_id.load(); }

protected:
    std::string tag;
    std::atomic<bool> terminate{false};

private:
    static void *Run(vdThread *thread);

    std::thread thread;
    std::atomic<bool> ended{false};
    std::atomic<bool> ended_by_exception{false};
    std::atomic<long> thread_id{0};
};
