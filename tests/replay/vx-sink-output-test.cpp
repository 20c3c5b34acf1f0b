// Sink lines: key order, hex of every byte, the text only for valid UTF-8.
#include <gtest/gtest.h>

#include "vx-sink-output.hpp"

namespace {

std::string Line(const std::string &bytes, std::set<std::string> channels = {"b", "a"},
    const std::string &target = "t", std::uint8_t flags = 0x24)
{
    return vxSinkLine(target, channels, bytes.size(),
        reinterpret_cast<const unsigned char *>(bytes.data()), flags);
}

TEST(SinkLine, KeysInOrderWithHexAndText)
{
    EXPECT_EQ(Line("hi\n"),
        "{\"target\":\"t\",\"channels\":[\"a\",\"b\"],\"flags\":36,\"length\":3,"
        "\"payload_hex\":\"68690a\",\"payload\":\"hi\\n\"}\n");
    EXPECT_EQ(Line("", {}, "", 0),
        "{\"target\":\"\",\"channels\":[],\"flags\":0,\"length\":0,\"payload_hex\":\"\",\"payload\":\"\"}\n");
}

TEST(SinkLine, TextOnlyForValidUtf8)
{
    // Zero bytes are valid UTF-8: written escaped.
    EXPECT_EQ(Line(std::string("a\0b", 3), {"c"}, "t", 1),
        "{\"target\":\"t\",\"channels\":[\"c\"],\"flags\":1,\"length\":3,"
        "\"payload_hex\":\"610062\",\"payload\":\"a\\u0000b\"}\n");
    EXPECT_EQ(Line("\xc3\xa9", {}, "t", 0),
        "{\"target\":\"t\",\"channels\":[],\"flags\":0,\"length\":2,"
        "\"payload_hex\":\"c3a9\",\"payload\":\"\xc3\xa9\"}\n");
    EXPECT_EQ(Line(std::string("\xff\x00", 2), {}, "t", 0),
        "{\"target\":\"t\",\"channels\":[],\"flags\":0,\"length\":2,\"payload_hex\":\"ff00\"}\n");
}

TEST(SinkLine, NamesThatAreNotUtf8AreStillWritten)
{
    std::string line = Line("x", {"\xff"}, "\xfe");
    EXPECT_EQ(line.rfind("{\"target\":\"\xef\xbf\xbd\",\"channels\":[\"\xef\xbf\xbd\"]", 0), 0u) << line;
}

TEST(Utf8, RejectsMalformedSequences)
{
    auto valid = [](const std::string &s) {
        return vxIsValidUtf8(reinterpret_cast<const unsigned char *>(s.data()), s.size());
    };
    EXPECT_TRUE(valid("plain"));
    EXPECT_TRUE(valid("\xe2\x82\xac"));          // U+20AC
    EXPECT_TRUE(valid("\xf4\x8f\xbf\xbf"));      // U+10FFFF
    EXPECT_FALSE(valid("\xc0\xaf"));             // overlong '/'
    EXPECT_FALSE(valid("\xe0\x80\xaf"));         // overlong
    EXPECT_FALSE(valid("\xed\xa0\x80"));         // surrogate U+D800
    EXPECT_FALSE(valid("\xf4\x90\x80\x80"));     // above U+10FFFF
    EXPECT_FALSE(valid("\xe2\x82"));             // cut short
    EXPECT_FALSE(valid("\x80"));                 // stray continuation
    EXPECT_FALSE(valid("\xf8\x88\x80\x80\x80")); // five-byte form
}

TEST(SinkOutput, FailsWhileAFailureIsSet)
{
    vxSinkOutput sinks;
    sinks.Open("/dev/null");
    const unsigned char byte = 'x';
    sinks.SetFail("disk full");
    try {
        sinks.Dispatch("t", {}, 1, &byte, 0);
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "disk full");
    }
    sinks.SetFail(std::nullopt);
    EXPECT_NO_THROW(sinks.Dispatch("t", {}, 1, &byte, 0));
}

}  // namespace
