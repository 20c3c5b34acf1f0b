// Command line of vessix-replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <vessixd.hpp>

// A command line that cannot be run; main prints it and exits with status 1.
class vxUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct vxReplayOptions {
    std::string plugin_path;  // empty: the plugin beside the tool
    std::string tag = "lua";
    std::uint8_t type = vdPlugin::TYPE_PROCESSOR;
    bool debug = false;
    bool sinks = false;       // --sinks given
    std::string sinks_path;   // "-" for standard output
    std::string status_path;  // --status: "-" for standard error; empty: not given
    // Plugin parameters in the order given; a later one replaces an earlier
    // one with the same key (so the last of --conf and -p conf_filename= wins).
    std::map<std::string, std::string> params;
    std::map<std::string, std::string> conf_vars;
    std::string path_config = "/etc/vessixd";
    std::string path_shared = "/usr/share/vessixd";
    std::string path_volatile = "/var/run/vessixd";
    std::string path_persistent = "/var/lib/vessixd";
    std::size_t buckets = 16;
    std::string recording;    // "-" for standard input
    std::string expect_path;  // --expect: empty when not given
    std::string record_path;  // --record: empty when not given
    bool strict = false;      // --strict: a failed handler call ends with status 5

    // Packet-capture input: a file, or a live interface.
    std::string capture_path;
    std::string interface;
    double duration = 0;  // --interface: 0 until a signal
    bool promiscuous = false;
    std::string filter;
    bool filter_given = false;
    std::vector<std::string> local_nets;
    double update_interval = 15;
    double idle_timeout = 30;

    bool CaptureInput() const { return !capture_path.empty() || !interface.empty(); }

    bool help = false;
    bool version = false;
};

// Parses argv[1..argc-1]. Throws vxUsageError with a message that names the
// offending option.
vxReplayOptions vxParseOptions(int argc, const char *const *argv);

// The text --help prints.
std::string vxUsageText();
