// What the harnesses share: a scratch folder that lives as long as the
// process, the daemon's global configuration, and a quiet log.
#pragma once

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <vessixd.hpp>

#include "vessixd-standin.hpp"

namespace lppfuzz {

// A folder of the process's own, made once; its files are rewritten by each
// input, so nothing accumulates.
inline const std::string &ScratchDir()
{
    static const std::string dir = [] {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/lpp-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return pattern;
    }();
    return dir;
}

inline std::string WriteFile(const std::string &name, const std::string &content)
{
    std::string path = ScratchDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return path;
}

// The daemon's configuration, with ${fuzz} naming the scratch folder so that
// seed configurations can name its scripts, and a log that drops every line
// (a fuzzer's own output is its progress report).
inline void SetUpDaemon()
{
    vdGlobalConfig &config = vdGlobalConfig::Create();
    config.conf_vars["fuzz"] = ScratchDir();
    vd_standin_set_debug(true);
    vd_standin_set_log_sink([](const std::string &) {});
    vd_standin_set_payload_sink(
        [](const std::string &, const std::set<std::string> &, unsigned long, const unsigned char *,
            std::uint8_t) {});
}

}  // namespace lppfuzz
