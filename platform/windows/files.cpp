#include "platform/files.h"

#include <cstdlib>
#include <cwchar>

namespace vexu {

// %LOCALAPPDATA%, the per-user, per-machine application data; without it,
// the profile's AppData\Local; without that, the current directory.
std::filesystem::path UserStateDirectory() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local && local[0]) return local;
    const wchar_t* profile = _wgetenv(L"USERPROFILE");
    return std::filesystem::path(profile && profile[0] ? profile : L".") / "AppData" / "Local";
}

// _wfopen keeps every character of the path (fopen would pass it through
// the ANSI code page).
FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
    std::wstring wideMode;
    for (const char* c = mode; *c; ++c) wideMode += static_cast<wchar_t>(*c);
    return _wfopen(path.c_str(), wideMode.c_str());
}

std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace vexu
