// Configuration file and reload: the configuration read and checked once,
// applied to every worker's runtime and queue, and the workers rebuilt.
#include <cerrno>
#include <cstring>
#include <system_error>

#include "lpp-file.hpp"
#include "lpp-plugin.hpp"

void lppPlugin::Reload()
{
    vd_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());

    // Every error of the configuration, in one form.
    auto config_error = [this](const char *what) {
        return vdException("%s: error loading configuration: %s: %s", tag.c_str(), conf_filename.c_str(), what);
    };

    // Whatever keeps the file from opening is reported as a missing file:
    // a pipe or a device named as the configuration too.
    lppFile file(conf_filename);
    if (!file.IsOpen()) throw config_error(std::strerror(ENOENT));

    json conf;
    try {
        // A file that opens but cannot be read (a directory) fails the parse
        // with the system's reason.
        std::string text;
        if (!file.ReadAll(text)) throw std::system_error(errno, std::generic_category(), "error reading the file");
        conf = json::parse(text, nullptr, true, true);
    } catch (const json::exception &e) {
        throw config_error((std::string("JSON exception: ") + e.what()).c_str());
    } catch (const std::exception &e) {
        throw config_error(e.what());
    }

    lppConfig config;
    try {
        config = lppReadConfig(conf);
    } catch (const lppConfigError &e) {
        throw config_error(e.what());
    }

    // The other workers' threads stay parked until the reload is done:
    // their runtimes and queues change only while they are. One that ended
    // by an exception meanwhile ends the plugin rather than being restarted.
    ParkWorkers();
    if (worker_failed.load()) RethrowWorkerFailure();

    // This plugin's own members are in force before the script is hashed:
    // a new script's top level already runs under the new limits.
    ApplyConfig(config);

    std::string path;
    vd_expand_variables(config.script, path, vdGlobalConfig::GetInstance().conf_vars);

    std::vector<std::uint8_t> digest(20);
    if (vd_sha1_file(path, digest.data()) < 0)
        throw vdException("%s: error hashing script: %s", tag.c_str(), path.c_str());

    // Only the script's content and the workers decide; an unset digest
    // matches nothing.
    if (digest == Runtime().ScriptDigest() && config.workers == workers_configured.load()) {
        vd_dprintf("%s: %s: not reloading, no change.\n", tag.c_str(), path.c_str());
        StartWorkers();
        return;
    }

    {
        std::lock_guard<std::mutex> status_lock(status_mutex);
        status_script = path;
    }
    workers_configured.store(config.workers);
    ResizeWorkers(config.WorkerCount());
    BuildWorkers(path, digest);
    StartWorkers();
}

void lppPlugin::ApplyConfig(const lppConfig &config)
{
    const lppLimits &limits = config.limits;
    for (const auto &worker : workers) {
        if (!worker) continue;
        worker->runtime.SetLimits(limits);
        worker->queue.SetLimit(limits.queue);
    }
    status_enabled.store(config.status, std::memory_order_relaxed);
    std::lock_guard<std::mutex> status_lock(status_mutex);
    status_limits = limits;
}

void lppPlugin::ResizeWorkers(unsigned count)
{
    lppLimits limits;
    {
        std::lock_guard<std::mutex> status_lock(status_mutex);
        limits = status_limits;
    }
    std::unique_lock<std::shared_mutex> routing(routing_mutex);
    for (unsigned index = 1; index < lppWorkersMax; index++) {
        if (index >= count) {
            workers[index].reset();
        } else if (!workers[index]) {
            workers[index] = std::make_unique<lppWorker>(tag, index + 1);
            workers[index]->runtime.SetLimits(limits);
            workers[index]->queue.SetLimit(limits.queue);
            workers[index]->Start([this] { WorkerFailed(); });
        }
    }
    active.store(count, std::memory_order_release);
}

void lppPlugin::BuildWorkers(const std::string &path, const std::vector<std::uint8_t> &digest)
{
    const unsigned count = active.load();
    const unsigned configured = workers_configured.load();
    for (unsigned index = 0; index < count; index++) {
        lppWorker &worker = *workers[index];
        // lpp.worker() exists only when the configuration names the workers;
        // the handlers are logged once, for worker 1.
        worker.runtime.SetWorker(configured == 0 ? 0 : index + 1, configured);
        worker.runtime.SetHandlerLog(index == 0);
        worker.Build(path, digest);
        // The intake's gates are worker 1's mask: another state with other
        // handlers would have records kept from it or sent to no handler.
        if (worker.runtime.HandlerMask() != first().runtime.HandlerMask()) {
            throw vdException("%s: %s: worker %u defines other handlers than worker 1", tag.c_str(),
                path.c_str(), index + 1);
        }
        // Events queued for the previous script never reach the new one.
        worker.queue.Discard();
    }
}
