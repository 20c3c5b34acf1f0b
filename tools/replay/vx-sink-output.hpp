// Where the sink payloads that the plugin dispatches go.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class vxSinkOutput {
public:
    // Without a path, each payload gives a one-line summary on standard
    // error; with one, a JSON line ("-" is standard output).
    vxSinkOutput() = default;
    ~vxSinkOutput();
    vxSinkOutput(const vxSinkOutput &) = delete;
    vxSinkOutput &operator=(const vxSinkOutput &) = delete;

    // Opens path, replacing the file; throws std::runtime_error when it
    // cannot be opened.
    void Open(const std::string &path);

    // From now on every dispatch throws std::runtime_error(*fail); nullopt
    // ends that.
    void SetFail(std::optional<std::string> fail);

    // Installs this object as the stand-in's payload sink; Uninstall
    // restores the default.
    void Install();
    static void Uninstall();

    // What the stand-in calls for each payload.
    void Dispatch(const std::string &target, const std::set<std::string> &channels,
        unsigned long length, const unsigned char *payload, std::uint8_t flags);

private:
    std::mutex mutex;
    std::FILE *file = nullptr;
    bool owns_file = false;
    std::optional<std::string> fail;
};

// One JSON line (with its newline) for a payload, keys in the order target,
// channels, flags, length, payload_hex, payload (only for valid UTF-8).
std::string vxSinkLine(const std::string &target, const std::set<std::string> &channels,
    unsigned long length, const unsigned char *payload, std::uint8_t flags);

// Whether bytes are valid UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF.
bool vxIsValidUtf8(const unsigned char *bytes, std::size_t length);
