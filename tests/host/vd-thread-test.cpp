// The stand-in's threads: Entry on a thread of its own, the wrapper that
// logs what leaves it, Join and Terminate.
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "lpp-test-support.hpp"

namespace {

class ScriptedThread : public vdThread {
public:
    enum class Body { Return, ThrowDaemon, ThrowStd, ThrowOther, UntilTerminate };

    explicit ScriptedThread(Body body) : vdThread("test"), body(body) {}
    ~ScriptedThread() override { Join(); }

    void *Entry() override
    {
        ran = true;
        switch (body) {
        case Body::Return: return this;
        case Body::ThrowDaemon: throw vdException("%s: failed with %d", tag.c_str(), 7);
        case Body::ThrowStd: throw std::runtime_error("plain failure");
        case Body::ThrowOther: throw 42;
        case Body::UntilTerminate:
            while (!ShouldTerminate()) std::this_thread::yield();
            return nullptr;
        }
        return nullptr;
    }

    std::atomic<bool> ran{false};

private:
    Body body;
};

// Runs fn on a helper thread and reports whether it finished within a
// generous bound, so that a hang fails the test instead of stalling it.
bool FinishesPromptly(std::function<void()> fn)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread helper([fn, done] {
        fn();
        *done = true;
    });
    bool finished = lpptest::WaitFor([&] { return done->load(); });
    if (finished)
        helper.join();
    else
        helper.detach();
    return finished;
}

}  // namespace

TEST(StandinThread, CreateRunsEntryOnAnotherThread)
{
    lpptest::LogCapture log;
    ScriptedThread thread(ScriptedThread::Body::Return);
    EXPECT_EQ(thread.GetThreadId(), 0);
    thread.Create();
    ASSERT_TRUE(lpptest::WaitFor([&] { return thread.HasEnded(); }));
    thread.Join();
    EXPECT_TRUE(thread.ran);
    EXPECT_FALSE(thread.EndedByException());
    EXPECT_NE(thread.GetThreadId(), 0);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(StandinThread, WrapperLogsTheTextOfWhatLeavesEntry)
{
    struct Case {
        ScriptedThread::Body body;
        const char *line;
    } cases[] = {
        {ScriptedThread::Body::ThrowDaemon, "test: failed with 7\n"},
        {ScriptedThread::Body::ThrowStd, "plain failure\n"},
        {ScriptedThread::Body::ThrowOther, "test: unknown exception left the thread\n"},
    };
    for (const auto &c : cases) {
        lpptest::LogCapture log(false);
        ScriptedThread thread(c.body);
        thread.Create();
        ASSERT_TRUE(lpptest::WaitFor([&] { return thread.HasEnded(); }));
        thread.Join();
        EXPECT_TRUE(thread.EndedByException());
        EXPECT_EQ(log.Lines(), std::vector<std::string>{c.line});
    }
}

TEST(StandinThread, JoinReturnsAtOnceForAThreadNeverStarted)
{
    ScriptedThread thread(ScriptedThread::Body::UntilTerminate);
    EXPECT_TRUE(FinishesPromptly([&] {
        thread.Join();
        thread.Join();
    }));
    EXPECT_FALSE(thread.ran);
}

TEST(StandinThread, TerminateSetsTheFlagThatEndsEntry)
{
    ScriptedThread thread(ScriptedThread::Body::UntilTerminate);
    EXPECT_FALSE(thread.ShouldTerminate());
    thread.Create();
    ASSERT_TRUE(lpptest::WaitFor([&] { return thread.ran.load(); }));
    EXPECT_FALSE(thread.HasEnded());
    thread.Terminate();
    EXPECT_TRUE(thread.ShouldTerminate());
    EXPECT_TRUE(FinishesPromptly([&] { thread.Join(); }));
    EXPECT_TRUE(thread.HasEnded());
    // Asking again changes nothing.
    thread.Terminate();
    EXPECT_TRUE(thread.ShouldTerminate());
}
