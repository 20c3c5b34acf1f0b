// Running vessix-replay from the tests: a folder per test for the script,
// configuration and recording, and the program's status and output.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lpp-test-support.hpp"

struct vxReplayRun {
    int status = -1;  // exit status; -1 when killed or not run
    std::string out;
    std::string err;
    std::string sinks;  // the --sinks file, when RunScript wrote one
};

// The "set" member of a recording line (an object, on one line) that gives a
// flow every field the recording format knows: a TCP flow in a GTP tunnel
// with every protocol detail, risk and tag, hence every key and sub-table of
// the flow table. Detection initialised, not expired: it joins flow maps.
std::string vxEveryFieldSet();

class vxReplayTest : public ::testing::Test {
public:
    static std::string ReadFileText(const std::string &path);
    // The lines of text that begin with prefix, prefix removed.
    static std::vector<std::string> LinesWith(const std::string &text, const std::string &prefix);
    // Runs the program in folder (its working directory) with args,
    // standard output and error into temporary files.
    static vxReplayRun RunIn(const std::string &folder, const std::vector<std::string> &args);

protected:
    // Runs the program with args; standard input from stdin_path when given.
    // A run that takes longer than two minutes is killed (status -1).
    vxReplayRun Run(const std::vector<std::string> &args, const std::string &stdin_path = "");
    // Runs it through prefix (a program and its arguments, such as one that
    // drops privileges), and calls during with its process id while it runs;
    // its standard output is in Path(".stdout") meanwhile.
    vxReplayRun RunWith(const std::vector<std::string> &prefix, const std::vector<std::string> &args,
        const std::function<void(pid_t)> &during = {});

    // Writes script and recording into the test's folder with a
    // configuration naming the script (and holding the members of conf),
    // and runs the recording with --conf and --sinks to a file, then extra.
    vxReplayRun RunScript(const std::string &script, const std::string &recording,
        const std::vector<std::string> &extra = {}, const json &conf = json::object());

    std::string Path(const std::string &name) const { return dir.Path() + "/" + name; }
    std::string Write(const std::string &name, const std::string &content) const
    {
        return dir.Write(name, content);
    }
    lpptest::TempDir dir;
};
