// Controls of the stand-in daemon library that only the stand-in's own
// programs and tests use: where log lines and sink payloads go, debug mode,
// and the plugin type that vdPluginProcessor records.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

// Receives each whole log line (with its newline) in the order logged.
using vdLogSink = std::function<void(const std::string &line)>;
// Receives each sink payload; may throw to make the dispatch fail.
using vdPayloadSink = std::function<void(const std::string &target,
    const std::set<std::string> &channels, unsigned long length,
    const unsigned char *payload, std::uint8_t flags)>;

// An empty sink restores the default: standard output for log lines, a
// one-line summary on standard error for payloads.
void vd_standin_set_log_sink(vdLogSink sink);
void vd_standin_set_payload_sink(vdPayloadSink sink);

// Receives every vd_dprintf line, whether or not debug mode writes it (the
// replay tool counts the plugin's error lines this way); empty: none.
void vd_standin_set_debug_observer(vdLogSink observer);

void vd_standin_set_debug(bool debug);
bool vd_standin_get_debug();

// The plugin type that vdPluginProcessor's constructor records (default 1).
void vd_standin_set_plugin_type(std::uint8_t type);
