// The recording parser of vessix-replay on input its fuzzer produces: every
// bad line is the parser's own error, naming the line.
#include <sstream>

#include <gtest/gtest.h>

#include "vx-recording.hpp"

namespace {

void ExpectRecordingError(const std::string &text, std::size_t line)
{
    std::istringstream input(text);
    try {
        vxReadRecording(input, "hostile.jsonl", "/nonexistent");
        ADD_FAILURE() << "accepted: " << text;
    } catch (const vxRecordingError &e) {
        EXPECT_EQ(e.line, line) << e.what();
    } catch (const std::exception &e) {
        ADD_FAILURE() << "not a recording error: " << e.what();
    }
}

TEST(RecordingParser, HostileLinesAreRecordingErrors)
{
    ExpectRecordingError(std::string("{\"op\":\0}\n", 9), 1);
    ExpectRecordingError("\n\n[1,2]\n", 3);
    ExpectRecordingError("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\",\"set\":{\"ip_version\":\"x\"}}\n", 1);
    ExpectRecordingError(std::string(100000, '[') + "\n", 1);
}

// A number that overflows a double ("1e400") makes the JSON library throw
// out_of_range, not parse_error; it is a bad line all the same.
TEST(RecordingParser, NumberOverflowIsARecordingError)
{
    ExpectRecordingError("{\"op\":1e400}\n", 1);
    ExpectRecordingError("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\",\"set\":{\"ip_version\":-1e999}}\n", 1);
}

}  // namespace
