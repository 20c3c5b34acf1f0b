// Files the plugin opens by name: the configuration and the script.
#pragma once

#include <string>

// A file opened for reading without waiting. A named pipe without a
// writer blocks an ordinary open, and a device may never end; either would
// hold the worker, and with it the daemon's shutdown, for ever. So the name
// is opened non-blocking and kept only when it is a regular file or a
// directory (which opens but fails to read, as it always has).
class lppFile {
public:
    explicit lppFile(const std::string &path);
    ~lppFile();
    lppFile(const lppFile &) = delete;
    lppFile &operator=(const lppFile &) = delete;

    bool IsOpen() const { return fd >= 0; }
    // Whether the name opened as something other than a regular file or a
    // directory, and was refused for that.
    bool IsRefused() const { return refused; }

    // Appends the rest of the file to text; false, with errno set, when a
    // read fails.
    bool ReadAll(std::string &text);

private:
    int fd = -1;
    bool refused = false;
};
