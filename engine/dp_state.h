// The FPGA engine's one state record, its action codes, the bits of the
// device security word and the engine error codes.
//
// The engine is a set of free dp_ functions over g_dpState. Only the run
// worker thread runs the engine, one run at a time; nothing here is locked.
#pragma once

#include <cstdint>

// Engine error codes. 0 is success; the first failure of a run decides it.
enum DpError : uint8_t {
    DPE_SUCCESS = 0,
    DPE_ID_MISMATCH = 6,          // ID code or device variant does not match the image
    DPE_POLL_TIMEOUT = 7,         // busy poll ran out of tries
    DPE_ERASE_FAILED = 8,
    DPE_ARRAY_PROGRAM_FAILED = 10,  // array or RLOCK
    DPE_ROW_VERIFY_FAILED = 11,
    DPE_ARRAY_VERIFY_FAILED = 12,
    DPE_SECURITY_PROGRAM_FAILED = 16,  // security settings or silicon signature
    DPE_AUTHENTICATION_FAILED = 18,
    DPE_FROM_VERIFY_FAILED = 20,
    DPE_UROW_PROGRAM_FAILED = 24,
    DPE_PROGRAMMING_MODE_REFUSED = 25,
    DPE_FROM_AES_CHECK_FAILED = 27,
    DPE_ARRAY_PROTECTED = 30,  // by pass key, or the AES check before an array operation
    DPE_AES_KEY_CHECK_FAILED = 31,
    DPE_ARRAY_ENCRYPTION_ENFORCED = 33,
    DPE_FROM_ENCRYPTION_ENFORCED = 34,
    DPE_PASS_KEY_MISMATCH = 35,
    DPE_FROM_ENCRYPTION_NOT_ENFORCED = 36,
    DPE_PLAIN_DATA_NEEDS_PASS_KEY = 37,
    DPE_NVM_PROGRAM_FAILED = 41,
    DPE_USER_LOCK_MISMATCH = 42,
    DPE_UROW_MISMATCH = 43,
    DPE_NVM_ENCRYPTION_ENFORCED = 47,
    DPE_NVM_AES_CHECK_FAILED = 48,
    DPE_NVM_ENCRYPTION_NOT_ENFORCED = 49,
    DPE_IMAGE_CRC_MISMATCH = 100,  // the run stops before it touches the device
    DPE_ACTION_NOT_FOUND = 150,
    DPE_IMAGE_LACKS_DATA = 151,
    DPE_ACTION_NOT_BUILT = 152,  // a step this build does not carry
    DPE_IMAGE_BLOCK_OUTSIDE = 153,  // a block the action reads runs past the end of the image
};

// Action codes; the FPGA job sets one before every run.
enum DpAction : uint8_t {
    DP_ACTION_NONE = 0,
    DP_ACTION_DEVICE_INFO = 1,
    DP_ACTION_READ_IDCODE = 2,
    DP_ACTION_ERASE = 3,
    DP_ACTION_ERASE_ALL = 4,
    DP_ACTION_PROGRAM = 5,
    DP_ACTION_VERIFY = 6,
    DP_ACTION_ENC_DATA_AUTHENTICATION = 7,
    DP_ACTION_ERASE_ARRAY = 8,
    DP_ACTION_PROGRAM_ARRAY = 9,
    DP_ACTION_VERIFY_ARRAY = 10,
    DP_ACTION_ERASE_FROM = 11,
    DP_ACTION_PROGRAM_FROM = 12,
    DP_ACTION_VERIFY_FROM = 13,
    DP_ACTION_ERASE_SECURITY = 14,
    DP_ACTION_PROGRAM_SECURITY = 15,
    DP_ACTION_PROGRAM_NVM = 16,
    DP_ACTION_VERIFY_NVM = 17,
    DP_ACTION_VERIFY_DEVICE_INFO = 18,
};

// Device security word. Bits 0-23 come from the device's security register
// at the start of every run; bits 24-30 are flags the run itself sets.
constexpr uint32_t DP_SEC_NVM_READ_PROTECTED(unsigned block) { return 1u << (3 * block); }
constexpr uint32_t DP_SEC_NVM_WRITE_PROTECTED(unsigned block) { return 1u << (3 * block + 1); }
constexpr uint32_t DP_SEC_NVM_ENCRYPTION(unsigned block) { return 1u << (3 * block + 2); }
constexpr uint32_t DP_SEC_ARRAY_VERIFY_PROTECTED = 1u << 12;
constexpr uint32_t DP_SEC_ARRAY_WRITE_PROTECTED = 1u << 13;
constexpr uint32_t DP_SEC_FROM_READ_PROTECTED = 1u << 16;
constexpr uint32_t DP_SEC_FROM_WRITE_PROTECTED = 1u << 17;
constexpr uint32_t DP_SEC_FROM_ENCRYPTION = 1u << 18;
constexpr uint32_t DP_SEC_SECURITY_PROTECTED = 1u << 19;
constexpr uint32_t DP_SEC_ARRAY_ENCRYPTION = 1u << 20;
constexpr uint32_t DP_SEC_DEVICE_BITS = 0x00FFFFFFu;
constexpr uint32_t DP_SEC_PASS_KEY_MATCHED = 1u << 24;
constexpr uint32_t DP_SEC_PASS_KEY_ZERO = 1u << 25;
constexpr uint32_t DP_SEC_ERASED_IN_RUN = 1u << 26;
constexpr uint32_t DP_SEC_SECURITY_ERASED_IN_RUN = 1u << 27;
constexpr uint32_t DP_SEC_SECURITY_SETTINGS_ERASED = 1u << 28;
constexpr uint32_t DP_SEC_M7_DETECTED = 1u << 29;
constexpr uint32_t DP_SEC_M1_DETECTED = 1u << 30;

// Support flags: what the data image carries (bit i from header byte 39 + i).
constexpr uint32_t DP_SUPPORT_ARRAY = 0x1;
constexpr uint32_t DP_SUPPORT_FROM = 0x2;
constexpr uint32_t DP_SUPPORT_NVM(unsigned block) { return 0x8u << block; }
constexpr uint32_t DP_SUPPORT_NVM_ANY = 0x78;
constexpr uint32_t DP_SUPPORT_NVM_VERIFY = 0x80;
constexpr uint32_t DP_SUPPORT_SECURITY = 0x100;
constexpr uint32_t DP_SUPPORT_AES_KEY = 0x200;
constexpr uint32_t DP_SUPPORT_ARRAY_ENCRYPTED = 0x400;
constexpr uint32_t DP_SUPPORT_FROM_ENCRYPTED = 0x800;
constexpr uint32_t DP_SUPPORT_NVM_ENCRYPTED(unsigned block) { return 0x1000u << block; }
constexpr uint32_t DP_SUPPORT_ANY_ENCRYPTED = 0xFC00;

// A block of the image that an action cannot be served from, found before
// the run sends anything (engine/dp_image_check.h).
struct DpImageProblem {
    enum Kind : uint8_t { kNone = 0, kAbsent, kOutside };
    Kind kind = kNone;
    uint8_t block = 0;
    uint64_t offset = 0;     // where the block starts in the image (0 when absent)
    uint64_t needed = 0;     // bytes the action takes from it
    uint64_t available = 0;  // bytes from its start to the end of the data (before the CRC)
};

constexpr unsigned DP_BUFFER_BYTES = 16;  // shift buffer and UROW buffer: 128 bits

struct DpState {
    // Run control.
    uint8_t actionCode;
    uint8_t errorCode;
    uint32_t securityWord;
    uint32_t supportFlags;

    // Device values from identification.
    uint32_t deviceId;
    uint8_t deviceIdRead;    // 1 when deviceId came from the device, 0 when every answer was lost
    uint32_t expectedId;
    uint8_t rowWidthFactor;  // plain rows are factor x 208 bits, encrypted rows factor x 256
    uint32_t arrayRowCount;
    uint8_t deviceClass;     // 1 or 2
    uint32_t bsrLength;      // boundary-scan register bits

    // Working values of the action steps.
    uint32_t dataBitIndex;   // running bit position in the image block being consumed
    uint32_t cycleCount;     // programming cycles kept in the UROW
    int32_t currentRow;      // row counter of the array loops
    uint8_t verifyMode;      // 0 right after programming, 3 for a stand-alone verify
    uint32_t progressPosted; // FPGA percent last posted in this run (0 before the first)

    // JTAG layer.
    uint8_t instructionByte;
    uint8_t shiftBuffer[DP_BUFFER_BYTES];
    uint8_t urowBuffer[DP_BUFFER_BYTES];
    uint8_t statusByte;
    uint32_t delayLoopCount;   // 0 until calibrated: a delay unit then lasts one microsecond
    uint32_t failedCommands;   // programmer commands of this run that failed

    // Data image lookup.
    const uint8_t* imageBase;
    uint32_t loadedBytes;      // what the image buffer holds; no read goes beyond it
    uint32_t imageSize;        // loaded byte count, then the header's size field
    uint8_t cachedBlockId;
    uint32_t cachedBlockOffset;
    uint32_t returnBytes;
    const uint8_t* pagePointer;
    uint32_t requestedBytes;

    // The block that stopped the run before it began; kind kNone otherwise.
    DpImageProblem imageProblem;
};

// The engine state: zero at process start, touched only by the run worker.
extern DpState g_dpState;

// Puts the engine state back to its process-start value.
void dp_reset_state();

// True once a step has failed; every step returns at once then.
inline bool dp_failed() { return g_dpState.errorCode != DPE_SUCCESS; }

// Sets the run's error code unless an earlier failure already decided it.
inline void dp_fail(uint8_t code) {
    if (g_dpState.errorCode == DPE_SUCCESS) g_dpState.errorCode = code;
}
