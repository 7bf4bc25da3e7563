// Whether a card is laid out the way the SD layout rules lay it out: reads its partition table,
// its file system's boot structures and what the format writes after them (a few hundred
// sectors at most, every field range-checked before use), computes the layouts the rules give
// for the card's capacity with and without size adjustment, and compares field by field. It
// only reads; a read the card refuses is reported as such ("could not read sector N"), never as
// what the sector holds.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/code_page.h"
#include "base/format_types.h"
#include "engine/layout.h"

namespace brc {

struct DriverBinding;

// Reads `count` sectors from `first` into `out`; false when they cannot be read. The check
// never asks for a sector past the user area.
using SectorReader = std::function<bool(uint32_t first, uint32_t count, uint8_t* out)>;

// The layout figures `plan` shows, as far as they are known. The same names serve the rules'
// layout and what a card holds: userSectors is the partition's end, boundaryUnit on a card the
// erase block its exFAT flash-parameters record gives.
struct LayoutFigures {
    std::optional<uint32_t> fsType;
    std::optional<uint64_t> userSectors, cardTotalSectors, heads, sectorsPerTrack,
        sectorsPerCluster, boundaryUnit, partitionStart, reservedSectors, fatSectors, systemSectors,
        maxCluster;
};
LayoutFigures figuresOf(const FormatPlan& plan);

// "FAT12", "FAT16", "FAT32", "exFAT", or "?".
const char* fsTypeName(uint32_t fsType);

// One field that differs from the rules: what they want, what the card has, and one sentence
// saying both and what it means for the card.
struct Deviation {
    std::string field;
    std::string expected;
    std::string found;
    std::string why;
};

enum class CheckVerdict {
    Conforms,     // no deviation
    Deviates,     // deviations lists each difference
    NoFileSystem, // no FAT or exFAT volume could be read; problem says why
    NoLayout,     // the rules give no layout for this capacity; problem says why
    Unreadable,   // the capacity, sector 0 or the boot sector could not be read; problem says why
};

// Which of the rules' two layouts the card was compared with.
enum class SizeAdjustmentMatch { Off, On, NoDifference };

struct CardCheck {
    CheckVerdict verdict = CheckVerdict::Unreadable;
    std::string problem;
    bool planKnown = false;
    FormatPlan plan; // the rules' layout the card follows most closely
    SizeAdjustmentMatch sizeAdjustment = SizeAdjustmentMatch::Off;
    LayoutFigures found;
    std::string label;   // the volume label the card holds, UTF-8; empty when it holds none
    uint32_t serial = 0; // the boot sector's volume serial; 0 when it holds none
    std::vector<Deviation> deviations;
};

// The check of a card of this capacity whose sectors `read` returns; FAT labels are decoded
// through `oem`.
CardCheck checkCard(const CardCapacity& capacity, const SectorReader& read,
                    const CodePage& oem = cp437());

// The check of the card open in `driver`: its capacity and sectors through the driver library,
// which is asked for nothing but reads.
CardCheck checkCard(DriverBinding& driver);

} // namespace brc
