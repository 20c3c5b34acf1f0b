// Running vessix-replay from the tests: folders, files, the child process
// and its output.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

std::string vxEveryFieldSet()
{
    std::string text = R"({
"iface":{"name":"wan0","role":2},"digest_lower":"00000000000000ff","digest_mdata":[1,"abcdef0123456789"],
"ip_version":4,"ip_dscp":46,"ip_protocol":6,"lower_map":1,"other_type":5,"tunnel_type":1,"origin":1,
"privacy_mask":0,"vlan_id":4094,"first_seen_at":1700000000000,"last_seen_at":1700000005000,
"lower_mac":"aa:bb:cc:dd:ee:ff","upper_mac":"00:11:22:33:44:55",
"lower_addr":"192.168.1.10","lower_port":51514,"upper_addr":"93.184.216.34","upper_port":443,
"flags":{"detection_complete":true,"detection_guessed":false,"detection_init":true,"detection_updated":true,
"dhc_hit":true,"fhc_hit":false,"expiring":true,"expired":false,"soft_dissector":true},
"tcp":{"fin_acks":2,"last_seq":123456},
"stats":{"lower_bytes":100,"upper_bytes":200,"total_bytes":300,"lower_total_bytes":1000,"upper_total_bytes":2000,
"lower_packets":3,"upper_packets":4,"total_packets":7,"lower_total_packets":30,"upper_total_packets":40,
"detection_packets":5,"lower_rate":1.5,"upper_rate":2.5,"tcp_seq_errors":6,"tcp_resets":7,"tcp_retrans":8},
"gtp":{"version":1,"ip_version":4,"ip_dscp":8,"lower_addr":"10.0.0.1","upper_addr":"10.0.0.2","lower_port":2152,
"upper_port":2153,"lower_teid":1,"upper_teid":2,"lower_type":3,"upper_type":4,"lower_map":1,"other_type":3},
"dns_host_name":"dns.example","host_server_name":"www.example.com",
"detected_protocol":188,"detected_application":126,"master_protocol":3,
"detected_protocol_name":"QUIC","detected_application_name":"Google",
"category":{"application":11,"protocol":12,"domain":13,"lower_net":14,"upper_net":15,"overlay":16},
"http":{"user_agent":"curl/8","url":"/x"},"dhcp":{"fingerprint":"1,3,6","class_ident":"MSFT 5.0"},
"ssh":{"client_agent":"SSH-2.0-c","server_agent":"SSH-2.0-s"},
"tls":{"version":771,"cipher_suite":4865,"encrypted_ch_version":65037,"server_cn":"cn.example",
"issuer_dn":"CN=issuer","subject_dn":"CN=subject","client_ja4":"t13d_ja4","fingerprint":"00ff10",
"alpn":["h3","h2"],"alpn_server":["h3"]},
"smtp_tls":true,"bt_info_hash":"0102abcd","ssdp_user_agent":"upnp/1.0","mdns_domain_name":"printer.local",
"stun":{"mapped":"1.2.3.4:3478","peer":"[2001:db8::9]:19302","relayed":"5.6.7.8:1","response":"9.9.9.9:2","other":"[::1]:3"},
"risk":{"score":110,"score_client":10,"score_server":100,"risks":[27,6]},
"tags":["zeta","alpha"]})";
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

namespace {

vxReplayRun Spawn(const std::vector<std::string> &prefix, const std::vector<std::string> &args,
    const std::string &stdin_path, const std::string &output_folder, const std::string &working_folder,
    const std::function<void(pid_t)> &during = {})
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

    std::vector<std::string> all = prefix;
    all.push_back(VX_REPLAY_PATH);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, all.front().c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << all.front();
        return run;
    }
    if (during) during(pid);
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
    return Spawn({}, args, stdin_path, dir.Path(), "");
}

vxReplayRun vxReplayTest::RunWith(const std::vector<std::string> &prefix, const std::vector<std::string> &args,
    const std::function<void(pid_t)> &during)
{
    return Spawn(prefix, args, "", dir.Path(), "", during);
}

vxReplayRun vxReplayTest::RunIn(const std::string &folder, const std::vector<std::string> &args)
{
    lpptest::TempDir output;
    return Spawn({}, args, "", output.Path(), folder);
}

vxReplayRun vxReplayTest::RunScript(const std::string &script, const std::string &recording,
    const std::vector<std::string> &extra, const json &members)
{
    json conf_members = members;
    conf_members["script"] = Write("script.lua", script);
    const std::string conf = Write("conf.json", conf_members.dump());
    const std::string rec = Write("recording.jsonl", recording);
    std::vector<std::string> args = {"--conf", conf, "--sinks", Path("sinks.jsonl")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(rec);
    vxReplayRun run = Run(args);
    run.sinks = ReadFileText(Path("sinks.jsonl"));
    return run;
}
