// vexu-programmer.exe: the one-window programmer on Windows.
//
//   vexu-programmer [--trace] [--simulate[=KEY=VALUE,...]] [--box=PATH]
//   vexu-programmer --help | --version
//
// Without --simulate the window talks to the real USB box through the HID
// class services and follows its arrival and removal through device-change
// notifications. With it, the simulated box and board take its place
// (on virtual time; the key "realtime" puts them on the real clock).
#include "app/win32/win_dialog.h"
#include "dialog/window_options.h"
#include "link/dev_manage.h"
#include "platform/system_hid.h"
#include "platform/trace.h"
#include "run/build_info.h"
#include "sim/simulator.h"
// After the project's headers (win_dialog.h brings windows.h):
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return {};
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(length) - 1);
    return utf8;
}

bool HasStandardError() {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    return error != nullptr && error != INVALID_HANDLE_VALUE;
}

// A window program has no console of its own: its texts go to the handles
// it was given, else to the console it was started from, if any. Returns
// whether it has somewhere to write them.
bool AttachParentConsole() {
    if (HasStandardError()) return true;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
    return true;
}

bool g_hasConsole = false;

std::string UsageText() { return WindowUsage(false, vexu::sim::SimulatorHelp()); }

// A bad command line is told on standard error, or in a message box when
// the window was started without anywhere to write (from the shell).
int Refuse(const std::string& text, int status = 2) {
    if (g_hasConsole) {
        std::fprintf(stderr, "vexu-programmer: %s\n", text.c_str());
        std::fflush(stderr);
    } else {
        MessageBoxW(nullptr, vexu::win32ui::Wide(text).c_str(), L"vexu-programmer", MB_OK | MB_ICONERROR);
    }
    return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    g_hasConsole = AttachParentConsole();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
    switch (FirstAsk(args)) {
        case WindowAsk::kVersion: std::fputs(VersionText("vexu-programmer").c_str(), stdout); return 0;
        case WindowAsk::kHelp: std::fputs(UsageText().c_str(), stdout); return 0;
        case WindowAsk::kWindow: break;
    }
    WindowOptions options;
    if (std::string error = ParseWindowOptions(args, false, options); !error.empty()) return Refuse(error);
    vexu::SetTraceToStderr(options.trace);

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    std::unique_ptr<vexu::HidBackend> backend;
    std::unique_ptr<vexu::HotplugMonitor> monitor;
    vexu::sim::SimBackend* simulated = nullptr;
    if (options.simulate) {
        std::string error;
        std::unique_ptr<vexu::sim::SimBackend> sim = vexu::sim::MakeSimulator(options.simulateKeys, error);
        if (!sim) return Refuse("--simulate: " + error);
        simulated = sim.get();
        monitor = sim->MakeHotplugMonitor();
        backend = std::move(sim);
    } else {
        backend = vexu::MakeSystemHidBackend();
        monitor = vexu::MakeSystemHotplugMonitor();
    }
    CDevManage::SetBackend(backend.get());
    CDevManage::SetBoxPath(options.box);

    vexu::win32ui::WindowSetup setup;
    setup.instance = GetModuleHandleW(nullptr);
    setup.monitor = monitor.get();
    setup.simulator = simulated;
    INT_PTR result = -1;
    DWORD error = 0;
    {
        vexu::win32ui::CWinKTRDlg dialog(setup);
        result = dialog.DoModal();
        error = GetLastError();
    }
    CDevManage::SetBackend(nullptr);
    if (result == -1) return Refuse("the window could not be made (error " + std::to_string(error) + ")", 1);
    return 0;
}
