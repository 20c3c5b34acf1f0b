#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "vx-e2e-support.hpp"

extern char **environ;

std::string vxReplayTest::ReadFileText(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> vxReplayTest::LinesWith(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> lines;
    std::istringstream input(text);
    std::string line;
    while (std::getline(input, line))
        if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
}

namespace {

vxReplayRun Spawn(const std::vector<std::string> &args, const std::string &stdin_path,
    const std::string &output_folder, const std::string &working_folder)
{
    vxReplayRun run;
    const std::string out_path = output_folder + "/.stdout", err_path = output_folder + "/.stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!working_folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(),
        O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> all = {VX_REPLAY_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawned = posix_spawn(&pid, VX_REPLAY_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << VX_REPLAY_PATH;
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    int wstatus = 0;
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            ADD_FAILURE() << "vessix-replay did not end within two minutes";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
    run.out = vxReplayTest::ReadFileText(out_path);
    run.err = vxReplayTest::ReadFileText(err_path);
    return run;
}

}  // namespace

vxReplayRun vxReplayTest::Run(const std::vector<std::string> &args, const std::string &stdin_path)
{
    return Spawn(args, stdin_path, dir.Path(), "");
}

vxReplayRun vxReplayTest::RunIn(const std::string &folder, const std::vector<std::string> &args)
{
    lpptest::TempDir output;
    return Spawn(args, "", output.Path(), folder);
}

vxReplayRun vxReplayTest::RunScript(const std::string &script, const std::string &recording,
    const std::vector<std::string> &extra)
{
    const std::string script_path = Write("script.lua", script);
    const std::string conf = Write("conf.json", json{{"script", script_path}}.dump());
    const std::string rec = Write("recording.jsonl", recording);
    std::vector<std::string> args = {"--conf", conf, "--sinks", Path("sinks.jsonl")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(rec);
    vxReplayRun run = Run(args);
    run.sinks = ReadFileText(Path("sinks.jsonl"));
    return run;
}
