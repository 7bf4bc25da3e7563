/* What a front end tells our driver libraries beyond the public operations, and what they tell
 * it back: one private export, BrcSetDriverContext, taking a versioned block the front end owns.
 * A library without the export (another vendor's) is used as before; a library that does not
 * know the block's version refuses it. Fixed-width fields, as in sdhost_abi.h. Nothing of it
 * goes through the process environment, so nothing outlives the front end's run. */
#ifndef BRINDLECARD_DRIVER_CONTEXT_H
#define BRINDLECARD_DRIVER_CONTEXT_H

#include <stdint.h>

#include "device/sdhost_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BRC_DRIVER_CONTEXT_EXPORT "BrcSetDriverContext"
#define BRC_DRIVER_CONTEXT_VERSION 2u

typedef struct BrcDriverContext {
    uint32_t version; /* BRC_DRIVER_CONTEXT_VERSION */
    uint32_t size;    /* sizeof(BrcDriverContext) */
    /* Non-zero once the run was told to stop (SIGTERM, Ctrl-C). A library waiting on a card
     * asks it a few times a second, on the thread that called it; it must not block. Null:
     * never told. */
    uint32_t(SDHOST_CALL* stopRequested)(void* user);
    void* user;
    /* Set by the library: after a stop a card gave nothing back for a while and was given up
     * on; the system may still be carrying out requests sent to it. */
    uint32_t cardAbandoned;
    /* The drive map the front end serves, in BRINDLECARD_CARDS's form ("E=/path;F=/dev/sdb");
     * null: the user's BRINDLECARD_CARDS as it is when read. */
    const char* cardMap;
    /* The identity the front end vetted behind one drive ("E=b:DEV:INO:RDEV" or "E=f:DEV:INO",
     * hexadecimal); only that very file or device is served there. Null: none. */
    const char* vetted;
    /* Descriptors the process holds for block devices, in BRINDLECARD_DEVICE_FD's form
     * ("FD:MAJOR:MINOR,..."); null: the user's BRINDLECARD_DEVICE_FD. */
    const char* handedDevices;
    /* The last line a library bound through this context told the user: when a route falls
     * back, the other library meets the same problem and must not say it twice. */
    char lastReport[512];
} BrcDriverContext;

/* Hands the library `context`, kept until another (or null) is handed; SDHOST_OK, or
 * SDHOST_ERR_PARAM for a version or size the library does not know (it then keeps none). */
typedef uint32_t(SDHOST_CALL* BrcDriverContext_t)(BrcDriverContext* context);

#ifdef __cplusplus
}
#endif

#endif
