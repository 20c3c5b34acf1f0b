// --expect: what a run writes to standard output, compared with a file.
#pragma once

#include <string>
#include <thread>

class vxExpectedOutput {
public:
    // Reads the expected file now, so that a file that cannot be read is a
    // usage error before anything runs; throws vxUsageError.
    explicit vxExpectedOutput(const std::string &path);
    ~vxExpectedOutput();
    vxExpectedOutput(const vxExpectedOutput &) = delete;
    vxExpectedOutput &operator=(const vxExpectedOutput &) = delete;

    // From now on everything written to file descriptor 1 (log lines, sink
    // lines, and whatever the plugin or a script writes there) still reaches
    // standard output and is kept for the comparison. Throws
    // std::runtime_error when standard output cannot be redirected.
    void Start();

    // Ends the redirection and compares. On a difference writes a unified
    // diff on standard error (made by the system's diff) and returns false.
    bool Finish();

private:
    void Copy();
    bool CompareKept();
    void WriteDiff();

    std::string path;
    int expected_fd = -1;  // a memory file with the expected bytes
    int kept_fd = -1;  // a memory file with what the run wrote
    int stdout_fd = -1;  // the real standard output while redirected
    int pipe_read = -1;
    int stop_read = -1, stop_write = -1;
    std::thread copier;
};
