#include "common/run_messages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/bounded_wait.h"

namespace {

using vexu::RecordingTarget;
using vexu::WM_RUN_TEXT;

// The channel keeps its target after FreeMsgQueue (later posts still go
// there), so the target must outlive every test of the program.
RecordingTarget& Window() {
    static RecordingTarget window;
    return window;
}

class RunMessagesTest : public ::testing::Test {
protected:
    void SetUp() override { window.Clear(); }
    void TearDown() override { FreeMsgQueue(); }
    RecordingTarget& window = Window();
};

TEST_F(RunMessagesTest, TextsComeOutInPostingOrderEachWithItsOwnMessage) {
    InitMsgQueue(&window);
    PostMsgText("first", 1, 0);
    PostMsgText(kFpgaProgressText, 42, 0);
    PostMsgText("\r\nUpdating Program...", 3, 0);

    const std::vector<RecordingTarget::Message> posted = window.Messages();
    ASSERT_EQ(posted.size(), 3u);
    const vexu::WPARAM expectedW[] = {1, 42, 3};
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i].message, WM_RUN_TEXT);
        EXPECT_EQ(posted[i].wParam, expectedW[i]);
        EXPECT_EQ(posted[i].lParam, 0);
    }
    EXPECT_EQ(GetMsgText(), "first");
    EXPECT_EQ(GetMsgText(), "SetFpgaProgress");
    EXPECT_EQ(GetMsgText(), "\r\nUpdating Program...");
    EXPECT_EQ(GetMsgText(), "");
}

TEST_F(RunMessagesTest, PostingBeforeInitQueuesNothing) {
    PostMsgText("too early", 5, 0);
    InitMsgQueue(&window);
    EXPECT_EQ(GetMsgText(), "");
}

TEST_F(RunMessagesTest, PostingAfterFreeStillPostsButQueuesNothing) {
    InitMsgQueue(&window);
    PostMsgText("queued", 1, 0);
    FreeMsgQueue();
    PostMsgText("too late", 7, 0);

    const std::vector<RecordingTarget::Message> posted = window.Messages();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].message, WM_RUN_TEXT);
    EXPECT_EQ(posted[1].wParam, 7u);
    EXPECT_EQ(GetMsgText(), "");  // the text queued before Free was deleted too

    // A new Init starts from an empty list.
    InitMsgQueue(&window);
    EXPECT_EQ(GetMsgText(), "");
}

TEST(RunTextKindTest, OnlyTheExactProgressNamesMoveABar) {
    const struct {
        const char* text;
        RunTextKind kind;
    } cases[] = {
        {"SetFpgaProgress", RunTextKind::kFpgaProgress},
        {"SetEepromProgress", RunTextKind::kEepromProgress},
        {"setfpgaprogress", RunTextKind::kLog},
        {"SetFPGAProgress", RunTextKind::kLog},
        {"SetEepromProgress ", RunTextKind::kLog},
        {"", RunTextKind::kLog},
        {".", RunTextKind::kLog},
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyRunText(c.text), c.kind) << '"' << c.text << '"';
}

// A worker posts while the owner drains one text per message, as the
// window does: every text arrives once, in order, beside its own wParam.
TEST_F(RunMessagesTest, ThreadedWorkerPostsWhileOwnerDrains) {
    constexpr int kTexts = 2000;
    InitMsgQueue(&window);
    std::thread worker([] {
        for (int i = 0; i < kTexts; ++i) {
            const std::string text = "line " + std::to_string(i);
            PostMsgText(text.c_str(), static_cast<vexu::WPARAM>(i), 0);
            if (i % 100 == 0) SetRunError(text.c_str());
        }
    });
    int received = 0;
    // A text lost on the way would leave this loop waiting forever: it stops
    // at the limit and says how many came. The worker is joined before the
    // test ends, whatever went wrong.
    const auto deadline = std::chrono::steady_clock::now() + vexu::test::kWaitLimit;
    bool inOrder = true;
    while (inOrder && received < kTexts && std::chrono::steady_clock::now() < deadline) {
        for (const RecordingTarget::Message& message : window.Take()) {
            const std::string text = GetMsgText();
            if (message.message != WM_RUN_TEXT || message.wParam != static_cast<vexu::WPARAM>(received) ||
                text != "line " + std::to_string(received)) {
                ADD_FAILURE() << "expected text " << received << ", got \"" << text << "\" with " << message.wParam;
                inOrder = false;
                break;
            }
            ++received;
        }
        const std::string error = GetRunError();
        EXPECT_TRUE(error.empty() || error.rfind("line ", 0) == 0) << error;
        std::this_thread::yield();
    }
    worker.join();
    ASSERT_EQ(received, kTexts) << "texts that came";
    EXPECT_EQ(GetMsgText(), "");
    EXPECT_EQ(GetRunError(), "line 1900");
    SetRunError("");
}

}  // namespace
