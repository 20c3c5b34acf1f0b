// Helpers shared by the test programs: log and sink capture, temporary
// folders, the global configuration, bounded waits.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "lpp-test-support.hpp"

namespace lpptest {

LogCapture::LogCapture(bool debug)
{
    vd_standin_set_debug(debug);
    vd_standin_set_log_sink([this](const std::string &line) {
        std::lock_guard<std::mutex> guard(mutex);
        lines.push_back(line);
    });
}

LogCapture::~LogCapture()
{
    vd_standin_set_log_sink(nullptr);
    vd_standin_set_debug(false);
}

std::vector<std::string> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return lines;
}

std::string LogCapture::Text() const
{
    std::string text;
    for (const auto &line : Lines()) text += line;
    return text;
}

std::vector<std::string> LogCapture::Matching(const std::string &needle) const
{
    std::vector<std::string> found;
    for (const auto &line : Lines())
        if (line.find(needle) != std::string::npos) found.push_back(line);
    return found;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> guard(mutex);
    lines.clear();
}

PayloadCapture::PayloadCapture()
{
    vd_standin_set_payload_sink([this](const std::string &target,
                                    const std::set<std::string> &channels, unsigned long length,
                                    const unsigned char *payload, std::uint8_t flags) {
        std::lock_guard<std::mutex> guard(mutex);
        if (!fail.empty()) throw std::runtime_error(fail);
        payloads.push_back(Payload{target, channels,
            std::string(reinterpret_cast<const char *>(payload), length), flags});
    });
}

PayloadCapture::~PayloadCapture() { vd_standin_set_payload_sink(nullptr); }

std::vector<Payload> PayloadCapture::Payloads() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return payloads;
}

void PayloadCapture::FailWith(const std::string &message)
{
    std::lock_guard<std::mutex> guard(mutex);
    fail = message;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "lpp-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
        std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const
{
    std::string file = path + "/" + name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
}

std::string TempDir::Fifo(const std::string &name) const
{
    std::string file = path + "/" + name;
    if (mkfifo(file.c_str(), 0600) != 0) throw std::runtime_error("cannot make the pipe " + file);
    return file;
}

std::string TempDir::Socket(const std::string &name) const
{
    std::string file = path + "/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (file.size() >= sizeof(address.sun_path)) throw std::runtime_error("socket path too long: " + file);
    std::memcpy(address.sun_path, file.c_str(), file.size() + 1);
    // The name stays in the folder after the socket is closed.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    if (fd >= 0) close(fd);
    if (!bound) throw std::runtime_error("cannot make the socket " + file);
    return file;
}

PipeWatchdog::PipeWatchdog(std::string pipe_path, std::chrono::milliseconds limit)
    : path(std::move(pipe_path))
{
    thread = std::thread([this, limit] {
        std::unique_lock<std::mutex> lock(mutex);
        if (cond.wait_for(lock, limit, [this] { return stopped; })) return;
        fired = true;
        // A writer's open fails (ENXIO) while no reader has the pipe open;
        // every reader that blocks again is released again.
        while (!stopped) {
            int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);
            cond.wait_for(lock, std::chrono::milliseconds(10));
        }
    });
}

PipeWatchdog::~PipeWatchdog() { Stop(); }

bool PipeWatchdog::Stop()
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopped = true;
        cond.notify_all();
    }
    if (thread.joinable()) thread.join();
    return fired;
}

GlobalConfigScope::GlobalConfigScope() { vdGlobalConfig::Create(); }
GlobalConfigScope::~GlobalConfigScope() { vdGlobalConfig::Destroy(); }

bool WaitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::shared_ptr<vdFlow> MakeFlow()
{
    auto flow = std::make_shared<vdFlow>();
    flow->iface = std::make_shared<vdInterface>("eth0", 0);
    return flow;
}

}  // namespace lpptest
