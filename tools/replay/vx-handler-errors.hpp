// Handler calls that failed: the plugin logs each as a debug line
// "TAG: HANDLER: error: ...", which the stand-in hands to the tool whether or
// not debug mode writes it. The tool counts them and says so at the end, so
// that a failing script is never silent.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

class vxHandlerErrors {
public:
    // Counts the error lines of the plugin with tag from now on.
    void Install(const std::string &tag);
    // Stops counting; the counts stay.
    static void Uninstall();

    std::size_t Total() const;
    // "N handler error(s) (ProcessFlowEvent 3, ...)" and, unless the error
    // lines were written (debug), "; run with -d to see them"; empty when no
    // call failed.
    std::string Summary(bool debug) const;

    // Counts line when it is an error line of one of the handlers.
    void Observe(const std::string &line);

private:
    static constexpr std::size_t handler_count = 4;
    static const char *const handlers[handler_count];

    mutable std::mutex mutex;
    std::string tag;
    std::size_t counts[handler_count] = {};
};
