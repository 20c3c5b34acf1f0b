// Flows the benchmarks feed the plugin, shared with the test that checks the
// floor builder against the plugin.
#pragma once

#include <cstdint>
#include <memory>

#include <vessixd.hpp>

namespace lppbench {

// A detected TLS flow as a busy sensor sees many of: IPv4 TCP with MAC
// addresses, two metadata digests, every TLS row (SNI, certificate names,
// JA4, fingerprint, ALPN both ways, encrypted client hello), a category, three
// risks and two tags.
std::shared_ptr<vdFlow> MakeTlsFlow(std::uint32_t variant = 0);

}  // namespace lppbench
