// The engine frame: one action on the target FPGA per dp_engine_run. The
// frame checks the data image, resets the TAP, identifies the device,
// enters programming mode, reads the security state, checks that image and
// device allow the action, runs the action's step and always leaves the
// device through dp_exit.
#pragma once

#include <cstdint>

// Runs the action in g_dpState.actionCode; returns the engine error code.
// The caller calibrates the delay (dp_calibrate_delay) first.
uint8_t dp_engine_run();
// The action code of a name, letter case ignored; 0 for an unknown name.
uint8_t dp_action_code_from_name(const char* name);

void dp_dispatch_action();
void dp_identify_device();
void dp_init_target();
void dp_bsr_setup();
void dp_validate_action();
void dp_security_precheck();
void dp_exit();

// What the image must carry for an action, and what the action touches.
using DpStep = void (*)();
using DpSupportTest = bool (*)(uint32_t supportFlags);

enum DpAccess : uint8_t {
    DP_ACCESS_NONE = 0,
    DP_ACCESS_READ = 1,   // verify
    DP_ACCESS_WRITE = 2,  // erase or program (verify included)
};

struct DpActionEntry {
    const char* name;
    uint8_t code;
    DpStep step;
    DpSupportTest accepted;   // the action check: does the image carry the data?
    DpSupportTest runnable;   // the dispatcher's own condition before it runs the step
    bool reportOnly;          // no security pre-check, no AES check at initialisation
    DpAccess array;
    DpAccess flashRom;
    DpAccess nvm;
    bool securitySegment;
};

// The action table entry of a code; null for a code the table does not hold.
const DpActionEntry* dp_action_entry(uint8_t code);
