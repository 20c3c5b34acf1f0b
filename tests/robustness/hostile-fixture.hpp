// A running plugin whose script does something hostile on one event; the
// worker must log what went wrong and handle the next event as usual.
#pragma once

#include <string>
#include <vector>

#include "pipeline-fixture.hpp"

namespace lpptest {

class HostileTest : public PipelineTest {
protected:
    // The script: ProcessFlowEvent runs hostile (Lua statements, with the
    // flow table in f) for a flow whose document says {"case": "hostile"},
    // and prints "alive <n>" for any other, followed by " " and what the
    // global function key_signature returns for f when prelude defines one.
    // prelude runs at the top level.
    static std::string Script(const std::string &hostile, const std::string &prelude = "")
    {
        return prelude + R"(
local print_line = lpp.print
local key_signature = rawget(_G, "key_signature")
function ProcessFlowEvent(event, flows)
  local f = flows[1]
  if f.case == "hostile" then
)" + hostile + R"(
  else
    print_line("alive " .. tostring(f.n) .. (key_signature and " " .. key_signature(f) or ""))
  end
end
)";
    }

    // Sends the hostile event, then a normal one numbered n; true once the
    // script has handled the normal one with the worker still running.
    bool HostileThenNext(int n = 1)
    {
        auto hostile = MakeFlow();
        SendFlow(Event::FLOW_NEW, hostile, json{{"case", "hostile"}});
        auto next = MakeFlow();
        SendFlow(Event::FLOW_NEW, next, json{{"case", "next"}, {"n", n}});
        const std::string alive = "alive " + std::to_string(n);
        bool handled = WaitFor([&] { return !log.Matching(alive).empty() || plugin->HasEnded(); },
            std::chrono::seconds(60));
        return handled && !plugin->HasEnded();
    }

    std::vector<std::string> Errors() { return log.Matching(": ProcessFlowEvent: error: "); }

    // The single error line of the hostile event.
    std::string OnlyError()
    {
        auto errors = Errors();
        EXPECT_EQ(errors.size(), 1u) << log.Text();
        return errors.empty() ? std::string() : errors[0];
    }
};

}  // namespace lpptest
