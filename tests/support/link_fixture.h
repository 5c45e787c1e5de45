// A started device manager over a scripted backend holding one box.
#pragma once

#include <gtest/gtest.h>

#include "link/dev_manage.h"
#include "platform/messages.h"
#include "support/fake_hid_backend.h"

namespace vexu::test {

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        backend.AddDevice("/dev/hidraw-box", kProgrammerVendorId, kProgrammerProductId);
        CDevManage::SetBackend(&backend);
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
        window.Clear();
    }
    void TearDown() override {
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }

    // A fresh start with the same box: transfers, counters and faults cleared.
    void Restart() {
        CDevManage::End();
        backend.Reset();
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
        window.Clear();
    }

    FakeHidBackend backend;
    RecordingTarget window;
};

}  // namespace vexu::test
