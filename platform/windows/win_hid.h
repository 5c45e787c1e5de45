// The HID backend of Windows: the box's interfaces found through the
// device-setup services, opened exclusively with CreateFileA, and its
// feature reports written and fetched with the HID class services. The
// calls go through WinHidSystem, so that tests can stand in for Windows
// with a device list and devices of their own.
#pragma once

#include <windows.h>
// After windows.h. mingw-w64's hidsdi.h declares C functions without
// saying so to C++.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/hid_backend.h"

namespace vexu::win {

// The Windows calls the backend makes, with their Windows names and
// arguments; GetLastError is the error of the last failed one.
class WinHidSystem {
public:
    virtual ~WinHidSystem() = default;
    virtual void HidD_GetHidGuid(GUID* guid) = 0;
    virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                                          DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device, const GUID* classGuid,
                                             DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                                  DWORD* requiredSize, SP_DEVINFO_DATA* device) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
    virtual HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                               DWORD creation, DWORD flags, HANDLE templateFile) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual BOOLEAN HidD_GetAttributes(HANDLE handle, HIDD_ATTRIBUTES* attributes) = 0;
    virtual BOOLEAN HidD_GetSerialNumberString(HANDLE handle, void* buffer, ULONG length) = 0;
    virtual BOOLEAN HidD_SetFeature(HANDLE handle, void* report, ULONG length) = 0;
    virtual BOOLEAN HidD_GetFeature(HANDLE handle, void* report, ULONG length) = 0;
    virtual DWORD GetLastError() = 0;
};

// The calls of the running Windows.
WinHidSystem& SystemCalls();

std::unique_ptr<HidBackend> MakeWinHidBackend(WinHidSystem& system);

// Interface paths as the device list and the device-change notifications
// both give them, which differ in letter case only: lower case throughout
// ("\\?\hid#vid_a112&pid_b112#...").
std::string NormalizeInterfacePath(std::string_view path);

// The vendor and product ids written in an interface path
// ("...#vid_a112&pid_b112#..."); false when the path does not carry both.
bool IdsFromInterfacePath(std::string_view path, uint16_t& vendorId, uint16_t& productId);

// Why CreateFileA failed, from its GetLastError.
HidOpenError OpenErrorFromWindows(DWORD error);

}  // namespace vexu::win
