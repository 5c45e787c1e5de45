// Resources of the running executable: byte blobs found by numeric id and
// type name, the way the programmer carries its two images and its settings
// record. The build links a generated table of them into each executable; a
// generated source installs it before main runs (ResourceTableRegistration).
// Tests install tables of their own with ScopedResourceTable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexu {

struct EmbeddedResource {
    uint32_t id;
    const char* type;     // type name, compared exactly ("FPGADATA")
    const uint8_t* data;  // null: the resource is listed but cannot be loaded
    uint32_t size;
};

// Finds the first entry with this id and type name; null when there is none
// (also for a null type name).
const EmbeddedResource* FindEmbeddedResource(uint32_t id, const char* type);
// The size the entry records.
uint32_t EmbeddedResourceSize(const EmbeddedResource* resource);
// Loads the entry; null when its bytes cannot be had.
const EmbeddedResource* LoadEmbeddedResource(const EmbeddedResource* resource);
// The bytes of a loaded entry; null on failure.
const uint8_t* LockEmbeddedResource(const EmbeddedResource* loaded);

// Installs the table the lookups search (null, 0: no resources). Not to be
// called while another thread looks resources up.
void SetResourceTable(const EmbeddedResource* entries, size_t count);

// Installs a table during static initialisation; the build's generated
// resource source holds one of these.
struct ResourceTableRegistration {
    ResourceTableRegistration(const EmbeddedResource* entries, size_t count) {
        SetResourceTable(entries, count);
    }
};

// Installs a table for the lifetime of a scope and puts the previous one back.
class ScopedResourceTable {
public:
    ScopedResourceTable(const EmbeddedResource* entries, size_t count);
    ~ScopedResourceTable();
    ScopedResourceTable(const ScopedResourceTable&) = delete;
    ScopedResourceTable& operator=(const ScopedResourceTable&) = delete;

private:
    const EmbeddedResource* previousEntries_;
    size_t previousCount_;
};

}  // namespace vexu
