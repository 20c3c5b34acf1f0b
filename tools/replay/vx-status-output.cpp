// Status lines: one JSON document a line, flushed at once so that a reader
// of the file sees each line whole as soon as the replay has written it.
#include <stdexcept>

#include "vx-status-output.hpp"

vxStatusOutput::~vxStatusOutput()
{
    if (owned) std::fclose(file);
}

void vxStatusOutput::Open(const std::string &path)
{
    if (path == "-") {
        file = stderr;
        return;
    }
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("--status: cannot write " + path);
    owned = true;
}

void vxStatusOutput::Write(vdPluginProcessor &plugin)
{
    json status = json::object();
    plugin.GetStatus(status);
    const std::string line = status.dump() + "\n";
    std::FILE *out = (file != nullptr) ? file : stderr;
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}
