// Configuration file and reload: the configuration read, checked and applied
// to the runtime and the queue.
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
    if (digest == runtime.ScriptDigest()) {
        vd_dprintf("%s: %s: not reloading, no change.\n", tag.c_str(), path.c_str());
        return;
    }

    {
        std::lock_guard<std::mutex> status_lock(status_mutex);
        status_script = path;
    }
    runtime.Build(path, digest);

    // Events queued for the previous script never reach the new one.
    queue.Discard();
}

void lppPlugin::ApplyConfigExtensions(const lppConfigExtensions &extensions)
{
    const lppLimits &limits = extensions.limits;
    runtime.SetLimits(limits);
    queue.SetLimit(limits.queue);
    status_enabled.store(extensions.status, std::memory_order_relaxed);
    std::lock_guard<std::mutex> status_lock(status_mutex);
    status_limits = limits;
}
