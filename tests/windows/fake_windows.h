// A stand-in for the Windows calls of the HID backend: a device list of HID
// devices and their interfaces, exclusive opening as the HID class driver
// does it, and boxes whose feature reports another HID backend (the
// simulated box) answers. It checks what the real calls check — the size
// fields of the records, the class GUID, the access an open asks for — and
// records what it was asked.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/windows/win_hid.h"

namespace vexu::test {

struct FakeInterface {
    std::string path{};           // as Windows gives it, in any letter case
    bool detailFails = false;     // SetupDiGetDeviceInterfaceDetailA refuses
    uint16_t vendorId = 0;        // what HidD_GetAttributes says
    uint16_t productId = 0;
    std::wstring serial{};        // empty: HidD_GetSerialNumberString fails
    DWORD openError = 0;          // a read/write open fails with this error
    HidBackend* box = nullptr;    // answers the feature reports (none: they fail)
};

struct FakeDevice {
    std::vector<FakeInterface> interfaces;
};

class FakeWindows final : public win::WinHidSystem {
public:
    struct OpenCall {
        std::string path;
        DWORD access;
        DWORD shareMode;
        DWORD creation;
    };
    struct Transfer {
        bool set;
        std::vector<uint8_t> report;  // what the backend passed (a fetch: the buffer before the answer)
        std::vector<uint8_t> answer;  // a fetch: the buffer after it
    };

    std::vector<FakeDevice> devices;
    bool listFails = false;

    // What happened.
    std::vector<OpenCall> opens;
    std::vector<Transfer> transfers;
    int listsMade = 0;
    int listsDestroyed = 0;
    size_t OpenHandles() const { return handles_.size(); }

    void HidD_GetHidGuid(GUID* guid) override;
    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent, DWORD flags) override;
    BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device, const GUID* classGuid, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA* interfaceData) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                          DWORD* requiredSize, SP_DEVINFO_DATA* device) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                       DWORD creation, DWORD flags, HANDLE templateFile) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOLEAN HidD_GetAttributes(HANDLE handle, HIDD_ATTRIBUTES* attributes) override;
    BOOLEAN HidD_GetSerialNumberString(HANDLE handle, void* buffer, ULONG length) override;
    BOOLEAN HidD_SetFeature(HANDLE handle, void* report, ULONG length) override;
    BOOLEAN HidD_GetFeature(HANDLE handle, void* report, ULONG length) override;
    DWORD GetLastError() override { return lastError_; }

    // The HID class GUID every call must be given.
    static const GUID kHidGuid;

private:
    struct OpenInterface {
        FakeInterface* interfaceEntry;
        DWORD access;
        HidHandle boxHandle;  // the answering backend's handle, 0 without one
    };
    BOOL Fail(DWORD error) {
        lastError_ = error;
        return FALSE;
    }
    FakeInterface* Lookup(const std::string& path);
    OpenInterface* Open(HANDLE handle);

    DWORD lastError_ = 0;
    std::map<HANDLE, OpenInterface> handles_;
    intptr_t nextHandle_ = 0x100;
};

}  // namespace vexu::test
