// Helpers shared by the test programs: captured log lines and sink payloads,
// temporary folders, the global configuration, and waiting with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <vessixd.hpp>

#include "vessixd-standin.hpp"

namespace lpptest {

// Whether this program is built with AddressSanitizer or ThreadSanitizer:
// they slow the code down several times, so tests that repeat work for
// load or for rare races do less of it there, to keep the suite within its
// time budget.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A Lua expression giving Lua's own debug library, unguarded: opened anew
// from the Lua library with package.loadlib, as native code a script loads
// itself. Scripts of tests reach the plugin's own defences through it, which
// the plugin's guarded debug library keeps them from.
inline const std::string kUnguardedDebug =
    std::string("package.loadlib(\"") + LPP_TEST_LUA_LIBRARY + "\", \"luaopen_debug\")()";

// Collects every log line while alive; debug lines too when debug is true.
class LogCapture {
public:
    explicit LogCapture(bool debug = true);
    ~LogCapture();

    std::vector<std::string> Lines() const;
    // Every line joined, in order.
    std::string Text() const;
    // Lines that contain needle.
    std::vector<std::string> Matching(const std::string &needle) const;
    void Clear();

private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

struct Payload {
    std::string target;
    std::set<std::string> channels;
    std::string bytes;
    std::uint8_t flags = 0;
};

// Collects every sink payload while alive; when fail is set, the host's
// dispatch throws std::runtime_error(fail) instead.
class PayloadCapture {
public:
    PayloadCapture();
    ~PayloadCapture();

    std::vector<Payload> Payloads() const;
    void FailWith(const std::string &message);

private:
    mutable std::mutex mutex;
    std::vector<Payload> payloads;
    std::string fail;
};

// A fresh folder under the system's temporary folder, removed with its
// contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();

    const std::string &Path() const { return path; }
    // Writes content to name inside the folder; returns the full path.
    std::string Write(const std::string &name, const std::string &content) const;
    // Makes a named pipe, or a Unix-domain socket's name, inside the folder;
    // returns the full path.
    std::string Fifo(const std::string &name) const;
    std::string Socket(const std::string &name) const;

private:
    std::string path;
};

// Guards a call that might block in opening the named pipe at path: once
// limit has passed, the watchdog opens the pipe for writing and closes it
// again, which releases a reader blocked in its open (it then reads an end
// of file), so that a hang shows as a failed test instead of a stuck run.
class PipeWatchdog {
public:
    explicit PipeWatchdog(std::string path, std::chrono::milliseconds limit = std::chrono::seconds(3));
    ~PipeWatchdog();
    // Ends the watch; whether the watchdog had to release a reader.
    bool Stop();

private:
    std::string path;
    std::mutex mutex;
    std::condition_variable cond;
    bool stopped = false;
    bool fired = false;
    std::thread thread;
};

// Creates the daemon's global configuration for the test's lifetime.
class GlobalConfigScope {
public:
    GlobalConfigScope();
    ~GlobalConfigScope();
    vdGlobalConfig &Get() { return vdGlobalConfig::GetInstance(); }
};

// Polls condition until it holds or timeout passes; returns its last value.
bool WaitFor(const std::function<bool()> &condition,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A flow with an interface, ready to fill in.
std::shared_ptr<vdFlow> MakeFlow();

}  // namespace lpptest
