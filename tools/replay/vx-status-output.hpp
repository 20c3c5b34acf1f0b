// The plugin's status document as JSON lines: after the final drain with
// --status, and at each "status" line of a recording.
#pragma once

#include <cstdio>
#include <string>

#include <vessixd.hpp>

class vxStatusOutput {
public:
    vxStatusOutput() = default;
    ~vxStatusOutput();
    vxStatusOutput(const vxStatusOutput &) = delete;
    vxStatusOutput &operator=(const vxStatusOutput &) = delete;

    // Creates or truncates path ("-": standard error). Throws
    // std::runtime_error when it cannot be opened.
    void Open(const std::string &path);
    // Whether --status named a destination.
    bool Requested() const { return file != nullptr; }
    // Writes the document that plugin's GetStatus fills, starting from an
    // empty object, as one line: to the destination opened, standard error
    // when none was.
    void Write(vdPluginProcessor &plugin);

private:
    std::FILE *file = nullptr;
    bool owned = false;
};
