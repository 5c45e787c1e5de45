// The trace in code page 936: the conversion from the trace's UTF-8, and
// the debugger channel as a debugger reads it (the DBWIN buffer and its two
// events, which OutputDebugStringA fills when a debug monitor waits).
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/trace.h"
#include "platform/windows/code_page.h"

namespace vexu::test {
namespace {

using win::kTraceCodePage;
using win::Utf8ToCodePage;

// "错误", "状态号超出范围", "设备已插入" in GBK.
const std::string kGbkError = "\xB4\xED\xCE\xF3";
const std::string kGbkStateOutOfRange = "\xD7\xB4\xCC\xAC\xBA\xC5\xB3\xAC\xB3\xF6\xB7\xB6\xCE\xA7";
const std::string kGbkInserted = "\xC9\xE8\xB1\xB8\xD2\xD1\xB2\xE5\xC8\xEB";

TEST(TraceCodePage, Utf8BecomesGbk) {
    struct Case {
        const char* what;
        std::string utf8;
        std::string gbk;
    };
    const Case cases[] = {
        {"plain text passes", "CDevManage::End\r\n", "CDevManage::End\r\n"},
        {"a command failure", "CHidDevice::GotoState() \xE9\x94\x99\xE8\xAF\xAF: \xE7\x8A\xB6\xE6\x80\x81\xE5\x8F\xB7"
                              "\xE8\xB6\x85\xE5\x87\xBA\xE8\x8C\x83\xE5\x9B\xB4  \r\n",
         "CHidDevice::GotoState() " + kGbkError + ": " + kGbkStateOutOfRange + "  \r\n"},
        {"an arrival", "DBT_DEVICEARRIVAL \xE8\xAE\xBE\xE5\xA4\x87\xE5\xB7\xB2\xE6\x8F\x92\xE5\x85\xA5  ",
         "DBT_DEVICEARRIVAL " + kGbkInserted + "  "},
        {"a character GBK lacks (Thai ko kai)", "a\xE0\xB8\x81z", "a?z"},
        {"a byte that is not UTF-8", "a\xFFz", "a?z"},
        {"nothing", "", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8ToCodePage(c.utf8, kTraceCodePage), c.gbk) << c.what;
}

// A debug monitor, as a debugger sets one up: the shared buffer (the
// writer's process id, then the text) and the two events.
class DebugMonitor {
public:
    DebugMonitor() {
        bufferReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
        dataReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
        if (mapping_) view_ = static_cast<char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096));
    }
    ~DebugMonitor() {
        if (view_) UnmapViewOfFile(view_);
        for (HANDLE h : {mapping_, dataReady_, bufferReady_})
            if (h) CloseHandle(h);
    }
    bool Ready() const { return bufferReady_ && dataReady_ && view_; }

    // Each message: ready for it, the writer fills it before its call
    // returns, then it is taken.
    void Expect() { SetEvent(bufferReady_); }
    bool Take(std::string& text) {
        if (WaitForSingleObject(dataReady_, 0) != WAIT_OBJECT_0) return false;
        DWORD processId = 0;
        memcpy(&processId, view_, sizeof processId);
        if (processId != GetCurrentProcessId()) return false;
        text = std::string(view_ + sizeof processId, strnlen(view_ + sizeof processId, 4096 - sizeof processId));
        return true;
    }

private:
    HANDLE bufferReady_ = nullptr;
    HANDLE dataReady_ = nullptr;
    HANDLE mapping_ = nullptr;
    char* view_ = nullptr;
};

// Every trace line reaches the debugger whole and in GBK, also when the
// line was built from several calls, and without --trace.
TEST(TraceCodePage, TheDebuggerChannelCarriesEachLineInGbk) {
    DebugMonitor monitor;
    ASSERT_TRUE(monitor.Ready());
    std::string text;
    monitor.Expect();
    Trace("CHidDevice::GotoState() ");
    EXPECT_FALSE(monitor.Take(text)) << "a line not yet ended is held back: " << text;
    Trace("\xE9\x94\x99\xE8\xAF\xAF: \xE7\x8A\xB6\xE6\x80\x81\xE5\x8F\xB7\xE8\xB6\x85\xE5\x87\xBA\xE8\x8C\x83\xE5\x9B\xB4  \r\n");
    ASSERT_TRUE(monitor.Take(text));
    EXPECT_EQ(text, "CHidDevice::GotoState() " + kGbkError + ": " + kGbkStateOutOfRange + "  \r\n");

    monitor.Expect();
    Trace("DBT_DEVICEARRIVAL \xE8\xAE\xBE\xE5\xA4\x87\xE5\xB7\xB2\xE6\x8F\x92\xE5\x85\xA5  \r\n");
    ASSERT_TRUE(monitor.Take(text));
    EXPECT_EQ(text, "DBT_DEVICEARRIVAL " + kGbkInserted + "  \r\n");
}

}  // namespace
}  // namespace vexu::test
