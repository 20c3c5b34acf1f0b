// Log lines and their sink.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "vd-base.hpp"
#include "vessixd-standin.hpp"

namespace {

std::mutex &LogMutex()
{
    static std::mutex mutex;
    return mutex;
}

vdLogSink &LogSink()
{
    static vdLogSink sink;
    return sink;
}

bool debug_mode = false;

vdLogSink &DebugObserver()
{
    static vdLogSink observer;
    return observer;
}

std::string FormatV(const char *format, va_list ap)
{
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int length = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < sizeof(small)) return std::string(small, length);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, ap);
    text.resize(static_cast<size_t>(length));
    return text;
}

void Write(const std::string &line)
{
    // One mutex for the sink and the default stream: lines are written
    // whole and in the order they were logged.
    std::lock_guard<std::mutex> guard(LogMutex());
    if (LogSink()) {
        LogSink()(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace


void vd_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string line = FormatV(format, ap);
    va_end(ap);
    Write(line);
}

void vd_dprintf(const char *format, ...)
{
    bool observed;
    {
        std::lock_guard<std::mutex> guard(LogMutex());
        observed = static_cast<bool>(DebugObserver());
        if (!debug_mode && !observed) return;
    }
    va_list ap;
    va_start(ap, format);
    std::string line = FormatV(format, ap);
    va_end(ap);
    if (observed) {
        std::lock_guard<std::mutex> guard(LogMutex());
        if (DebugObserver()) DebugObserver()(line);
    }
    if (vd_standin_get_debug()) Write(line);
}

void vd_standin_set_log_sink(vdLogSink sink)
{
    std::lock_guard<std::mutex> guard(LogMutex());
    LogSink() = std::move(sink);
}

void vd_standin_set_debug_observer(vdLogSink observer)
{
    std::lock_guard<std::mutex> guard(LogMutex());
    DebugObserver() = std::move(observer);
}

void vd_standin_set_debug(bool debug)
{
    std::lock_guard<std::mutex> guard(LogMutex());
    debug_mode = debug;
}

bool vd_standin_get_debug()
{
    std::lock_guard<std::mutex> guard(LogMutex());
    return debug_mode;
}

vdException::vdException(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    message = FormatV(format, ap);
    va_end(ap);
}

vdException::~vdException() = default;

const char *vdException::what() const noexcept { return message.c_str(); }
