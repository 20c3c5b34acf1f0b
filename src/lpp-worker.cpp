// The worker's loop: collects garbage and hands queued records to the
// script's handlers one at a time; and its own thread, for workers 2 and up.
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif

#include "lpp-routes.hpp"
#include "lpp-worker.hpp"

lppWorker::lppWorker(const std::string &tag, unsigned number)
    : runtime(tag), queue(tag), tag(tag), number(number)
{
}

lppWorker::~lppWorker() { Stop(); }

void lppWorker::Pass()
{
    // The tables the handlers built are left to the collector; a full
    // cycle every 100th pass bounds what piles up between its own steps.
    if (passes >= 99) {
        runtime.Collect();
        passes = 0;
    } else {
        passes++;
    }

    std::optional<lppEvent> taken = queue.Take();
    if (!taken) return;
    lppEvent &record = *taken;

    // Event 0, which callers queue as a marker that a pass has taken, and
    // every number no handler takes are dropped unhandled.
    const lppIntake intake = lppIntakeOf(record.event);
    for (int id = 0; id < LPP_HANDLER_ID_COUNT; id++) {
        if (lppHandlerRoutes[id].intake == intake && (runtime.HandlerMask() & (1u << id)))
            runtime.Invoke(static_cast<lppHandlerId>(id), record);
    }
}

std::string lppWorker::ThreadName(const std::string &tag, unsigned number)
{
    const std::string suffix = "-w" + std::to_string(number);
    return tag.substr(0, 15 - suffix.size()) + suffix;
}

void lppWorker::Start(std::function<void()> failed)
{
    if (thread.joinable()) return;
    stop.store(false);
    failure = nullptr;
    thread = std::thread([this, failed = std::move(failed)] {
        // Named so that tools can find the worker among the process's
        // threads; a name that does not take changes nothing else.
        (void)pthread_setname_np(pthread_self(), ThreadName(tag, number).c_str());
        try {
            while (!stop.load()) Pass();
        } catch (...) {
            failure = std::current_exception();
            failed();
        }
    });
}

void lppWorker::Stop()
{
    if (!thread.joinable()) return;
    stop.store(true);
    Wake();
    thread.join();
}

void lppWorker::Wake()
{
    std::unique_lock<std::mutex> held = queue.Lock();
    queue.Append(held, lppEvent(static_cast<std::uint16_t>(vdPluginProcessor::Event::NONE)));
}
