// vessix-replay: plays the daemon's part for the Lua processor plugin. Loads
// the plugin library with dlopen as the daemon does, feeds its worker the
// events of a recording (or of a packet capture), waits until they have been
// handled, and takes the plugin down again.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include <vessixd.hpp>

#include "vessixd-standin.hpp"
#include "vx-expected-output.hpp"
#include "vx-flow-map.hpp"
#include "vx-handler-errors.hpp"
#include "vx-options.hpp"
#include "vx-recording.hpp"
#include "vx-reload-signal.hpp"
#include "vx-replayer.hpp"
#include "vx-sink-output.hpp"
#include "vx-waits.hpp"
#include "vx-capture-driver.hpp"

#ifndef VX_REPLAY_VERSION
#define VX_REPLAY_VERSION "0"
#endif
// Where an installed tool finds the installed plugin: LIBDIR, relative to
// the tool's own folder (BINDIR), so that a tree installed under DESTDIR or
// unpacked anywhere still loads its own plugin.
#ifndef VX_REPLAY_LIBDIR_FROM_BINDIR
#define VX_REPLAY_LIBDIR_FROM_BINDIR "../lib"
#endif

namespace {

const char *const plugin_file = "libvessix-proc-lua.so.0";

// The folder of the running program, for the plugin beside it or in LIBDIR.
std::string ProgramFolder()
{
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    std::string text(path, static_cast<std::size_t>(length));
    std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

// The plugin built beside the tool in the build tree; an installed tool has
// none beside it and takes the one installed in LIBDIR.
std::string DefaultPluginPath()
{
    const std::string folder = ProgramFolder();
    const std::string beside = folder + "/" + plugin_file;
    if (::access(beside.c_str(), F_OK) == 0) return beside;
    return folder + "/" VX_REPLAY_LIBDIR_FROM_BINDIR "/" + plugin_file;
}

std::string FolderOf(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<vxRecordingOp> ReadRecording(const std::string &path)
{
    if (path == "-") return vxReadRecording(std::cin, "<stdin>", ".");
    std::ifstream file(path, std::ios::binary);
    if (!file) throw vxUsageError("cannot read the recording " + path);
    return vxReadRecording(file, path, FolderOf(path));
}

void CreateGlobalConfig(const vxReplayOptions &options)
{
    vdGlobalConfig &config = vdGlobalConfig::Create();
    config.path_state_config = options.path_config;
    config.path_state_shared = options.path_shared;
    config.path_state_volatile = options.path_volatile;
    config.path_state_persistent = options.path_persistent;
    config.conf_vars = options.conf_vars;
}

// The plugin object and how it is taken down: Terminate (again: Replay
// has done so already when the worker ran), then destruction through the
// daemon's base pointer, whose destructor joins the worker.
struct PluginDeleter {
    void operator()(vdPlugin *plugin) const
    {
        plugin->Terminate();
        delete plugin;
    }
};
using PluginHandle = std::unique_ptr<vdPlugin, PluginDeleter>;

// The input: recording lines, or an opened capture input.
struct ReplayInput {
    std::vector<vxRecordingOp> ops;
    std::unique_ptr<vxCaptureInput> capture;
};

int Replay(vdPluginProcessor &plugin, const vxReplayOptions &options, ReplayInput &input,
    vxSinkOutput &sinks, vxStatusOutput &status_output, vxReloadSignal &reloads)
{
    vxWaits waits(plugin);
    vxFlowMap flows(options.buckets);
    plugin.Create();
    int status = VX_EXIT_WORKER_ENDED;
    if (waits.Ready()) {
        if (input.capture) {
            status = input.capture->Run(plugin, waits, flows, options, reloads);
        } else {
            vxReplayer replayer(plugin, waits, sinks, flows, status_output, reloads);
            status = replayer.Run(input.ops, options.recording == "-" ? "<stdin>" : options.recording);
        }
    }
    // After the final drain, or where the worker ended: what the plugin
    // counted, also for a run that ends with status 3.
    if (status_output.Requested() && status != VX_EXIT_USAGE) status_output.Write(plugin);
    plugin.Terminate();
    waits.Nudge();
    // Status 3 whenever an exception left Entry, also after the last wait
    // had returned: only the joined thread tells for certain.
    plugin.Join();
    if (plugin.EndedByException() && status == VX_EXIT_OK) status = VX_EXIT_WORKER_ENDED;
    return status;
}

// Loads the plugin, replays, and takes the plugin down; returns the exit
// status.
int LoadAndReplay(const vxReplayOptions &options, ReplayInput &input, vxSinkOutput &sinks,
    vxStatusOutput &status_output, vxHandlerErrors &handler_errors, vxReloadSignal &reloads)
{
    CreateGlobalConfig(options);
    vd_standin_set_debug(options.debug);
    // The type reaches the plugin's base class through the stand-in, as
    // the daemon's own loader would record it; never as a parameter.
    vd_standin_set_plugin_type(options.type);

    const std::string plugin_path =
        options.plugin_path.empty() ? DefaultPluginPath() : options.plugin_path;
    // The library stays loaded until the process ends: threads and
    // destructors of the plugin may still refer to its code at exit.
    void *library = ::dlopen(plugin_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "vessix-replay: cannot load the plugin: %s\n", ::dlerror());
        return VX_EXIT_PLUGIN;
    }
    auto init = reinterpret_cast<vdPluginInitFunction>(::dlsym(library, "vdPluginInit"));
    if (init == nullptr) {
        std::fprintf(stderr, "vessix-replay: %s: no vdPluginInit\n", plugin_path.c_str());
        return VX_EXIT_PLUGIN;
    }

    PluginHandle plugin;
    try {
        plugin.reset(init(options.tag, options.params));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vessix-replay: vdPluginInit: %s\n", e.what());
        // The plugin's own text names the parameter; what to do about it is
        // the tool's to say.
        if (options.params.count("conf_filename") == 0)
            std::fprintf(stderr, "vessix-replay: --conf is missing: give the plugin its configuration "
                                 "with --conf FILE\n");
        return VX_EXIT_PLUGIN;
    } catch (...) {
        std::fprintf(stderr, "vessix-replay: vdPluginInit: unknown exception\n");
        return VX_EXIT_PLUGIN;
    }
    if (!plugin) {
        std::fprintf(stderr, "vessix-replay: vdPluginInit returned no plugin (type %u)\n",
            static_cast<unsigned>(options.type));
        return VX_EXIT_PLUGIN;
    }
    auto *processor = dynamic_cast<vdPluginProcessor *>(plugin.get());
    if (processor == nullptr) {
        std::fprintf(stderr, "vessix-replay: %s is not a processor plugin\n", plugin_path.c_str());
        return VX_EXIT_PLUGIN;
    }

    sinks.Install();
    handler_errors.Install(options.tag);
    int status = Replay(*processor, options, input, sinks, status_output, reloads);
    plugin.reset();
    vxHandlerErrors::Uninstall();
    vxSinkOutput::Uninstall();
    vdGlobalConfig::Destroy();
    return status;
}

int Main(int argc, char **argv)
{
    // Before any other thread starts, so that SIGHUP is blocked in all of
    // them and only its own thread takes it.
    vxReloadSignal reloads;
    vxReplayOptions options;
    ReplayInput input;
    vxSinkOutput sinks;
    vxStatusOutput status_output;
    std::unique_ptr<vxExpectedOutput> expected;
    try {
        options = vxParseOptions(argc, argv);
        if (options.help) {
            std::fputs(vxUsageText().c_str(), stdout);
            return VX_EXIT_OK;
        }
        if (options.version) {
            std::printf("vessix-replay %s\n", VX_REPLAY_VERSION);
            return VX_EXIT_OK;
        }
        // The whole recording is read and checked, or the capture input
        // opened, before the plugin is loaded: a bad line replays nothing.
        if (options.CaptureInput())
            input.capture = std::make_unique<vxCaptureInput>(options);
        else
            input.ops = ReadRecording(options.recording);
        if (!options.expect_path.empty()) expected = std::make_unique<vxExpectedOutput>(options.expect_path);
        if (options.sinks) sinks.Open(options.sinks_path);
        if (!options.status_path.empty()) status_output.Open(options.status_path);
        if (expected) expected->Start();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vessix-replay: %s\n", e.what());
        return VX_EXIT_USAGE;
    }

    vxHandlerErrors handler_errors;
    int status = LoadAndReplay(options, input, sinks, status_output, handler_errors, reloads);
    // Compared whatever the status: the diff shows how far the run got.
    if (expected && !expected->Finish() && status == VX_EXIT_OK) status = VX_EXIT_OUTPUT_DIFFERS;
    const std::string failed_calls = handler_errors.Summary(options.debug);
    if (!failed_calls.empty()) {
        std::fprintf(stderr, "vessix-replay: %s\n", failed_calls.c_str());
        if (options.strict && status == VX_EXIT_OK) status = VX_EXIT_HANDLER_FAILED;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        return Main(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vessix-replay: %s\n", e.what());
        return VX_EXIT_USAGE;
    }
}
