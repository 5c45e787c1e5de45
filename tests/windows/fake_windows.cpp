#include "fake_windows.h"

#include <algorithm>
#include <cstring>

namespace vexu::test {

namespace {

// The device list's handle: any value that is not INVALID_HANDLE_VALUE.
const HDEVINFO kList = reinterpret_cast<HDEVINFO>(intptr_t{0x5E7});

bool SameGuid(const GUID* a, const GUID& b) { return a && std::memcmp(a, &b, sizeof b) == 0; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

const GUID FakeWindows::kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

void FakeWindows::HidD_GetHidGuid(GUID* guid) { *guid = kHidGuid; }

HDEVINFO FakeWindows::SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                                           DWORD flags) {
    if (listFails || !SameGuid(classGuid, kHidGuid) || enumerator || parent ||
        flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    ++listsMade;
    return kList;
}

BOOL FakeWindows::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) {
    if (set != kList || !device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    device->DevInst = index;
    return TRUE;
}

BOOL FakeWindows::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device, const GUID* classGuid,
                                              DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData) {
    if (set != kList || !device || !interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (!SameGuid(classGuid, kHidGuid)) return Fail(ERROR_INVALID_PARAMETER);
    if (device->DevInst >= devices.size() || index >= devices[device->DevInst].interfaces.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    interfaceData->Reserved = (static_cast<ULONG_PTR>(device->DevInst) << 16) | index;
    return TRUE;
}

BOOL FakeWindows::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                   SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                                   DWORD* requiredSize, SP_DEVINFO_DATA*) {
    if (set != kList || !interfaceData) return Fail(ERROR_INVALID_PARAMETER);
    const size_t deviceIndex = interfaceData->Reserved >> 16;
    const size_t interfaceIndex = interfaceData->Reserved & 0xFFFF;
    const FakeInterface& entry = devices.at(deviceIndex).interfaces.at(interfaceIndex);
    if (entry.detailFails) return Fail(ERROR_GEN_FAILURE);
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.path.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (!detail) return Fail(ERROR_INSUFFICIENT_BUFFER);
    // The fixed part's size, as the 64-bit record has it.
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
    return TRUE;
}

BOOL FakeWindows::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (set != kList) return Fail(ERROR_INVALID_HANDLE);
    ++listsDestroyed;
    return TRUE;
}

FakeInterface* FakeWindows::Lookup(const std::string& path) {
    for (FakeDevice& device : devices)
        for (FakeInterface& entry : device.interfaces)
            if (Lower(entry.path) == Lower(path)) return &entry;
    return nullptr;
}

FakeWindows::OpenInterface* FakeWindows::Open(HANDLE handle) {
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
}

// Paths compare without regard to case. An open that asks for reading or
// writing meets the sharing of the opens before it: the backend shares
// nothing, so a second such open of the same interface is refused.
HANDLE FakeWindows::CreateFileA(const char* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES*, DWORD creation,
                                DWORD, HANDLE) {
    opens.push_back({path, access, shareMode, creation});
    FakeInterface* entry = Lookup(path);
    if (!entry || creation != OPEN_EXISTING) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    const bool readWrite = (access & (GENERIC_READ | GENERIC_WRITE)) != 0;
    if (readWrite && entry->openError) {
        lastError_ = entry->openError;
        return INVALID_HANDLE_VALUE;
    }
    for (const auto& [other, open] : handles_) {
        const bool otherReadWrite = (open.access & (GENERIC_READ | GENERIC_WRITE)) != 0;
        if (open.interfaceEntry == entry && readWrite && otherReadWrite) {
            lastError_ = ERROR_SHARING_VIOLATION;
            return INVALID_HANDLE_VALUE;
        }
    }
    HidHandle boxHandle = 0;
    if (readWrite && entry->box) {
        std::vector<HidDeviceInfo> list;
        entry->box->Enumerate(list);
        boxHandle = entry->box->Open(list.at(0).interfaces.back().path);
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(nextHandle_++);
    handles_[handle] = {entry, access, boxHandle};
    return handle;
}

BOOL FakeWindows::CloseHandle(HANDLE handle) {
    OpenInterface* open = Open(handle);
    if (!open) return Fail(ERROR_INVALID_HANDLE);
    if (open->boxHandle) open->interfaceEntry->box->Close(open->boxHandle);
    handles_.erase(handle);
    return TRUE;
}

BOOLEAN FakeWindows::HidD_GetAttributes(HANDLE handle, HIDD_ATTRIBUTES* attributes) {
    OpenInterface* open = Open(handle);
    if (!open || !attributes || attributes->Size != sizeof(HIDD_ATTRIBUTES)) return Fail(ERROR_INVALID_PARAMETER);
    attributes->VendorID = open->interfaceEntry->vendorId;
    attributes->ProductID = open->interfaceEntry->productId;
    attributes->VersionNumber = 0x0100;
    return TRUE;
}

BOOLEAN FakeWindows::HidD_GetSerialNumberString(HANDLE handle, void* buffer, ULONG length) {
    OpenInterface* open = Open(handle);
    if (!open || open->interfaceEntry->serial.empty()) return Fail(ERROR_INVALID_PARAMETER);
    const std::wstring& serial = open->interfaceEntry->serial;
    if ((serial.size() + 1) * sizeof(wchar_t) > length) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, serial.c_str(), (serial.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

BOOLEAN FakeWindows::HidD_SetFeature(HANDLE handle, void* report, ULONG length) {
    OpenInterface* open = Open(handle);
    if (!open || !(open->access & GENERIC_WRITE)) return Fail(ERROR_INVALID_HANDLE);
    const auto* bytes = static_cast<const uint8_t*>(report);
    transfers.push_back({true, std::vector<uint8_t>(bytes, bytes + length), {}});
    if (!open->boxHandle) return Fail(ERROR_GEN_FAILURE);
    return open->interfaceEntry->box->SetFeature(open->boxHandle, bytes, length) ? TRUE : Fail(ERROR_GEN_FAILURE);
}

BOOLEAN FakeWindows::HidD_GetFeature(HANDLE handle, void* report, ULONG length) {
    OpenInterface* open = Open(handle);
    if (!open || !(open->access & GENERIC_READ)) return Fail(ERROR_INVALID_HANDLE);
    auto* bytes = static_cast<uint8_t*>(report);
    transfers.push_back({false, std::vector<uint8_t>(bytes, bytes + length), {}});
    if (!open->boxHandle) return Fail(ERROR_GEN_FAILURE);
    const bool answered = open->interfaceEntry->box->GetFeature(open->boxHandle, bytes, length);
    transfers.back().answer.assign(bytes, bytes + length);
    return answered ? TRUE : Fail(ERROR_GEN_FAILURE);
}

}  // namespace vexu::test
