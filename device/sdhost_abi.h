/* The SD host driver library's binary interface, shared by the libraries in drivers/ and by the
 * run-time binding in device/. Every argument and result has a fixed width; results are 0 on
 * success. Card operations take the handle from DDInit last. Sectors are 512 bytes, numbered
 * from the card's first sector. */
#ifndef BRINDLECARD_SDHOST_ABI_H
#define BRINDLECARD_SDHOST_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define SDHOST_CALL __stdcall
#else
#define SDHOST_CALL
#endif

/* Flags OR-ed into the drive number given to DDInit. */
#define SDHOST_INIT_PROBE 0x8000u  /* drive-information probe */
#define SDHOST_INIT_ROUTE2 0x1000u /* ordinary open on the second route */
#define SDHOST_DRIVE_MASK 0x00FFu

/* DDChkSDCard flag bits. */
#define SDHOST_CHK_QUALIFIES 0x1u /* a card the tool may list */
#define SDHOST_CHK_REFUSED 0x2u   /* format refused: the write-protect switch is on */

#define SDHOST_MAX_TRANSFER 256u /* sectors per DDReadPT / DDWritePT call */

/* Result codes of our libraries. The two write-protect codes and the out-of-memory code are the
 * ones callers test for; the rest are ours. */
#define SDHOST_OK 0u
#define SDHOST_ERR_NOT_READY 0x0101u /* DDSysInit not called, or library shut down */
#define SDHOST_ERR_PARAM 0x0102u     /* bad argument: null pointer, count 0 or over 256 */
#define SDHOST_ERR_NO_CARD 0x0103u   /* no card behind the drive, or the card went away */
#define SDHOST_ERR_RANGE 0x0104u     /* sectors past the user area */
#define SDHOST_ERR_IO 0x0105u        /* the backing image or device failed */
#define SDHOST_ERR_CONFIG 0x0106u    /* BRINDLECARD_CARDS or the card's sidecar is malformed */
#define SDHOST_ERR_NO_ERASE 0x0107u  /* the card does not support erase */
#define SDHOST_ERR_HANDLE 0x0108u    /* unknown handle */
#define SDHOST_ERR_TOO_MANY 0x0109u  /* too many cards open at once */
#define SDHOST_ERR_BUSY 0x010Au      /* the device is mounted or held open by another program */
#define SDHOST_ERR_ACCESS 0x010Bu    /* the system refused the device: the user lacks the rights */
#define SDHOST_VOLUME_NOT_BACK 0x010Cu      /* DDHoldVolumes: the card's volume did not come back */
#define SDHOST_ERR_OUT_OF_MEMORY 0x0600u    /* route 2's out-of-memory code (1536) */
#define SDHOST_ERR_WRITE_PROTECT_R2 0x0607u /* route 2 write protected (1543) */
#define SDHOST_ERR_WRITE_PROTECT_R1 0x1005u /* route 1 write protected (4101) */

typedef uint32_t(SDHOST_CALL* DDSysInit_t)(void);
typedef uint32_t(SDHOST_CALL* DDSysFini_t)(void);
typedef uint32_t(SDHOST_CALL* DDInit_t)(uint32_t* handle, uint32_t drive);
typedef uint32_t(SDHOST_CALL* DDFini_t)(uint32_t handle);
/* Outputs: 1 user-area sectors, 2 cylinders, 3 total sectors incl. protected area (low 32 bits),
 * 4 heads, 5 bytes per sector, 6 sectors per track, 7 card type (0 SDSC, 1 SDHC, 2 SDXC),
 * 8 protected-area sectors, 9 bus width in bits, 10 erase-block sectors, 11 reserved (0). */
typedef uint32_t(SDHOST_CALL* DDIdentify_t)(uint32_t* userSectors, uint32_t* cylinders,
                                            uint32_t* totalSectors, uint32_t* heads,
                                            uint16_t* bytesPerSector, uint32_t* sectorsPerTrack,
                                            uint8_t* cardType, uint32_t* protectedSectors,
                                            uint8_t* busWidth, uint32_t* eraseBlockSectors,
                                            uint32_t* reserved, uint32_t handle);
typedef uint32_t(SDHOST_CALL* DDSecureIdentify_t)(uint32_t* protectedSectors, uint32_t handle);
typedef uint32_t(SDHOST_CALL* DDReadPT_t)(void* buffer, uint32_t count, uint32_t firstSector,
                                          uint32_t handle);
typedef uint32_t(SDHOST_CALL* DDWritePT_t)(const void* buffer, uint32_t count, uint32_t firstSector,
                                           uint32_t handle);
typedef uint32_t(SDHOST_CALL* DDGetMID_t)(uint8_t mid[8], uint32_t zero, uint32_t handle);
typedef uint32_t(SDHOST_CALL* DDChkSDCard_t)(uint32_t drive, uint32_t* flags);
typedef uint32_t(SDHOST_CALL* DDErase_t)(uint32_t firstSector, uint32_t lastSector,
                                         uint32_t handle);
typedef uint32_t(SDHOST_CALL* DrvLock_t)(uint32_t drive);
/* Our libraries' own, plain on both routes: a format run's hold on a drive, from its first
 * opening of the card (on != 0) until just after its last closing (on == 0). In between, every
 * opening must reach the disk the run began on, and a closing keeps the card's volumes locked. */
#define SDHOST_HOLD_VOLUMES_EXPORT "DDHoldVolumes"
typedef uint32_t(SDHOST_CALL* DDHoldVolumes_t)(uint32_t drive, uint32_t on);

#ifdef __cplusplus
}
#endif

#endif
