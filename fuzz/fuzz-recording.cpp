// The recording parser of vessix-replay: any bytes as a recording. A bad
// line must come back as the parser's own error, naming the line.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz-support.hpp"
#include "vx-recording.hpp"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    lppfuzz::SetUpDaemon();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::istringstream input(std::string(reinterpret_cast<const char *>(data), size));
    try {
        vxReadRecording(input, "fuzz.jsonl", lppfuzz::ScratchDir());
    } catch (const vxRecordingError &) {
    }
    return 0;
}
