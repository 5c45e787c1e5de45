// The exact reports of every programmer command, its refusals and its
// transfer failures.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "link/hid_device.h"
#include "platform/trace.h"
#include "support/link_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vexu::test::LinkFixture;

// A report of the given length with the given leading bytes, zeros after.
Bytes Report(size_t length, std::initializer_list<uint8_t> head) {
    Bytes r(length, 0);
    std::copy(head.begin(), head.end(), r.begin());
    return r;
}

Bytes Counting(size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), 1);
    return b;
}

class HidDeviceTest : public LinkFixture {};

TEST_F(HidDeviceTest, ShiftInCarries48BytesInTheCommandThenDataReports) {
    Bytes data = Counting(49);
    EXPECT_EQ(CHidDevice::ShiftIn(0, 384, data.data(), 1), 1);
    auto written = backend.Written();
    ASSERT_EQ(written.size(), 1u);
    Bytes expected = Report(64, {1, 0xF1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x80, 0x01});
    std::copy(data.begin(), data.begin() + 48, expected.begin() + 16);
    EXPECT_EQ(written[0], expected);

    backend.ClearTransfers();
    EXPECT_EQ(CHidDevice::ShiftIn(0, 385, data.data(), 1), 1);
    written = backend.Written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0][12], 0x81);
    EXPECT_EQ(written[0][13], 0x01);
    EXPECT_EQ(written[1], Report(64, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 49}));
    EXPECT_EQ(backend.FetchCount(), 0u);
}

TEST_F(HidDeviceTest, ShiftWithBitOffsetCarriesEveryByteUpToTheLastBit) {
    // 128 bits from bit 5 span 17 bytes; the last bits must travel too.
    Bytes data = Counting(17);
    EXPECT_EQ(CHidDevice::ShiftIn(5, 128, data.data(), 1), 1);
    auto written = backend.Written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0][10], 5);
    EXPECT_EQ(written[0][16 + 16], 17);
    // 379 bits from bit 5 need 48 bytes (one report); 380 need 49.
    backend.ClearTransfers();
    EXPECT_EQ(CHidDevice::ShiftIn(5, 379, Counting(48).data(), 1), 1);
    EXPECT_EQ(backend.Written().size(), 1u);
    backend.ClearTransfers();
    EXPECT_EQ(CHidDevice::ShiftIn(5, 380, Counting(49).data(), 1), 1);
    EXPECT_EQ(backend.Written().size(), 2u);
}

TEST_F(HidDeviceTest, ShiftInOutAnswersEveryWrittenReportWithOneFetch) {
    Bytes in = Counting(125);
    for (int i = 0; i < 3; ++i) backend.QueueReply(Bytes(48, static_cast<uint8_t>(0xA0 + i)));
    Bytes out(125, 0);
    EXPECT_EQ(CHidDevice::ShiftInOut(1000, in.data(), out.data()), 1);
    auto transfers = backend.Transfers();
    ASSERT_EQ(transfers.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(transfers[i].set, i % 2 == 0) << i;
    EXPECT_EQ(transfers[0].bytes[1], 0xF3);
    EXPECT_EQ(transfers[0].bytes[11], 1);
    EXPECT_EQ(transfers[2].bytes[16], 49);  // second written report starts at in[48]
    EXPECT_EQ(transfers[4].bytes[16 + 28], 125);
    EXPECT_EQ(transfers[4].bytes[16 + 29], 0);
    EXPECT_EQ(transfers[1].bytes[0], 2);  // fetched with report id 2
    EXPECT_EQ(out[0], 0xA0);
    EXPECT_EQ(out[47], 0xA0);
    EXPECT_EQ(out[48], 0xA1);
    EXPECT_EQ(out[96], 0xA2);
    EXPECT_EQ(out[124], 0xA2);
}

TEST_F(HidDeviceTest, ShiftOutFetchesOnlyWhatItCaptures) {
    backend.QueueReply({0x5A, 0x77});
    uint8_t out[2] = {0, 0};
    EXPECT_EQ(CHidDevice::ShiftOut(8, out), 1);
    EXPECT_EQ(backend.Written().size(), 1u);
    EXPECT_EQ(backend.FetchCount(), 1u);
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(out[1], 0);  // one byte used

    backend.ClearTransfers();
    EXPECT_EQ(CHidDevice::ShiftOut(0, nullptr), 1);
    EXPECT_EQ(backend.Written().size(), 1u);
    EXPECT_EQ(backend.FetchCount(), 0u);
}

TEST_F(HidDeviceTest, WaitCyclesSendsZeroReportsBeyondTheFirst48Bytes) {
    EXPECT_EQ(CHidDevice::WaitCycles(1000), 1);
    auto written = backend.Written();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0], Report(64, {1, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE8, 0x03}));
    EXPECT_EQ(written[1], Report(64, {2}));
    EXPECT_EQ(written[2], Report(64, {2}));
    backend.ClearTransfers();
    EXPECT_EQ(CHidDevice::WaitCycles(384), 1);
    EXPECT_EQ(backend.Written().size(), 1u);
}

TEST_F(HidDeviceTest, SmallCommandsHaveTheirLayouts) {
    EXPECT_EQ(CHidDevice::GotoState(11), 1);
    EXPECT_EQ(CHidDevice::LightLed(2, 1), 1);
    EXPECT_EQ(CHidDevice::LightLed(1, 1), 1);
    EXPECT_EQ(CHidDevice::SetPort(1, 0x01, 0x0E, nullptr), 1);
    EXPECT_EQ(CHidDevice::SetE2pDelay(40, 2, 22, 3, 3, 3, 3, 22, 2), 1);
    EXPECT_EQ(CHidDevice::ShiftInEx(4, 0x84, 2, 0, 1, 0, 0, nullptr, 0, 3, 2, 31), 1);
    auto written = backend.Written();
    ASSERT_EQ(written.size(), 6u);
    EXPECT_EQ(written[0], Report(64, {1, 0xF1, 0, 0, 0, 0x0B}));
    EXPECT_EQ(written[1], Report(64, {1, 0xA1, 0x04}));
    EXPECT_EQ(written[2], Report(64, {1, 0xA1, 0x06}));
    EXPECT_EQ(written[3], Report(64, {1, 0xB0, 0x01, 0x0E, 0x01}));
    EXPECT_EQ(written[4], Report(64, {1, 0xB2, 40, 2, 22, 3, 3, 3, 3, 22, 2}));
    EXPECT_EQ(written[5], Report(64, {1, 0xF1, 0, 1, 0, 4, 0x84, 2, 0, 3, 0, 0, 0, 0, 2, 31}));
}

TEST_F(HidDeviceTest, SetPortWithResultFetchesItsByte) {
    backend.QueueReply({0x3C});
    unsigned char result = 0;
    EXPECT_EQ(CHidDevice::SetPort(2, 0xFC, 0xFF, &result), 1);
    EXPECT_EQ(result, 0x3C);
    EXPECT_EQ(backend.FetchCount(), 1u);
}

TEST_F(HidDeviceTest, ShiftInFrameCarriesWholeFrames) {
    Bytes data = Counting(364);
    EXPECT_EQ(CHidDevice::ShiftInFrame(4, 0x89, 8, 1, 0, 2912, data.data(), 26, 3, 2, 3, 0), 1);
    auto written = backend.Written();
    ASSERT_EQ(written.size(), 8u);
    EXPECT_EQ(Bytes(written[0].begin(), written[0].begin() + 16),
              Bytes({1, 0xA0, 1, 0, 4, 0x89, 8, 0, 3, 2, 26, 0, 0x60, 0x0B, 3, 0}));
    EXPECT_EQ(written[7][16], static_cast<uint8_t>(data[48 * 7]));
    EXPECT_EQ(written[7][16 + 27], static_cast<uint8_t>(data[363]));
    EXPECT_EQ(written[7][16 + 28], 0);
}

TEST_F(HidDeviceTest, SendTransmitCommandChoosesReportsByLength) {
    backend.QueueReply({0x13});
    unsigned char status = 0xEE;
    const unsigned char readStatus[] = {0x05};
    EXPECT_EQ(CHidDevice::SendTransmitCommand(0, 0, 1, readStatus, 1, &status, 1), 1);
    auto transfers = backend.Transfers();
    ASSERT_EQ(transfers.size(), 3u);
    EXPECT_EQ(transfers[0].bytes, Report(64, {1, 0xB1, 0, 9, 0, 1, 0, 1, 0}));
    EXPECT_EQ(transfers[1].bytes, Report(64, {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05}));
    EXPECT_FALSE(transfers[2].set);
    EXPECT_EQ(status, 0x13);

    backend.ClearTransfers();
    Bytes frame = Counting(260);
    EXPECT_EQ(CHidDevice::SendTransmitCommand(1, 6, 1, frame.data(), 260, nullptr, 0), 1);
    transfers = backend.Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].bytes, Report(64, {1, 0xB1, 1, 3, 6, 0x04, 0x01, 0, 0}));
    ASSERT_EQ(transfers[1].bytes.size(), 320u);
    EXPECT_EQ(transfers[1].bytes[0], 3);
    EXPECT_EQ(Bytes(transfers[1].bytes.begin() + 16, transfers[1].bytes.begin() + 276), frame);
    EXPECT_EQ(transfers[1].bytes[276], 0);

    backend.ClearTransfers();
    Bytes page(256);
    for (int i = 0; i < 1; ++i) backend.QueueReply(Bytes(256, 0x42));
    EXPECT_EQ(CHidDevice::SendTransmitCommand(0, 0, 1, frame.data(), 4, page.data(), 256), 1);
    transfers = backend.Transfers();
    ASSERT_EQ(transfers.size(), 3u);
    EXPECT_EQ(transfers[2].bytes.size(), 320u);
    EXPECT_EQ(transfers[2].bytes[0], 3);
    EXPECT_EQ(page[255], 0x42);

    backend.ClearTransfers();
    EXPECT_EQ(CHidDevice::SendTransmitCommand(0, 0, 0, nullptr, 0, nullptr, 0), 1);
    EXPECT_EQ(backend.Transfers().size(), 1u);
}

// Every refusal: its trace line, return 0, nothing sent.
TEST_F(HidDeviceTest, RefusalsSendNothingAndNameTheirReason) {
    uint8_t buffer[64] = {};
    struct Case {
        const char* line;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"CHidDevice::GotoState() 错误: 状态号超出范围  \r\n", [] { return CHidDevice::GotoState(12); }},
        {"CHidDevice::ShiftIn() 错误: 起始位偏移量大于8  \r\n",
         [&] { return CHidDevice::ShiftIn(9, 8, buffer, 1); }},
        {"CHidDevice::ShiftInOut() 错误: 输出缓冲区为空  \r\n",
         [&] { return CHidDevice::ShiftInOut(8, nullptr, nullptr); }},
        {"CHidDevice::ShiftInOut() 错误: 输入缓冲区为空  \r\n",
         [&] { return CHidDevice::ShiftInOut(8, nullptr, buffer); }},
        {"CHidDevice::ShiftOut() 错误: 输出缓冲区为空  \r\n", [] { return CHidDevice::ShiftOut(1, nullptr); }},
        {"CHidDevice::ShiftInEx() 错误: waitcycle>31  \r\n",
         [] { return CHidDevice::ShiftInEx(4, 0x84, 2, 0, 1, 0, 0, nullptr, 0, 3, 2, 32); }},
        {"CHidDevice::ShiftInEx() 错误: 起始位偏移量大于8  \r\n",
         [] { return CHidDevice::ShiftInEx(12, 0x84, 2, 0, 1, 9, 0, nullptr, 0, 3, 2, 32); }},
        {"CHidDevice::ShiftOutEx() 错误: 输出缓冲区为空  \r\n",
         [] { return CHidDevice::ShiftOutEx(12, 0, 12, 0, 1, 5, nullptr, 12, 12, 40); }},
        {"CHidDevice::ShiftOutEx() 错误: pre_end_state>11  \r\n",
         [&] { return CHidDevice::ShiftOutEx(4, 0, 12, 0, 1, 5, buffer, 12, 12, 40); }},
        {"CHidDevice::ShiftInOutEx() 错误: start_state>11  \r\n",
         [&] { return CHidDevice::ShiftInOutEx(4, 0, 2, 0, 1, 5, buffer, buffer, 12, 12, 40); }},
        {"CHidDevice::ShiftInOutEx() 错误: end_state>11  \r\n",
         [&] { return CHidDevice::ShiftInOutEx(4, 0, 2, 0, 1, 5, buffer, buffer, 3, 12, 40); }},
        {"CHidDevice::ShiftInFrame() 错误: 输入缓冲区为空  \r\n",
         [] { return CHidDevice::ShiftInFrame(12, 0, 0, 1, 9, 26, nullptr, 26, 3, 2, 3, 0); }},
        {"CHidDevice::ShiftInFrame() 错误: pre_start_state>11  \r\n",
         [&] { return CHidDevice::ShiftInFrame(12, 0, 0, 1, 0, 26, buffer, 26, 3, 2, 3, 0); }},
        {"CHidDevice::ShiftInFrame() 错误: 传输位总数必须是帧位数的整数倍  \r\n",
         [&] { return CHidDevice::ShiftInFrame(4, 0x89, 8, 1, 0, 2913, buffer, 26, 3, 2, 3, 0); }},
        {"CHidDevice::ShiftInFrame() 错误: 传输位总数必须是帧位数的整数倍  \r\n",
         [&] { return CHidDevice::ShiftInFrame(4, 0x89, 8, 1, 0, 26, buffer, 0, 3, 2, 3, 0); }},
        {"CHidDevice::SendTransmitCommand 错误: 输入缓冲区为空,输入长度非0  \r\n",
         [] { return CHidDevice::SendTransmitCommand(0, 0, 1, nullptr, 1, nullptr, 1); }},
        {"CHidDevice::SendTransmitCommand 错误: 输出缓冲区为空,输出长度非0  \r\n",
         [&] { return CHidDevice::SendTransmitCommand(0, 0, 1, buffer, 1, nullptr, 1); }},
        // Counts the 16-bit wire fields cannot carry are refused, not cut.
        {"CHidDevice::ShiftIn() 错误: bit_count>65535  \r\n",
         [] { return CHidDevice::ShiftIn(0, 65536, nullptr, 1); }},
        {"CHidDevice::WaitCycles() 错误: bit_count>65535  \r\n", [] { return CHidDevice::WaitCycles(70000); }},
        {"CHidDevice::ShiftOut() 错误: bit_count>65535  \r\n",
         [&] { return CHidDevice::ShiftOut(65536, buffer); }},
    };
    for (const Case& c : cases) {
        vexu::TraceCapture trace;
        EXPECT_EQ(c.call(), 0) << c.line;
        EXPECT_EQ(trace.Lines(), std::vector<std::string>{c.line});
    }
    EXPECT_TRUE(backend.Transfers().empty());
}

TEST_F(HidDeviceTest, EveryOperationRefusesWithoutABox) {
    CDevManage::End();
    uint8_t buffer[64] = {};
    vexu::TraceCapture trace;
    EXPECT_EQ(CHidDevice::LightLed(1, 1), 0);
    EXPECT_EQ(CHidDevice::GotoState(12), 0);  // no box is checked before the state
    EXPECT_EQ(CHidDevice::ShiftOut(8, buffer), 0);
    EXPECT_EQ(CHidDevice::SendTransmitCommand(0, 0, 1, nullptr, 1, nullptr, 0), 0);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                                 "CHidDevice::LightLed() 错误: 设备句柄为空  \r\n",
                                 "CHidDevice::GotoState() 错误: 设备句柄为空  \r\n",
                                 "CHidDevice::ShiftOut() 错误: 设备句柄为空  \r\n",
                                 "CHidDevice::SendTransmitCommand 错误: 设备句柄为空  \r\n",
                             }));
    EXPECT_TRUE(backend.Transfers().empty());
}

// A failed transfer ends the sequence with the line for the report that failed.
TEST_F(HidDeviceTest, FailedTransfersNameTheReport) {
    struct Case {
        size_t failAt;
        const char* line;
        std::function<int()> call;
    };
    static uint8_t data[200];
    static uint8_t out[200];
    const Case cases[] = {
        {1, "CHidDevice::ShiftIn() 错误: CDeviceManage::HidD_SetFeatureEx(1)返回FALSE  \r\n",
         [] { return CHidDevice::ShiftIn(0, 800, data, 1); }},
        {2, "CHidDevice::ShiftIn() 错误: CDeviceManage::HidD_SetFeatureEx(2)返回FALSE  \r\n",
         [] { return CHidDevice::ShiftIn(0, 800, data, 1); }},
        {2, "CHidDevice::ShiftInOut() 错误: CDeviceManage::HidD_GetFeatureEx(1)返回FALSE  \r\n",
         [] { return CHidDevice::ShiftInOut(800, data, out); }},
        {4, "CHidDevice::ShiftInOutEx() 错误: CDeviceManage::HidD_GetFeatureEx(2)返回FALSE  \r\n",
         [] { return CHidDevice::ShiftInOutEx(4, 1, 8, 0, 1, 800, data, out, 3, 2, 0); }},
        {1, "CHidDevice::ShiftOutEx() 错误: CDeviceManage::HidD_SetFeatureEx(1)返回FALSE  \r\n",
         [] { return CHidDevice::ShiftOutEx(4, 1, 8, 0, 1, 800, out, 3, 2, 0); }},
        {3, "CHidDevice::ShiftOut() 错误: CDeviceManage::HidD_GetFeatureEx()返回FALSE  \r\n",
         [] { return CHidDevice::ShiftOut(800, out); }},
        {1, "CHidDevice::GotoState() 错误: CDeviceManage::HidD_SetFeatureEx()返回FALSE  \r\n",
         [] { return CHidDevice::GotoState(2); }},
        {2, "CHidDevice::SendTransmitCommand() 错误: CDeviceManage::HidD_SetFeatureEx()返回FALSE  \r\n",
         [] { return CHidDevice::SendTransmitCommand(0, 0, 1, data, 4, out, 4); }},
        {3, "CHidDevice::SendTransmitCommand() 错误: CDeviceManage::HidD_GetFeatureEx()返回FALSE  \r\n",
         [] { return CHidDevice::SendTransmitCommand(0, 0, 1, data, 4, out, 4); }},
    };
    for (const Case& c : cases) {
        Restart();
        backend.failTransfer = c.failAt;
        vexu::TraceCapture trace;
        EXPECT_EQ(c.call(), 0) << c.line;
        EXPECT_EQ(trace.Lines(), std::vector<std::string>{c.line});
        EXPECT_EQ(backend.Transfers().size(), c.failAt) << c.line;
        EXPECT_EQ(window.Count(vexu::WM_DEVICE_REMOVE), 1u);
    }
}

}  // namespace
