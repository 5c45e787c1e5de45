#include "platform/resources.h"

#include <cstring>

namespace vexu {

namespace {

// Constant-initialised, so a registration running during static
// initialisation of another source always finds them in place.
const EmbeddedResource* g_resourceEntries = nullptr;
size_t g_resourceCount = 0;

}  // namespace

const EmbeddedResource* FindEmbeddedResource(uint32_t id, const char* type) {
    if (type == nullptr) return nullptr;
    for (size_t i = 0; i < g_resourceCount; ++i) {
        const EmbeddedResource& entry = g_resourceEntries[i];
        if (entry.id == id && entry.type != nullptr && std::strcmp(entry.type, type) == 0) return &entry;
    }
    return nullptr;
}

uint32_t EmbeddedResourceSize(const EmbeddedResource* resource) { return resource ? resource->size : 0; }

const EmbeddedResource* LoadEmbeddedResource(const EmbeddedResource* resource) {
    return resource && resource->data ? resource : nullptr;
}

const uint8_t* LockEmbeddedResource(const EmbeddedResource* loaded) { return loaded ? loaded->data : nullptr; }

void SetResourceTable(const EmbeddedResource* entries, size_t count) {
    g_resourceEntries = entries;
    g_resourceCount = entries ? count : 0;
}

ScopedResourceTable::ScopedResourceTable(const EmbeddedResource* entries, size_t count)
    : previousEntries_(g_resourceEntries), previousCount_(g_resourceCount) {
    SetResourceTable(entries, count);
}

ScopedResourceTable::~ScopedResourceTable() { SetResourceTable(previousEntries_, previousCount_); }

}  // namespace vexu
