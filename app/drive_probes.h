// What the main dialog asks of a drive before it offers a format: does it hold a card the
// driver library accepts, how large is the card, and can it be flash-erased; and how a size is
// shown to the user (value, unit, picture).
#pragma once

#include <cstdint>
#include <string>

#include "app/card_probes.h"
#include "base/format_types.h"
#include "res/resource_ids.h"

namespace brc {

// 1 the drive holds a card the library accepts, 0 it does not, -1 no usable library.
int32_t probeSdDrive(ProbeContext& ctx, const std::u16string& rootPath);
// 1 when the drive is removable and probeSdDrive accepts it.
uint32_t isFormattableDrive(ProbeContext& ctx, const std::u16string& rootPath);
// 1 with the card's user sectors (route 1: partition entry 1's size when sector 0 holds a
// valid partition table) and bytes per sector; 0 when the card cannot be read.
uint32_t readCardGeometry(ProbeContext& ctx, const std::u16string& rootPath, uint32_t& userSectors,
                          uint16_t& bytesPerSector);
// 1 when the card answers through route 1 (its manufacturer id can be read), else 0.
uint32_t probeEraseSupport(ProbeContext& ctx, const std::u16string& rootPath);

// The size of partition entry 1 when `sector` is a partition table whose entries are sound.
bool partitionOneSectors(const uint8_t* sector, uint32_t& sectors);

// The capacity as the main dialog shows it.
struct CapacityText {
    std::u16string value; // "29.7"; empty when `unknown`
    std::u16string unit;  // "GB"; three blanks when `unknown`
    bool unknown = false; // the reserved all-ones size: the value is message 253
};
CapacityText capacityText(uint64_t sizeBytes);

// Card picture controls of the main dialog.
enum CardPicture : int {
    PictureNoDrive = IDC_PICTURE_NO_DRIVE,
    PictureUnusable = IDC_PICTURE_UNUSABLE,
    PictureSd = IDC_PICTURE_SD,
    PictureSdhc = IDC_PICTURE_SDHC,
    PictureSdxc = IDC_PICTURE_SDXC,
};
// The picture for a usable card of this size.
CardPicture pictureForSize(uint64_t sizeBytes);
// Whether a card of this geometry can be formatted at all (up to 2 TiB; a card of no sectors
// with 2048-byte sectors is not).
bool isUsableCard(uint32_t userSectors, uint16_t bytesPerSector);

// The options summary (IDC_OPTIONS_SUMMARY) for a format type and size adjustment.
uint32_t optionsSummaryId(FormatType type, bool sizeAdjustment);
// The type a drive without flash erase falls back to.
FormatType withoutErase(FormatType type);

} // namespace brc
