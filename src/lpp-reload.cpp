// Configuration file and reload.
#include <cerrno>
#include <cstring>
#include <system_error>

#include "lpp-file.hpp"
#include "lpp-plugin.hpp"

void lppPlugin::Reload()
{
    vd_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());

    // Whatever keeps the file from opening is reported as a missing file:
    // a pipe or a device named as the configuration too.
    lppFile file(conf_filename);
    if (!file.IsOpen()) {
        throw vdException("%s: error loading configuration: %s: %s", tag.c_str(),
            conf_filename.c_str(), std::strerror(ENOENT));
    }

    json conf;
    try {
        // A file that opens but cannot be read (a directory) fails the parse
        // with the system's reason.
        std::string text;
        if (!file.ReadAll(text)) throw std::system_error(errno, std::generic_category(), "error reading the file");
        conf = json::parse(text, nullptr, true, true);
    } catch (const json::exception &e) {
        throw vdException("%s: error loading configuration: %s: JSON exception: %s", tag.c_str(),
            conf_filename.c_str(), e.what());
    } catch (const std::exception &e) {
        throw vdException("%s: error loading configuration: %s: %s", tag.c_str(),
            conf_filename.c_str(), e.what());
    }

    // A root that is not an object has no members at all.
    const json *script = nullptr;
    if (conf.is_object()) {
        auto member = conf.find("script");
        if (member != conf.end() && member->is_string()) script = &*member;
    }
    if (script == nullptr) {
        throw vdException("%s: error loading configuration: %s: script not found or wrong type.",
            tag.c_str(), conf_filename.c_str());
    }

    // This plugin's own members, checked and in force before the script is
    // hashed: a new script's top level already runs under the new limits.
    try {
        ApplyConfigExtensions(lppReadConfigExtensions(conf));
    } catch (const std::runtime_error &e) {
        throw vdException("%s: error loading configuration: %s: %s", tag.c_str(),
            conf_filename.c_str(), e.what());
    }

    std::string path;
    vd_expand_variables(script->get<std::string>(), path, vdGlobalConfig::GetInstance().conf_vars);

    std::vector<std::uint8_t> digest(20);
    if (vd_sha1_file(path, digest.data()) < 0)
        throw vdException("%s: error hashing script: %s", tag.c_str(), path.c_str());

    // Only the script's content decides; an unset digest matches nothing.
    if (digest == script_digest) {
        vd_dprintf("%s: %s: not reloading, no change.\n", tag.c_str(), path.c_str());
        return;
    }

    // Remembered before the build, so a script that fails to build is not
    // built again until its content changes.
    script_path = path;
    script_digest = digest;
    {
        std::lock_guard<std::mutex> status_lock(status_mutex);
        status_script = path;
    }

    BuildRuntime();

    // Events queued for the previous script never reach the new one.
    std::unique_lock<std::mutex> queue_lock = LockQueue();
    queue_stats.discarded_records += event_queue.size();
    queue_stats.flows = 0;
    while (!event_queue.empty()) event_queue.pop_front();
}

void lppPlugin::ApplyConfigExtensions(const lppConfigExtensions &extensions)
{
    const lppLimits &limits = extensions.limits;
    lua.SetLimits(limits.instructions, limits.memory);
    queue_limit.store(limits.queue, std::memory_order_relaxed);
    status_enabled.store(extensions.status, std::memory_order_relaxed);
    std::lock_guard<std::mutex> status_lock(status_mutex);
    status_limits = limits;
}
