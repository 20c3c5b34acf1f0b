// The plugin's thread: worker 1's loop, with the reload at the start of each
// pass, and the threads of workers 2 and up around it.
#include "lpp-plugin.hpp"

void *lppPlugin::Entry()
{
    vd_printf("%s: %s v%s running the configured Lua script.\n", tag.c_str(), LPP_NAME, LPP_VERSION);

    if (ShouldTerminate()) return nullptr;

    // Whatever ends this thread ends every worker: the daemon sees the one
    // exception, and Join returns once every worker has stopped.
    try {
        do {
            ServeReload();
            if (worker_failed.load()) RethrowWorkerFailure();
            first().Pass();
        } while (!ShouldTerminate());
    } catch (...) {
        StopWorkers();
        throw;
    }
    StopWorkers();
    return nullptr;
}

void lppPlugin::ServeReload()
{
    if (!first().reload.load()) return;
    Reload();
    // Cleared only now: a request made while Reload ran is served by it, and
    // a Reload that throws leaves the request standing.
    first().reload.exchange(false);
}

void lppPlugin::StartWorkers()
{
    const unsigned count = active.load();
    for (unsigned index = 1; index < count; index++) workers[index]->Run();
}

void lppPlugin::ParkWorkers()
{
    for (unsigned index = 1; index < lppWorkersMax; index++) {
        if (workers[index]) workers[index]->Park();
    }
}

void lppPlugin::WorkerFailed()
{
    worker_failed.store(true);
    // A pass of worker 1 waiting for a record sees the failure now.
    first().Wake();
}

void lppPlugin::StopWorkers()
{
    for (unsigned index = 1; index < lppWorkersMax; index++) {
        if (workers[index]) workers[index]->Stop();
    }
}

void lppPlugin::RethrowWorkerFailure()
{
    StopWorkers();
    for (unsigned index = 1; index < lppWorkersMax; index++) {
        if (workers[index] && workers[index]->Failure()) std::rethrow_exception(workers[index]->Failure());
    }
}
