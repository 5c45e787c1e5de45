// The Windows calls of the HID backend, as the running system answers them.
#include "platform/windows/win_hid.h"

namespace vexu::win {

namespace {

class SystemHidCalls final : public WinHidSystem {
public:
    void HidD_GetHidGuid(GUID* guid) override { ::HidD_GetHidGuid(guid); }
    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent, DWORD flags) override {
        return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
    }
    BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) override {
        return ::SetupDiEnumDeviceInfo(set, index, device);
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device, const GUID* classGuid, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA* interfaceData) override {
        return ::SetupDiEnumDeviceInterfaces(set, device, classGuid, index, interfaceData);
    }
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                          DWORD* requiredSize, SP_DEVINFO_DATA* device) override {
        return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize, device);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override { return ::SetupDiDestroyDeviceInfoList(set); }
    HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                       DWORD creation, DWORD flags, HANDLE templateFile) override {
        return ::CreateFileA(path, access, shareMode, security, creation, flags, templateFile);
    }
    BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
    BOOLEAN HidD_GetAttributes(HANDLE handle, HIDD_ATTRIBUTES* attributes) override {
        return ::HidD_GetAttributes(handle, attributes);
    }
    BOOLEAN HidD_GetSerialNumberString(HANDLE handle, void* buffer, ULONG length) override {
        return ::HidD_GetSerialNumberString(handle, buffer, length);
    }
    BOOLEAN HidD_SetFeature(HANDLE handle, void* report, ULONG length) override {
        return ::HidD_SetFeature(handle, report, length);
    }
    BOOLEAN HidD_GetFeature(HANDLE handle, void* report, ULONG length) override {
        return ::HidD_GetFeature(handle, report, length);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
};

}  // namespace

WinHidSystem& SystemCalls() {
    static SystemHidCalls calls;
    return calls;
}

}  // namespace vexu::win
