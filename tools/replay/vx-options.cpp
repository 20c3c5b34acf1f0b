// Command line of vessix-replay: options with their values checked here, so
// that nothing is loaded before the whole command line is known to be good.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "vx-options.hpp"

namespace {

std::uint64_t ParseUnsigned(const std::string &option, const std::string &text, std::uint64_t max)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw vxUsageError(option + ": expected a whole number from 0 to " +
            std::to_string(max) + ", not \"" + text + "\"");
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > max)
        throw vxUsageError(option + ": " + text + " is out of range (0 to " +
            std::to_string(max) + ")");
    return value;
}

double ParseSeconds(const std::string &option, const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value <= 0)
        throw vxUsageError(option + ": expected a positive number of seconds, not \"" + text + "\"");
    return value;
}

std::pair<std::string, std::string> ParseAssignment(const std::string &option, const std::string &text)
{
    std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        throw vxUsageError(option + ": expected NAME=VALUE, not \"" + text + "\"");
    return {text.substr(0, equals), text.substr(equals + 1)};
}

}  // namespace

std::string vxUsageText()
{
    return
        "Usage: vessix-replay [OPTIONS] RECORDING\n"
        "       vessix-replay [OPTIONS] --capture PATH\n"
        "       vessix-replay [OPTIONS] --interface IFACE\n"
        "Runs the Lua processor plugin on the events of a recording (JSON Lines; '-'\n"
        "reads standard input), of a packet capture or of live traffic, as the\n"
        "flow-inspection daemon would send them.\n"
        "\n"
        "  --plugin PATH        plugin library (default: libvessix-proc-lua.so.0 beside the tool,\n"
        "                       or for an installed tool the one installed in its LIBDIR)\n"
        "  --conf PATH          the plugin parameter conf_filename\n"
        "  -p KEY=VALUE         another plugin parameter (repeatable)\n"
        "  --tag TAG            the plugin's tag (default: lua)\n"
        "  --type N             the plugin type, 0 to 255 (default: 1)\n"
        "  -d, --debug          write debug log lines too\n"
        "  --sinks PATH         write each sink payload as one JSON line to PATH ('-': standard\n"
        "                       output); default: a one-line summary on standard error\n"
        "  --status PATH        after the final drain, write the plugin's status document as one\n"
        "                       JSON line to PATH ('-': standard error); \"status\" lines of the\n"
        "                       recording write there too (default: standard error)\n"
        "  -D NAME=VALUE        a variable of the global configuration (repeatable)\n"
        "  --path-config DIR    (default: /etc/vessixd)\n"
        "  --path-shared DIR    (default: /usr/share/vessixd)\n"
        "  --path-volatile DIR  (default: /var/run/vessixd)\n"
        "  --path-persistent DIR (default: /var/lib/vessixd)\n"
        "  --buckets N          bucket count of the flow map, 1 or more (default: 16)\n"
        "  --expect FILE        compare standard output with FILE; on a difference print a\n"
        "                       unified diff on standard error and exit with status 4\n"
        "  --strict             exit with status 5 when a handler call failed and nothing\n"
        "                       else went wrong\n"
        "  --capture PATH       replay a packet capture (pcap or pcapng) instead of a recording\n"
        "  --interface IFACE    capture live on IFACE instead (needs root or CAP_NET_RAW); ends\n"
        "                       on SIGINT or SIGTERM, or after --duration\n"
        "  --duration S         with --interface: seconds to capture (default: until a signal)\n"
        "  --promiscuous        with --interface: put the interface in promiscuous mode\n"
        "  --filter EXPR        with --capture or --interface: a pcap filter (tcpdump syntax)\n"
        "  --record FILE        with --capture or --interface: also write the events sent to the\n"
        "                       plugin as a recording, which replays to the same output\n"
        "  --local-net CIDR     with a capture: a local network (repeatable)\n"
        "  --update-interval S  with a capture: seconds between update cycles (default: 15)\n"
        "  --idle-timeout S     with a capture: seconds before an idle flow expires (default: 30)\n"
        "  --help               print this text\n"
        "  --version            print the tool's version\n"
        "\n"
        "SIGHUP asks the plugin to reload, as the daemon does, in every mode. When a handler\n"
        "call failed, one line on standard error says how many did.\n"
        "\n"
        "Exit status: 0 replayed, 1 usage error or bad recording, 2 the plugin could not be\n"
        "created, 3 the plugin's worker thread ended by an exception, 4 standard output\n"
        "differs from the --expect file, 5 with --strict: a handler call failed.\n";
}

vxReplayOptions vxParseOptions(int argc, const char *const *argv)
{
    vxReplayOptions options;
    std::vector<std::string> operands;
    bool capture_only_given = false;
    std::string capture_only_option;
    std::string live_only_option;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") {
            for (i++; i < argc; i++) operands.emplace_back(argv[i]);
            break;
        }
        if (arg == "-" || arg.empty() || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }

        // "--name=value", "--name value", "-p value" and "-pvalue".
        std::string name = arg, value;
        bool inline_value = false;
        if (arg.rfind("--", 0) == 0) {
            std::size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                inline_value = true;
            }
        } else if (arg.size() > 2 && (arg[1] == 'p' || arg[1] == 'D')) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
            inline_value = true;
        }
        auto take_value = [&]() -> std::string {
            if (inline_value) return value;
            if (i + 1 >= argc) throw vxUsageError(name + ": a value is missing");
            return argv[++i];
        };
        auto no_value = [&]() {
            if (inline_value) throw vxUsageError(name + ": takes no value");
        };

        if (name == "--help" || name == "-h") {
            no_value();
            options.help = true;
        } else if (name == "--version") {
            no_value();
            options.version = true;
        } else if (name == "-d" || name == "--debug") {
            no_value();
            options.debug = true;
        } else if (name == "--plugin") {
            options.plugin_path = take_value();
            if (options.plugin_path.empty()) throw vxUsageError("--plugin: the path is empty");
        } else if (name == "--conf") {
            options.params["conf_filename"] = take_value();
        } else if (name == "-p") {
            auto [key, val] = ParseAssignment("-p", take_value());
            options.params[key] = val;
        } else if (name == "--tag") {
            options.tag = take_value();
        } else if (name == "--type") {
            options.type = static_cast<std::uint8_t>(ParseUnsigned("--type", take_value(), 255));
        } else if (name == "--sinks") {
            options.sinks = true;
            options.sinks_path = take_value();
            if (options.sinks_path.empty()) throw vxUsageError("--sinks: the path is empty");
        } else if (name == "--status") {
            options.status_path = take_value();
            if (options.status_path.empty()) throw vxUsageError("--status: the path is empty");
        } else if (name == "-D") {
            auto [key, val] = ParseAssignment("-D", take_value());
            options.conf_vars[key] = val;
        } else if (name == "--path-config") {
            options.path_config = take_value();
        } else if (name == "--path-shared") {
            options.path_shared = take_value();
        } else if (name == "--path-volatile") {
            options.path_volatile = take_value();
        } else if (name == "--path-persistent") {
            options.path_persistent = take_value();
        } else if (name == "--buckets") {
            std::string text = take_value();
            options.buckets = static_cast<std::size_t>(ParseUnsigned("--buckets", text, 1u << 24));
            if (options.buckets == 0) throw vxUsageError("--buckets: expected 1 or more, not 0");
        } else if (name == "--expect") {
            options.expect_path = take_value();
            if (options.expect_path.empty()) throw vxUsageError("--expect: the path is empty");
        } else if (name == "--strict") {
            no_value();
            options.strict = true;
        } else if (name == "--record") {
            options.record_path = take_value();
            if (options.record_path.empty()) throw vxUsageError("--record: the path is empty");
            capture_only_given = true;
            capture_only_option = name;
        } else if (name == "--capture") {
            options.capture_path = take_value();
            if (options.capture_path.empty()) throw vxUsageError("--capture: the path is empty");
        } else if (name == "--interface") {
            options.interface = take_value();
            if (options.interface.empty()) throw vxUsageError("--interface: the interface is empty");
        } else if (name == "--duration") {
            options.duration = ParseSeconds(name, take_value());
            live_only_option = name;
        } else if (name == "--promiscuous") {
            no_value();
            options.promiscuous = true;
            live_only_option = name;
        } else if (name == "--filter") {
            options.filter = take_value();
            options.filter_given = true;
            capture_only_given = true;
            capture_only_option = name;
        } else if (name == "--local-net") {
            options.local_nets.push_back(take_value());
            capture_only_given = true;
            capture_only_option = name;
        } else if (name == "--update-interval") {
            options.update_interval = ParseSeconds(name, take_value());
            capture_only_given = true;
            capture_only_option = name;
        } else if (name == "--idle-timeout") {
            options.idle_timeout = ParseSeconds(name, take_value());
            capture_only_given = true;
            capture_only_option = name;
        } else {
            throw vxUsageError("unknown option \"" + arg + "\" (see --help)");
        }
    }

    if (options.help || options.version) return options;

    if (options.CaptureInput()) {
        const char *input = options.interface.empty() ? "--capture" : "--interface";
        if (!options.capture_path.empty() && !options.interface.empty())
            throw vxUsageError("--capture and --interface: one capture input only");
        if (!operands.empty())
            throw vxUsageError(std::string(input) + " replaces RECORDING: leave it out (got \"" +
                operands.front() + "\")");
        if (options.interface.empty() && !live_only_option.empty())
            throw vxUsageError(live_only_option + ": only with --interface");
    } else {
        if (capture_only_given)
            throw vxUsageError(capture_only_option + ": only with --capture or --interface");
        if (!live_only_option.empty()) throw vxUsageError(live_only_option + ": only with --interface");
        if (operands.empty()) throw vxUsageError("RECORDING is missing (see --help)");
        if (operands.size() > 1)
            throw vxUsageError("one RECORDING only; unexpected \"" + operands[1] + "\"");
        options.recording = operands.front();
    }
    return options;
}
