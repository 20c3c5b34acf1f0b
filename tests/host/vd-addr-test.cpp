// The stand-in's addresses: texts, ports, and the cache of GetString.
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "lpp-test-support.hpp"

namespace {

vdAddr Parse(const std::string &text)
{
    vdAddr addr;
    EXPECT_TRUE(addr.SetFromString(text)) << text;
    return addr;
}

}  // namespace

TEST(StandinAddr, TextsOfEachFamily)
{
    vdAddr v4 = Parse("192.168.1.10");
    v4.SetPort(51514);
    EXPECT_EQ(v4.GetString(), "192.168.1.10");
    EXPECT_EQ(v4.GetString(vdAddr::MAKE_WITH_PORT), "192.168.1.10:51514");
    EXPECT_EQ(v4.GetPort(), 51514);
    EXPECT_EQ(v4.GetPort(false), htons(51514));

    vdAddr v6 = Parse("2001:0db8:0:0:0:0:0:1");
    v6.SetPort(3478);
    EXPECT_EQ(v6.GetString(), "2001:db8::1");
    EXPECT_EQ(v6.GetString(vdAddr::MAKE_WITH_PORT), "[2001:db8::1]:3478");

    vdAddr mac = Parse("AA:bb:0C:dd:ee:0f");
    EXPECT_EQ(mac.GetFamily(), vdAddr::FAMILY_MAC);
    EXPECT_EQ(mac.GetString(), "aa:bb:0c:dd:ee:0f");
    EXPECT_EQ(mac.GetPort(), 0);

    vdAddr unset;
    EXPECT_FALSE(unset.IsValid());
    EXPECT_EQ(unset.GetString(), "");
    EXPECT_EQ(unset.GetString(vdAddr::MAKE_WITH_PORT), "");
    EXPECT_EQ(unset.GetPort(), 0);

    // A copy carries the address and its port.
    vdAddr copy(v6);
    EXPECT_EQ(copy.GetString(vdAddr::MAKE_WITH_PORT), "[2001:db8::1]:3478");
    v4 = copy;
    EXPECT_EQ(v4.GetString(), "2001:db8::1");
}

TEST(StandinAddr, TextThatIsNoAddressIsRefused)
{
    const std::vector<std::string> texts = {"", "1.2.3", "1.2.3.4.5", "host.example", " a:bb:cc:dd:ee:ff",
             "0x:bb:cc:dd:ee:ff", "aa-bb-cc-dd-ee-ff", "aa:bb:cc:dd:ee:fff",
             std::string("1.2.3.4\0junk", 12)};
    for (const auto &text : texts) {
        vdAddr addr = Parse("10.0.0.1");
        EXPECT_FALSE(addr.SetFromString(text)) << text;
        EXPECT_EQ(addr.GetString(), "10.0.0.1") << text;
    }
}

TEST(StandinAddr, CacheFollowsFlagsAndSetters)
{
    vdAddr addr = Parse("10.0.0.1");
    addr.SetPort(80);
    EXPECT_EQ(addr.GetString(), "10.0.0.1");
    // A change of flags renders again, in both directions.
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "10.0.0.1:80");
    EXPECT_EQ(addr.GetString(), "10.0.0.1");

    // Every setter clears the cached text.
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "10.0.0.1:80");
    addr.SetPort(81);
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "10.0.0.1:81");
    ASSERT_TRUE(addr.SetFromString("10.0.0.2"));
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "10.0.0.2:81");
    ASSERT_TRUE(addr.SetFromString("::1"));
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "[::1]:81");
    ASSERT_TRUE(addr.SetFromString("00:11:22:33:44:55"));
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "00:11:22:33:44:55");
    addr.Clear();
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "");

    // MakeString fills the same cache, with the flags it was made with: a
    // later GetString with other flags does not return the port text.
    ASSERT_TRUE(addr.SetFromString("10.0.0.3"));
    addr.SetPort(443);
    addr.MakeString(vdAddr::MAKE_WITH_PORT);
    EXPECT_EQ(addr.GetString(), "10.0.0.3");
    addr.MakeString(vdAddr::MAKE_DEFAULT);
    EXPECT_EQ(addr.GetString(vdAddr::MAKE_WITH_PORT), "10.0.0.3:443");
}

TEST(StandinAddr, ConcurrentRenderingOfOneAddress)
{
    vdAddr addr = Parse("172.16.0.1");
    addr.SetPort(53);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; i++) {
                const bool with_port = ((i + t) % 2) == 0;
                std::string text = addr.GetString(with_port ? vdAddr::MAKE_WITH_PORT : vdAddr::MAKE_DEFAULT);
                if (text != (with_port ? "172.16.0.1:53" : "172.16.0.1")) wrong[t]++;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}
