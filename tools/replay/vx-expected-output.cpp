// Keeps a copy of standard output at the file descriptor level, so that the
// comparison sees every byte the run wrote there, whoever wrote it, and
// leaves the making of the diff to the system's diff program.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "vx-expected-output.hpp"
#include "vx-options.hpp"

extern char **environ;

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

bool WriteAll(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// A file descriptor numbered 10 or above: the diff program is given its
// inputs as descriptors 0 and 3, which these must not be.
int HighDescriptor(int fd)
{
    if (fd < 0) return fd;
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

int MemoryFile(const char *name)
{
    int fd = HighDescriptor(::memfd_create(name, MFD_CLOEXEC));
    if (fd < 0) throw std::runtime_error(std::string("cannot create a memory file: ") + ErrorText(errno));
    return fd;
}

void Close(int &fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

vxExpectedOutput::vxExpectedOutput(const std::string &path) : path(path)
{
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) throw vxUsageError("--expect: cannot read " + path + ": " + ErrorText(errno));
    expected_fd = MemoryFile("vessix-replay-expected");
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(file, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            ::close(file);
            throw vxUsageError("--expect: cannot read " + path + ": " + ErrorText(error));
        }
        if (got == 0) break;
        if (!WriteAll(expected_fd, buffer, static_cast<std::size_t>(got))) {
            ::close(file);
            throw std::runtime_error("cannot keep the expected output: " + ErrorText(errno));
        }
    }
    ::close(file);
}

vxExpectedOutput::~vxExpectedOutput()
{
    if (copier.joinable()) Finish();
    Close(expected_fd);
    Close(kept_fd);
}

void vxExpectedOutput::Start()
{
    kept_fd = MemoryFile("vessix-replay-output");
    int pipe_fds[2], stop_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe: " + ErrorText(errno));
    if (::pipe2(stop_fds, O_CLOEXEC) != 0) {
        int error = errno;
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        throw std::runtime_error("cannot make a pipe: " + ErrorText(error));
    }
    pipe_read = pipe_fds[0];
    stop_read = stop_fds[0];
    stop_write = stop_fds[1];
    std::fflush(stdout);
    stdout_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (stdout_fd < 0 || ::dup2(pipe_fds[1], STDOUT_FILENO) < 0) {
        int error = errno;
        ::close(pipe_fds[1]);
        throw std::runtime_error("cannot redirect standard output: " + ErrorText(error));
    }
    ::close(pipe_fds[1]);
    copier = std::thread([this] { Copy(); });
}

// Runs on its own thread until Finish: forwards each chunk to the real
// standard output and keeps it. Finish asks it to stop through a pipe of
// its own rather than by closing the output pipe, because programs a
// script started may still hold that pipe open.
void vxExpectedOutput::Copy()
{
    char buffer[65536];
    bool forwarding = true;
    bool stopping = false;
    for (;;) {
        pollfd fds[2] = {{pipe_read, POLLIN, 0}, {stop_read, POLLIN, 0}};
        int ready = ::poll(fds, stopping ? 1 : 2, stopping ? 0 : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        if (fds[0].revents != 0) {
            ssize_t got = ::read(pipe_read, buffer, sizeof(buffer));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            auto length = static_cast<std::size_t>(got);
            if (forwarding) forwarding = WriteAll(stdout_fd, buffer, length);
            WriteAll(kept_fd, buffer, length);
            continue;
        }
        // Nothing left to read: done once a stop was asked for and what
        // was written before it has been taken.
        if (stopping) return;
        if (fds[1].revents != 0) stopping = true;
    }
}

bool vxExpectedOutput::Finish()
{
    if (!copier.joinable()) return true;
    std::fflush(stdout);
    ::dup2(stdout_fd, STDOUT_FILENO);
    char stop = 0;
    WriteAll(stop_write, &stop, 1);
    copier.join();
    Close(stdout_fd);
    Close(pipe_read);
    Close(stop_read);
    Close(stop_write);
    if (CompareKept()) return true;
    WriteDiff();
    return false;
}

bool vxExpectedOutput::CompareKept()
{
    ::lseek(expected_fd, 0, SEEK_SET);
    ::lseek(kept_fd, 0, SEEK_SET);
    char expected[65536], kept[65536];
    for (;;) {
        ssize_t a = ::read(expected_fd, expected, sizeof(expected));
        ssize_t b = ::read(kept_fd, kept, sizeof(kept));
        // Memory files give whole chunks until their end.
        if (a != b) return false;
        if (a <= 0) return a == 0;
        if (std::memcmp(expected, kept, static_cast<std::size_t>(a)) != 0) return false;
    }
}

void vxExpectedOutput::WriteDiff()
{
    std::fflush(stderr);
    ::lseek(expected_fd, 0, SEEK_SET);
    ::lseek(kept_fd, 0, SEEK_SET);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, kept_fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, expected_fd, 3);
    // -a: log lines may hold any bytes, and a diff of them is still wanted.
    std::string label_expected = path, label_kept = "(standard output)";
    std::string program = "diff", text = "-a", unified = "-u", label = "--label", first = "/dev/fd/3",
                second = "-";
    char *argv[] = {program.data(), text.data(), unified.data(), label.data(), label_expected.data(),
        label.data(), label_kept.data(), first.data(), second.data(), nullptr};
    pid_t pid = -1;
    int spawned = ::posix_spawnp(&pid, "diff", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned == 0) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // diff exits with 1 when it found the difference it was run for.
    if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 1) {
        std::fprintf(stderr, "vessix-replay: standard output differs from %s (diff could not show how: %s)\n",
            path.c_str(), spawned != 0 ? ErrorText(spawned).c_str() : "it failed");
    }
}
