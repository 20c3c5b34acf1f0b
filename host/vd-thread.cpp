// Threads: Entry runs on a thread of its own, under a wrapper that catches
// what leaves it.
#include <exception>

#include <sys/syscall.h>
#include <unistd.h>

#include "vd-base.hpp"
#include "vd-thread.hpp"

vdThread::vdThread(const std::string &tag) : tag(tag) {}

vdThread::~vdThread()
{
    // A derived destructor normally joins first; this covers one that did
    // not, since destroying a joinable std::thread ends the process.
    Join();
}

void vdThread::Create()
{
    if (thread.joinable()) throw vdException("%s: thread already created", tag.c_str());
    ended = false;
    ended_by_exception = false;
    thread = std::thread(Run, this);
}

void vdThread::Terminate() { terminate.exchange(true); }

void vdThread::Join()
{
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void *vdThread::Run(vdThread *self)
{
    self->thread_id = static_cast<long>(::syscall(SYS_gettid));
    void *result = nullptr;
    // The daemon logs what leaves a thread body and lets the thread end;
    // nothing restarts it.
    try {
        result = self->Entry();
    } catch (const std::exception &e) {
        vd_printf("%s\n", e.what());
        self->ended_by_exception = true;
    } catch (...) {
        vd_printf("%s: unknown exception left the thread\n", self->tag.c_str());
        self->ended_by_exception = true;
    }
    self->ended = true;
    return result;
}
