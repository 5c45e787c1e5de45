#include "engine/dp_composite.h"

#include "engine/dp_array.h"
#include "engine/dp_flashrom.h"
#include "engine/dp_nvm.h"
#include "engine/dp_security.h"
#include "engine/dp_state.h"

namespace {

bool Has(uint32_t flags) { return (g_dpState.supportFlags & flags) == flags; }

}  // namespace

// Authentication comes before the erase, so that encrypted rows the device
// rejects leave the device untouched. Every step returns at once after the
// first failure; nothing is rolled back.
void dp_action_program() {
    if (Has(DP_SUPPORT_ARRAY | DP_SUPPORT_ARRAY_ENCRYPTED)) dp_array_authenticate();
    dp_erase_present();
    if (Has(DP_SUPPORT_ARRAY)) dp_array_program();
    if (Has(DP_SUPPORT_FROM)) dp_rom_program();
    dp_silsig_write();
    dp_action_program_nvm();
    if (Has(DP_SUPPORT_SECURITY)) dp_sec_write();
}

// Encrypted FlashROM pages and encrypted NVM blocks cannot be read back and
// are not verified.
void dp_action_verify() {
    if (Has(DP_SUPPORT_ARRAY)) dp_action_verify_array();
    if (Has(DP_SUPPORT_FROM)) dp_action_verify_from();
    dp_action_verify_nvm();
}
