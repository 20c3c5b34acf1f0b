// The stand-in's helpers: log lines, exceptions, the global configuration,
// digests and variable expansion.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lpp-test-support.hpp"

TEST(StandinLog, DebugLinesOnlyInDebugMode)
{
    {
        lpptest::LogCapture log(false);
        EXPECT_FALSE(vd_standin_get_debug());
        vd_printf("%s: normal %d\n", "tag", 1);
        vd_dprintf("%s: debug %d\n", "tag", 2);
        EXPECT_EQ(log.Lines(), std::vector<std::string>{"tag: normal 1\n"});
    }
    {
        lpptest::LogCapture log(true);
        vd_dprintf("%s: debug %d\n", "tag", 3);
        vd_printf("%s: normal %d\n", "tag", 4);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{"tag: debug 3\n", "tag: normal 4\n"}));
    }
}

TEST(StandinLog, LongLinesAreWrittenWhole)
{
    lpptest::LogCapture log(false);
    const std::string long_text(5000, 'x');
    vd_printf("%s: %s\n", "tag", long_text.c_str());
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"tag: " + long_text + "\n"});
}

TEST(StandinException, FormatsItsMessage)
{
    const std::string long_text(1000, 'y');
    try {
        throw vdException("%s: %s: %u", "lua", long_text.c_str(), 22u);
    } catch (const std::exception &e) {
        EXPECT_EQ(std::string(e.what()), "lua: " + long_text + ": 22");
    }
}

TEST(StandinGlobalConfig, InstanceNotFoundUntilCreated)
{
    const std::string expected = "static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not found";
    try {
        vdGlobalConfig::GetInstance();
        ADD_FAILURE() << "GetInstance returned without an instance";
    } catch (const vdException &e) {
        EXPECT_EQ(std::string(e.what()), expected);
    }
    {
        lpptest::GlobalConfigScope scope;
        vdGlobalConfig &config = vdGlobalConfig::GetInstance();
        EXPECT_EQ(&config, &scope.Get());
        EXPECT_EQ(config.path_state_config, "/etc/vessixd");
        EXPECT_EQ(config.path_state_shared, "/usr/share/vessixd");
        EXPECT_EQ(config.path_state_volatile, "/var/run/vessixd");
        EXPECT_EQ(config.path_state_persistent, "/var/lib/vessixd");
    }
    EXPECT_THROW(vdGlobalConfig::GetInstance(), vdException);
}

TEST(StandinDigest, Sha1OfFiles)
{
    lpptest::TempDir dir;
    struct Case {
        std::string content;
        const char *digest;
    } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        // Larger than one read of the file.
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto &c : cases) {
        const std::string path = dir.Write("file", c.content);
        std::vector<std::uint8_t> digest(20, 0xee);
        ASSERT_EQ(vd_sha1_file(path, digest.data()), 0);
        std::string text = "previous";
        vd_sha1_to_string(digest, text);
        EXPECT_EQ(text, c.digest);
    }

    std::uint8_t digest[20];
    EXPECT_LT(vd_sha1_file(dir.Path() + "/missing", digest), 0);
    EXPECT_LT(vd_sha1_file(dir.Path(), digest), 0);
    // A device would be read for ever; a named pipe without a writer, or a
    // socket, must be refused without waiting for one.
    EXPECT_LT(vd_sha1_file("/dev/zero", digest), 0);
    for (const std::string &special : {dir.Fifo("pipe"), dir.Socket("socket")}) {
        lpptest::PipeWatchdog watchdog(special);
        EXPECT_LT(vd_sha1_file(special, digest), 0) << special;
        EXPECT_FALSE(watchdog.Stop()) << "blocked opening " << special;
    }
}

TEST(StandinDigest, DigestTexts)
{
    std::string text = "previous";
    vd_sha1_to_string({0x00, 0x0f, 0xa0, 0xff}, text);
    EXPECT_EQ(text, "000fa0ff");
    vd_sha1_to_string({}, text);
    EXPECT_EQ(text, "");

    vd_xxh64_to_string(0, text);
    EXPECT_EQ(text, "0000000000000000");
    vd_xxh64_to_string(0xdeadbeefULL, text);
    EXPECT_EQ(text, "00000000deadbeef");
    vd_xxh64_to_string(std::numeric_limits<std::uint64_t>::max(), text);
    EXPECT_EQ(text, "ffffffffffffffff");
    vd_xxh64_to_string(0x0123456789ABCDEFULL, text);
    EXPECT_EQ(text, "0123456789abcdef");
}

TEST(StandinExpand, KnownNamesAreReplacedAndTheRestKept)
{
    const std::map<std::string, std::string> vars = {
        {"conf", "/etc/vessixd"}, {"empty", ""}, {"loop", "${conf}"}};
    struct Case {
        const char *input;
        const char *output;
        std::size_t replaced;
    } cases[] = {
        {"${conf}/lua.json", "/etc/vessixd/lua.json", 1},
        {"${conf}${conf}", "/etc/vessixd/etc/vessixd", 2},
        {"a${empty}b", "ab", 1},
        {"${unknown}/x", "${unknown}/x", 0},
        {"${unknown}/${conf}", "${unknown}//etc/vessixd", 1},
        {"plain/path", "plain/path", 0},
        {"$conf", "$conf", 0},
        {"${conf", "${conf", 0},
        {"", "", 0},
        // A value is not expanded again.
        {"${loop}", "${conf}", 1},
    };
    for (const auto &c : cases) {
        std::string output = "previous";
        EXPECT_EQ(vd_expand_variables(c.input, output, vars), c.replaced) << c.input;
        EXPECT_EQ(output, c.output) << c.input;
    }
}
