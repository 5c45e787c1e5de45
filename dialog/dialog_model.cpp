#include "dialog/dialog_model.h"

#include <cstdio>

#include "common/image_buffers.h"
#include "common/run_messages.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "run/image_load.h"

namespace {

constexpr const char* kNothingToProgramText =
    "Nothing to program: the settings record switches both the FPGA and the serial flash off.";

// The percent label's text: the number as the run posted it, then "%".
std::string PercentText(vexu::WPARAM number) {
    char text[24];
    std::snprintf(text, sizeof text, "%d%%", static_cast<int>(number));
    return text;
}

// A part flag other than 0 and 1 is not a setting the record may hold; the
// part is off, and the trace says why it is not shown.
void TraceInvalidFlag(const char* name, uint32_t flag) {
    if (PartFlagValid(flag)) return;
    vexu::TraceF("CKTRDlg: the settings record's %s is %u, not 0 or 1: the part is off\r\n", name,
                 static_cast<unsigned>(flag));
}

}  // namespace

CDialogModel::CDialogModel(DialogView& view, vexu::MessageTarget& window, DialogModelSetup setup)
    : view_(view), window_(window), setup_(std::move(setup)) {
    worker_ = setup_.jobs ? std::make_unique<CThreadAction>(std::move(*setup_.jobs))
                          : std::make_unique<CThreadAction>();
    for (const DialogItem& item : kDialogItems) state_.controls[item.id].visible = item.visible;
    state_.controls[IDC_BUILD_SETTING_FILE].text = kBuildSettingFileText;
}

CDialogModel::~CDialogModel() { OnDestroy(); }

void CDialogModel::OnInitDialog() {
    if (started_) return;
    started_ = true;
    // No box until the device manager reports one.
    state_.boxPresent = false;
    if (setup_.settings) {
        settings_ = *setup_.settings;
    } else {
        AppSettingBytes record{};
        LoadFile(record.data(), kAppSettingSize, kAppSettingResourceId, kAppSettingResourceType);
        settings_ = AppSettingFromBytes(record.data(), record.size());
    }
    if (setup_.loadImages) {
        LoadEepromData();
        LoadFpgaData();
    }
    ApplySettings();
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window_);
    InitMsgQueue(&window_);
}

void CDialogModel::OnDestroy() {
    if (!started_ || destroyed_) return;
    destroyed_ = true;
    if (retrying_) view_.StopRetryTimer();
    retrying_ = false;
    CDevManage::End();
    worker_->End();
    vexu::GetClock().SleepMs(1000);
    FreeMsgQueue();
    if (setup_.loadImages) FreeImageData();
}

void CDialogModel::ApplySettings() {
    const AppSetting& s = settings_;
    state_.title = SettingTextUtf8(s.title);
    view_.SetTitle(state_.title);

    struct Colored {
        int id;
        ControlColors colors;
    };
    const Colored colored[] = {
        {IDC_FPGA_CAPTION,
         {s.fpgaCaptionTextColor, s.fpgaCaptionBackColor, s.fpgaCaptionDisabledTextColor,
          s.fpgaCaptionDisabledBackColor, 0}},
        {IDC_FPGA_PERCENT,
         {s.fpgaPercentTextColor, s.fpgaPercentBackColor, s.fpgaPercentDisabledTextColor,
          s.fpgaPercentDisabledBackColor, 0}},
        {IDC_FPGA_BAR, {s.fpgaBarColor, s.fpgaBarBackColor, s.fpgaBarDisabledColor, s.fpgaBarDisabledBackColor, 0}},
        {IDC_EEPROM_CAPTION,
         {s.eepromCaptionTextColor, s.eepromCaptionBackColor, s.eepromCaptionDisabledTextColor,
          s.eepromCaptionDisabledBackColor, 0}},
        {IDC_EEPROM_PERCENT,
         {s.eepromPercentTextColor, s.eepromPercentBackColor, s.eepromPercentDisabledTextColor,
          s.eepromPercentDisabledBackColor, 0}},
        {IDC_EEPROM_BAR,
         {s.eepromBarColor, s.eepromBarBackColor, s.eepromBarDisabledColor, s.eepromBarDisabledBackColor, 0}},
        {IDC_LINK,
         {s.linkTextColor, s.linkBackColor, s.linkDisabledTextColor, s.linkDisabledBackColor, s.linkHoverTextColor}},
    };

    SetText(IDC_FPGA_CAPTION, SettingTextUtf8(s.fpgaCaption));
    SetText(IDC_FPGA_PERCENT, "0%");
    Show(IDC_FPGA_PERCENT, false);
    SetText(IDC_EEPROM_CAPTION, SettingTextUtf8(s.eepromCaption));
    SetText(IDC_EEPROM_PERCENT, "0%");
    Show(IDC_EEPROM_PERCENT, false);
    SetText(IDC_LINK, SettingTextUtf8(s.linkText));
    for (const Colored& c : colored) view_.SetControlColors(c.id, c.colors);
    for (int bar : {IDC_FPGA_BAR, IDC_EEPROM_BAR}) {
        view_.SetBarRange(bar, 0, 100);
        SetBarPos(bar, 0);
    }

    TraceInvalidFlag("showFpga", s.showFpga);
    TraceInvalidFlag("showEeprom", s.showEeprom);
    if (!PartOn(s.showFpga))
        for (int id : kFpgaPartControls) Show(id, false);
    if (!PartOn(s.showEeprom))
        for (int id : kEepromPartControls) Show(id, false);
}

void CDialogModel::EnableControls(bool enabled) {
    state_.boxPresent = enabled;
    for (int id : kSwitchedControls) Enable(id, enabled);
    view_.SetBackground(enabled);
}

intptr_t CDialogModel::OnMessage(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam,
                                 const DevBroadcast* record) {
    if (CDevManage::OnDeviceChange(message, wParam, record)) return 1;
    switch (message) {
        case vexu::WM_DEVICE_INSERT: OnBoxArrived(wParam, lParam); return 1;
        case vexu::WM_DEVICE_REMOVE: OnBoxRemoved(); return 1;
        case vexu::WM_RUN_START: OnRunStart(); return 1;
        case vexu::WM_RUN_END: OnRunEnd(wParam, lParam); return 1;
        case vexu::WM_RUN_TEXT: OnRunText(wParam); return 1;
        default: return 0;
    }
}

void CDialogModel::OnBoxArrived(vexu::WPARAM deviceIndex, vexu::LPARAM interfaceCount) {
    vexu::TraceF("OnDeviceInsert  Device NO.%d%d\r\n", static_cast<int>(deviceIndex), static_cast<int>(interfaceCount));
    refusalShown_.clear();
    EnableControls(true);
    SetBarPos(IDC_EEPROM_BAR, 0);
    SetBarPos(IDC_FPGA_BAR, 0);
    CHidDevice::LightLed(0, 0);
}

void CDialogModel::OnBoxRemoved() {
    vexu::Trace("OnDeviceRemove  \r\n");
    EnableControls(false);
    // The box is gone, so a run in progress fails at its next transfer;
    // wait for it before looking for another box.
    worker_->End();
    CDevManage::FindDevice();
    ReportRefusals();
}

void CDialogModel::OnHotplug(const vexu::HotplugEvent& event) {
    CDevManage::OnHotplug(event);
    if (event.kind == vexu::HotplugEvent::Kind::Arrival) ReportRefusals();
}

void CDialogModel::OnRetryTimer() {
    if (CDevManage::GetHandle() == 0) CDevManage::FindDevice();
    ReportRefusals();
}

// After a search found no box: keeps looking while a box is held by another
// program, and says once what stands in the way.
void CDialogModel::ReportRefusals() {
    bool inUse = false;
    std::string text;
    if (CDevManage::GetHandle() == 0) {
        for (const BoxRefusal& refusal : CDevManage::Refusals()) {
            if (!text.empty()) text += "\n";
            text += DescribeRefusal(refusal);
            inUse = inUse || refusal.error == vexu::HidOpenError::kInUse;
        }
    }
    if (inUse && !retrying_) view_.StartRetryTimer(setup_.busyBoxRetryMs);
    if (!inUse && retrying_) view_.StopRetryTimer();
    retrying_ = inUse;
    if (text.empty() || text == refusalShown_) return;
    refusalShown_ = text;
    vexu::Trace("CKTRDlg: " + text + "\r\n");
    view_.Tell({NoticeKind::kBoxRefused, "Programmer box", text, NoticeIcon::kWarning});
}

void CDialogModel::OnRunStart() {
    Show(IDC_START, false);
    if (PartOn(settings_.showFpga)) Show(IDC_FPGA_PERCENT, true);
    if (PartOn(settings_.showEeprom)) Show(IDC_EEPROM_PERCENT, true);
}

void CDialogModel::OnRunEnd(vexu::WPARAM, vexu::LPARAM result) {
    if (result == RUN_FAILED) view_.Tell({NoticeKind::kRunFailed, "Error", GetRunError(), NoticeIcon::kError});
    Show(IDC_START, true);
    if (PartOn(settings_.showFpga)) Show(IDC_FPGA_PERCENT, false);
    if (PartOn(settings_.showEeprom)) Show(IDC_EEPROM_PERCENT, false);
    TellRunLogFailure();
}

// A run whose record is missing from the run log is not lost silently.
void CDialogModel::TellRunLogFailure() {
    const std::string error = worker_->LastRecordError();
    if (error.empty()) return;
    view_.Tell({NoticeKind::kRunLogFailed, "Run log", error + ": this run is not in the run log.",
                NoticeIcon::kWarning});
}

void CDialogModel::OnRunText(vexu::WPARAM number) {
    int bar = 0;
    int percent = 0;
    switch (ClassifyRunText(GetMsgText())) {
        case RunTextKind::kFpgaProgress:
            bar = IDC_FPGA_BAR;
            percent = IDC_FPGA_PERCENT;
            break;
        case RunTextKind::kEepromProgress:
            bar = IDC_EEPROM_BAR;
            percent = IDC_EEPROM_PERCENT;
            break;
        case RunTextKind::kLog: return;  // nothing on screen changes
    }
    SetText(percent, PercentText(number));
    SetBarPos(bar, number > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(number));
}

bool CDialogModel::RunInProgress() const { return worker_->IsRunning(); }

bool CDialogModel::StartAllowed() const {
    return state_.boxPresent && !RunInProgress() && (PartOn(settings_.showFpga) || PartOn(settings_.showEeprom));
}

void CDialogModel::OnStartClicked() {
    // The button is disabled without a box and hidden during a run; a click
    // that still arrives (sent to the window directly) does nothing.
    if (!state_.boxPresent || RunInProgress()) return;
    if (!PartOn(settings_.showFpga) && !PartOn(settings_.showEeprom)) {
        // The run would pass without touching the board.
        vexu::Trace("CKTRDlg: nothing to program, both parts are off\r\n");
        view_.Tell({NoticeKind::kNothingToProgram, "Error", kNothingToProgramText, NoticeIcon::kError});
        return;
    }
    worker_->StartAction(PartOn(settings_.showFpga), PartOn(settings_.showEeprom), &window_);
}

void CDialogModel::OnLinkClicked() { view_.OpenLink(SettingTextUtf8(settings_.linkUrl)); }

void CDialogModel::OnBuildSettingFileClicked() { BuildSettingFile(); }

bool CDialogModel::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX) return false;
    view_.ShowAbout();
    return true;
}

void CDialogModel::SetText(int id, const std::string& text) {
    state_.controls[id].text = text;
    view_.SetControlText(id, text);
}

void CDialogModel::Show(int id, bool shown) {
    state_.controls[id].visible = shown;
    view_.ShowControl(id, shown);
}

void CDialogModel::Enable(int id, bool enabled) {
    state_.controls[id].enabled = enabled;
    view_.EnableControl(id, enabled);
}

void CDialogModel::SetBarPos(int id, uint32_t pos) {
    // A position past the bar's end is refused by the bar, which stays put.
    if (pos <= 100) state_.controls[id].pos = pos;
    view_.SetBarPos(id, pos);
}
