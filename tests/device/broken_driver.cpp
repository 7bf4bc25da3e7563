// A route-2 driver library that is wrong on purpose, for the binding's refusal paths.
// BROKEN_MISSING_LOCK leaves out SD_W2k_DrvLock; BROKEN_SYSINIT makes DDSysInit fail.
#include <cstdint>

#include "device/sdhost_abi.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
uint32_t g_fini_calls = 0;
}

EXPORT uint32_t SD_W2k_DDSysInit() {
#ifdef BROKEN_SYSINIT
    return 1;
#else
    return 0;
#endif
}
EXPORT uint32_t SD_W2k_DDSysFini() { return ++g_fini_calls, 0; }
EXPORT uint32_t SD_W2k_DDInit(uint32_t* handle, uint32_t) { return *handle = 1, 0; }
EXPORT uint32_t SD_W2k_DDFini(uint32_t) { return 0; }
EXPORT uint32_t SD_W2k_DDIdentify(uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint16_t*, uint32_t*,
                                  uint8_t*, uint32_t*, uint8_t*, uint32_t*, uint32_t*, uint32_t) {
    return 0;
}
EXPORT uint32_t SD_W2k_DDSecureIdentify(uint32_t*, uint32_t) { return 0; }
EXPORT uint32_t SD_W2k_DDReadPT(void*, uint32_t, uint32_t, uint32_t) { return 0; }
EXPORT uint32_t SD_W2k_DDWritePT(const void*, uint32_t, uint32_t, uint32_t) { return 0; }
EXPORT uint32_t SD_W2k_DDChkSDCard(uint32_t, uint32_t* flags) { return *flags = 1, 0; }
#ifndef BROKEN_MISSING_LOCK
EXPORT uint32_t SD_W2k_DrvLock(uint32_t) { return 0; }
#endif
EXPORT uint32_t SD_W2k_DrvLock2(uint32_t) { return 0; }
EXPORT uint32_t SD_W2k_DrvUnlock(uint32_t) { return 0; }
