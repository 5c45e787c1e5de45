// Drives vexu-programmer.exe from outside, as an operator and a box would,
// through window messages only: it starts the window on the simulated box,
// plugs the box, starts runs by a click message, waits for their ends
// (bounded), reads texts, bar positions and percent labels back, reads and
// closes a failed run's message box, pulls the box mid-run and plugs it
// again, and checks the run log's records. It saves a picture of each of
// the five stages (no box, box present, mid-run, finished, failed).
//
//   window_test PROGRAMMER.exe PICTURE_DIR SEQUENCE_FILE
//
// SEQUENCE_FILE (tests/data/window_sequence.txt) names the state the window
// must reach after each step, in the same words for every window.
//
// The run log is read from %LOCALAPPDATA%\vexu-programmer\runs.log, which
// the test empties first. Exit status 0 when every check held.
#include "app/win32/win_dialog.h"
// After the project's headers:
#include "app/win32/win_controls.h"
#include "dialog/dialog_template.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace vexu::win32ui;
using Clock = std::chrono::steady_clock;

int g_failures = 0;
PROCESS_INFORMATION g_process{};
const Clock::time_point g_started = Clock::now();

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length, nullptr,
                        nullptr);
    return utf8;
}

void Check(bool condition, const std::string& what) {
    if (condition) return;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++g_failures;
}

// Polls until the condition holds or the limit passes; the window works
// on its own, so this waits in small real steps.
bool WaitFor(const std::function<bool()>& condition, int limitMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    return condition();
}

// A message to the window that must not hang the test when the window's
// thread is blocked (it waits for a run after a removal).
LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0, UINT limitMs = 60000) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, limitMs, &result)) return -1;
    return static_cast<LRESULT>(result);
}

std::wstring Text(HWND window) {
    wchar_t buffer[512] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, 10000, &copied))
        return L"?";
    return std::wstring(buffer, copied);
}

struct FoundWindow {
    DWORD process;
    const wchar_t* title;
    HWND owner;
    HWND found;
};

// A top-level dialog of the programmer's process with this title (and this
// owner, when given).
HWND FindDialog(const wchar_t* title, HWND owner = nullptr) {
    FoundWindow search{g_process.dwProcessId, title, owner, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<FoundWindow*>(data);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            wchar_t className[64] = {};
            GetClassNameW(window, className, 64);
            if (process != s->process || !IsWindowVisible(window) || std::wstring(className) != L"#32770") return TRUE;
            if (s->owner && GetWindow(window, GW_OWNER) != s->owner) return TRUE;
            if (Text(window) != s->title) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// What the window shows, read back through window messages.
struct Seen {
    bool enabled[11] = {};
    bool visible[11] = {};
    std::string text[11];
    long bar[11] = {};
};

Seen Look(HWND dialog) {
    Seen seen;
    for (const DialogItem& item : kDialogItems) {
        const int i = item.id - IDC_START;
        HWND control = GetDlgItem(dialog, item.id);
        seen.enabled[i] = IsWindowEnabled(control) != FALSE;
        seen.visible[i] = IsWindowVisible(control) != FALSE;
        seen.text[i] = Utf8(Text(control));
        if (item.kind == ControlKind::kBar) seen.bar[i] = static_cast<long>(Send(control, CM_BARGETPOS));
    }
    return seen;
}

// The dialog's state as one line: the background and the switched
// controls, then each part's percent label and bar, then the start button.
std::string Describe(HWND dialog) {
    const Seen s = Look(dialog);
    auto at = [](int id) { return id - IDC_START; };
    std::ostringstream line;
    line << "enabled=" << s.enabled[at(IDC_LINK)] << " start=" << (s.visible[at(IDC_START)] ? "shown" : "hidden");
    for (auto [name, percent, bar] : {std::tuple{"fpga", IDC_FPGA_PERCENT, IDC_FPGA_BAR},
                                      std::tuple{"eeprom", IDC_EEPROM_PERCENT, IDC_EEPROM_BAR}}) {
        line << " " << name << "=" << s.bar[at(bar)] << "/"
             << (s.visible[at(percent)] ? s.text[at(percent)] : std::string("-"));
    }
    return line.str();
}

bool Shown(HWND dialog, int id) { return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE; }
bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
long Bar(HWND dialog, int id) { return static_cast<long>(Send(GetDlgItem(dialog, id), CM_BARGETPOS)); }

void Click(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// The window and whatever it owns (a message box), as on screen, into a
// 24-bit BMP.
void Picture(HWND dialog, const std::wstring& directory, const char* name) {
    RECT covered;
    GetWindowRect(dialog, &covered);
    if (HWND box = FindDialog(L"Error", dialog)) {
        RECT boxRect;
        GetWindowRect(box, &boxRect);
        UnionRect(&covered, &covered, &boxRect);
    }
    InflateRect(&covered, 8, 8);
    const int width = covered.right - covered.left;
    const int height = covered.bottom - covered.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, covered.left, covered.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
    }
    const DWORD stride = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD imageBytes = stride * static_cast<DWORD>(height);
    const std::wstring path = directory + L"\\" + std::wstring(name, name + std::strlen(name)) + L".bmp";
    if (ok) {
        BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) + imageBytes,
                              0, 0, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER))};
        std::ofstream out(std::filesystem::path(path), std::ios::binary);
        out.write(reinterpret_cast<const char*>(&file), sizeof file);
        out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
        out.write(static_cast<const char*>(bits), imageBytes);
        ok = out.good();
    }
    Check(ok, std::string("picture ") + name + " saved");
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// The "failure" member of a run log line (a JSON string, unescaped).
std::string FailureOf(const std::string& line) {
    const std::string key = "\"failure\":\"";
    size_t i = line.find(key);
    if (i == std::string::npos) return "?";
    std::string text;
    for (i += key.size(); i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            text += line[i];
            continue;
        }
        const char escaped = line[++i];
        switch (escaped) {
            case 'n': text += '\n'; break;
            case 'r': text += '\r'; break;
            case 't': text += '\t'; break;
            case 'u': {
                const unsigned code = static_cast<unsigned>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
                i += 4;
                std::wstring one(1, static_cast<wchar_t>(code));
                text += Utf8(one);
                break;
            }
            default: text += escaped; break;
        }
    }
    return text;
}

std::vector<std::string> RunLog(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// Waits for the "Error" box of a failed run, checks that it tells the
// run's failure text as the run log keeps it, and closes it.
std::string ReadAndCloseError(HWND dialog, const std::wstring& directory, const char* picture) {
    HWND box = nullptr;
    Check(WaitFor([&] { return (box = FindDialog(L"Error", dialog)) != nullptr; }, 120000),
          "a failed run shows a message box titled \"Error\" owned by the window");
    if (!box) return {};
    const std::string text = Utf8(Text(GetDlgItem(box, 0xFFFF)));
    if (picture) Picture(dialog, directory, picture);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    Check(WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 20000), "the Error box closes on OK");
    return text;
}

// Text against a pattern in which "*" stands for any run of characters.
bool Matches(const char* pattern, const char* text) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '*') return Matches(pattern + 1, text) || (*text != '\0' && Matches(pattern, text + 1));
    return *text == *pattern && Matches(pattern + 1, text + 1);
}

// The expected state of each step, from the sequence file.
std::vector<std::pair<std::string, std::string>> g_sequence;

bool ReadSequence(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)};
    auto trim = [](std::string text) {
        const size_t first = text.find_first_not_of(" \t\r");
        const size_t last = text.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    };
    for (std::string line; std::getline(in, line);) {
        const size_t bar = line.find('|');
        if (line.empty() || line[0] == '#' || bar == std::string::npos) continue;
        g_sequence.emplace_back(trim(line.substr(0, bar)), trim(line.substr(bar + 1)));
    }
    return !g_sequence.empty();
}

// Waits (bounded) for the state the sequence names for this step.
void Expect(HWND dialog, const char* step) {
    std::string expected;
    for (const auto& [name, state] : g_sequence)
        if (name == step) expected = state;
    Check(!expected.empty(), std::string("the sequence has a step ") + step);
    std::string seen;
    WaitFor([&] { return Matches(expected.c_str(), (seen = Describe(dialog)).c_str()); }, 10000);
    std::fprintf(stderr, "%6.1f s  %-12s %s\n", std::chrono::duration<double>(Clock::now() - g_started).count(), step,
                 seen.c_str());
    Check(Matches(expected.c_str(), seen.c_str()),
          std::string(step) + ": expected \"" + expected + "\", saw \"" + seen + "\"");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: window_test PROGRAMMER.exe PICTURE_DIR SEQUENCE_FILE\n");
        return 2;
    }
    if (!ReadSequence(argv[3])) {
        std::fprintf(stderr, "window_test: no steps in %ls\n", argv[3]);
        return 2;
    }
    const std::wstring directory = argv[2];
    CreateDirectoryW(directory.c_str(), nullptr);
    wchar_t state[MAX_PATH] = {};
    GetEnvironmentVariableW(L"LOCALAPPDATA", state, MAX_PATH);
    const std::wstring runLog = std::wstring(state) + L"\\vexu-programmer\\runs.log";
    DeleteFileW(runLog.c_str());

    // The box starts unplugged; the test plugs it as an operator would. The
    // window's simulator runs on the real clock: short USB and flash times
    // keep a run to seconds.
    std::wstring command =
        L"\"" + std::wstring(argv[1]) + L"\" --simulate=unplugged,latency-us=100,flash-busy-percent=10";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &g_process)) {
        std::fprintf(stderr, "cannot start %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    HWND dialog = nullptr;
    WaitFor([&] { return (dialog = FindDialog(L"Vexu Dual Programmer v1.0")) != nullptr; }, 60000);
    Check(dialog != nullptr, "the window shows, titled \"Vexu Dual Programmer v1.0\"");
    if (!dialog) {
        TerminateProcess(g_process.hProcess, 1);
        std::ofstream(std::filesystem::path(directory + L"\\result.txt"), std::ios::binary) << "failed\n";
        return 1;
    }
    const auto started = Clock::now();

    // 1. No box: everything disabled, percent labels hidden.
    Expect(dialog, "no-box");
    Check(!Enabled(dialog, IDC_START), "without a box the start button is disabled");
    const Seen first = Look(dialog);
    Check(first.text[IDC_FPGA_CAPTION - IDC_START] == "FPGA CHIP" &&
              first.text[IDC_EEPROM_CAPTION - IDC_START] == "SPI FLASH",
          "the captions come from the settings record");
    Check(!Shown(dialog, IDC_BUILD_SETTING_FILE), "the Build Setting File button is never shown");
    Picture(dialog, directory, "1-no-box");

    // 2. The box arrives.
    Check(Send(dialog, WM_VEXU_SIM_PLUG, 1) == 1, "the simulated box is plugged");
    Expect(dialog, "box-present");
    Picture(dialog, directory, "2-box-present");

    // The about box from the system menu, its Chinese texts intact.
    PostMessageW(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND about = nullptr;
    Check(WaitFor([&] { return (about = FindDialog(L"关于 KTR", dialog)) != nullptr; }, 20000),
          "the system menu's about item shows the about box \"关于 KTR\"");
    if (about) {
        bool versionShown = false;
        for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            versionShown = versionShown || Text(child) == L"KTR 1.0 版";
        Check(versionShown && Text(GetDlgItem(about, IDOK)) == L"确定", "the about box says \"KTR 1.0 版\" and \"确定\"");
        Picture(about, directory, "about");
        PostMessageW(about, WM_COMMAND, IDOK, 0);
        Check(WaitFor([&] { return !IsWindow(about); }, 20000), "the about box closes on OK");
    }

    // 3. A run from a click: mid-run the start button is away and both
    // percent labels show their bars' positions.
    Click(dialog, IDC_START);
    Check(WaitFor([&] { return !Shown(dialog, IDC_START); }, 30000), "a click on the start button starts a run");
    Check(WaitFor([&] { return Shown(dialog, IDC_FPGA_PERCENT) && Shown(dialog, IDC_EEPROM_PERCENT); }, 10000),
          "during a run both percent labels show");
    WaitFor([&] { return Bar(dialog, IDC_EEPROM_BAR) >= 30 || Shown(dialog, IDC_START); }, 120000);
    if (!Shown(dialog, IDC_START)) {
        // The label first, then the bar: the window sets both in one
        // handler, so the bar read later is never behind the label.
        const std::string percent = Utf8(Text(GetDlgItem(dialog, IDC_EEPROM_PERCENT)));
        const long bar = Bar(dialog, IDC_EEPROM_BAR);
        Check(percent.size() > 1 && percent.back() == '%' && std::stol(percent) <= bar,
              "mid-run the serial-flash label (" + percent + ") follows its bar (" + std::to_string(bar) + ")");
        Picture(dialog, directory, "3-mid-run");
    } else {
        Check(false, "a picture mid-run (the run ended before the serial-flash bar reached 30)");
    }

    // 4. The run passes: full bars, labels hidden, no message box.
    Check(WaitFor([&] { return Send(dialog, WM_VEXU_RUN_IN_PROGRESS) == 0 && Shown(dialog, IDC_START); }, 180000),
          "the run ends");
    Expect(dialog, "run-passed");
    Check(Utf8(Text(GetDlgItem(dialog, IDC_FPGA_PERCENT))) == "100%" &&
              Utf8(Text(GetDlgItem(dialog, IDC_EEPROM_PERCENT))) == "100%",
          "the hidden percent labels keep \"100%\"");
    Check(FindDialog(L"Error", dialog) == nullptr, "a passed run shows no message box");
    Picture(dialog, directory, "4-finished");

    // 5. A failed run: the box refuses serial mode; the FPGA step passes.
    Check(Send(dialog, WM_VEXU_SIM_REFUSE_SERIAL, 1) == 1, "the simulated box is set to refuse serial mode");
    Click(dialog, IDC_START);
    const std::string failure = ReadAndCloseError(dialog, directory, "5-failed");
    Expect(dialog, "run-failed");
    std::vector<std::string> records = RunLog(runLog);
    Check(records.size() == 2, "two runs, two records in the run log (" + std::to_string(records.size()) + ")");
    if (records.size() == 2) {
        Check(records[0].find("\"result\":\"ok\"") != std::string::npos, "the first record: the run passed");
        Check(!failure.empty() && FailureOf(records[1]) == failure,
              "the Error box tells the run's failure text (box: \"" + failure + "\", run log: \"" +
                  FailureOf(records[1]) + "\")");
    }

    // 6. The box is pulled mid-run: the controls go disabled, the run
    // fails, and the start button comes back disabled.
    Send(dialog, WM_VEXU_SIM_REFUSE_SERIAL, 0);
    Click(dialog, IDC_START);
    Check(WaitFor([&] { return Bar(dialog, IDC_FPGA_BAR) >= 5; }, 60000), "the third run moves the FPGA bar");
    Check(Send(dialog, WM_VEXU_SIM_PLUG, 0) == 1, "the simulated box is unplugged mid-run");
    const std::string lost = ReadAndCloseError(dialog, directory, nullptr);
    Check(!lost.empty(), "a run whose box was pulled fails with a failure text");
    Check(WaitFor([&] { return Shown(dialog, IDC_START) && !Enabled(dialog, IDC_START); }, 20000),
          "after a removal the start button is back, disabled");
    Expect(dialog, "box-pulled");

    // 7. It comes back: enabled, both bars back at 0.
    Send(dialog, WM_VEXU_SIM_PLUG, 1);
    Expect(dialog, "box-back");

    records = RunLog(runLog);
    Check(records.size() == 3 && records[2].find("\"result\":\"failed\"") != std::string::npos,
          "the pulled run's record says it failed");

    // The close box ends the program.
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    Check(WaitForSingleObject(g_process.hProcess, 30000) == WAIT_OBJECT_0, "the program ends when the window closes");
    DWORD exitCode = 1;
    GetExitCodeProcess(g_process.hProcess, &exitCode);
    Check(exitCode == 0, "exit status 0");
    if (WaitForSingleObject(g_process.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(g_process.hProcess, 1);
    std::fprintf(stderr, "window test: %d failure(s), %.1f s with the window\n", g_failures,
                 std::chrono::duration<double>(Clock::now() - started).count());
    // The verdict also as a file: a program started on a wine desktop of
    // its own does not hand its exit status back.
    std::ofstream(std::filesystem::path(directory + L"\\result.txt"), std::ios::binary) << (g_failures == 0 ? "passed\n" : "failed\n");
    return g_failures == 0 ? 0 : 1;
}
