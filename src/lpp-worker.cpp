// The worker's loop: collects garbage and hands queued records to the
// script's handlers one at a time; and its own thread, for workers 2 and up.
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif

#include <utility>

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
    order.store(Order::PARK);
    parked = false;
    ended = false;
    failure = nullptr;
    thread = std::thread([this, failed = std::move(failed)] { Serve(failed); });
}

void lppWorker::Serve(const std::function<void()> &failed)
{
    // Named so that tools can find the worker among the process's threads;
    // a name that does not take changes nothing else.
    (void)pthread_setname_np(pthread_self(), ThreadName(tag, number).c_str());
    std::unique_lock<std::mutex> held(control_mutex);
    for (;;) {
        parked = true;
        control_changed.notify_all();
        control_changed.wait(held, [this] { return order.load() != Order::PARK; });
        parked = false;
        const Order now = order.load();
        if (now == Order::STOP) return;
        held.unlock();
        if (now == Order::BUILD) {
            try {
                runtime.Build(*build_path, *build_digest);
            } catch (...) {
                build_failure = std::current_exception();
            }
        } else {
            try {
                while (order.load(std::memory_order_relaxed) == Order::RUN) Pass();
            } catch (...) {
                failure = std::current_exception();
                held.lock();
                ended = true;
                control_changed.notify_all();
                held.unlock();
                failed();
                return;
            }
        }
        held.lock();
        if (order.load() == Order::BUILD) order.store(Order::PARK);
    }
}

void lppWorker::AwaitParked(std::unique_lock<std::mutex> &held)
{
    control_changed.wait(held, [this] { return (parked && order.load() == Order::PARK) || ended; });
}

void lppWorker::Run()
{
    if (!thread.joinable()) return;
    std::lock_guard<std::mutex> held(control_mutex);
    if (ended) return;
    order.store(Order::RUN);
    control_changed.notify_all();
}

void lppWorker::Park()
{
    if (!thread.joinable()) return;
    std::unique_lock<std::mutex> held(control_mutex);
    if (order.load() == Order::RUN) {
        order.store(Order::PARK);
        // A pass waiting for a record sees the order at once.
        held.unlock();
        Wake();
        held.lock();
    }
    AwaitParked(held);
}

void lppWorker::Build(const std::string &path, const std::vector<std::uint8_t> &digest)
{
    if (!thread.joinable()) {
        runtime.Build(path, digest);
        return;
    }
    std::unique_lock<std::mutex> held(control_mutex);
    AwaitParked(held);
    if (ended) std::rethrow_exception(failure);
    build_path = &path;
    build_digest = &digest;
    build_failure = nullptr;
    order.store(Order::BUILD);
    control_changed.notify_all();
    AwaitParked(held);
    build_path = nullptr;
    build_digest = nullptr;
    if (build_failure) std::rethrow_exception(std::exchange(build_failure, nullptr));
}

void lppWorker::Stop()
{
    if (!thread.joinable()) return;
    {
        std::lock_guard<std::mutex> held(control_mutex);
        order.store(Order::STOP);
        control_changed.notify_all();
    }
    Wake();
    thread.join();
}

void lppWorker::Wake()
{
    std::unique_lock<std::mutex> held = queue.Lock();
    queue.Append(held, lppEvent(static_cast<std::uint16_t>(vdPluginProcessor::Event::NONE)));
}
