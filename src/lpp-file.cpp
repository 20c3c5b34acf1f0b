// Opening files by name without waiting on pipes or devices.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lpp-file.hpp"

lppFile::lppFile(const std::string &path)
{
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) return;
    refused = true;
    ::close(fd);
    fd = -1;
}

lppFile::~lppFile()
{
    if (fd >= 0) ::close(fd);
}

bool lppFile::ReadAll(std::string &text)
{
    char buffer[8192];
    for (;;) {
        ssize_t length = ::read(fd, buffer, sizeof(buffer));
        if (length > 0) {
            text.append(buffer, static_cast<std::size_t>(length));
        } else if (length == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}
