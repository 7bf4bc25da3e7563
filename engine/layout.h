// Layout of a card in the SD manner: geometry, cluster size, boundary unit, file-system type,
// partition start, reserved area, FAT size; and the volume label's forms and checks.
#pragma once

#include <cstdint>
#include <string>

#include "base/code_page.h"
#include "base/format_types.h"

namespace brc {

struct DriverBinding;

// A user area in this band (around 2 GiB) is refused.
constexpr uint32_t kRefusedBandFirst = 4153345;
constexpr uint32_t kRefusedBandLast = 4211711;
constexpr uint32_t kExFatThreshold = 67108864; // 2^26 sectors

// DDIdentify + DDSecureIdentify. Returns 0, 1 (no library bound) or a driver result.
uint32_t readCardCapacity(DriverBinding& driver, CardCapacity& capacity);

// From a capacity: the refused band, the total, CHS geometry and size adjustment.
// Returns 0 or 1 (capacity refused).
uint32_t computeCapacity(const CardCapacity& capacity, uint32_t& userSectors,
                         FormatParameters& params, bool sizeAdjustment);

// Geometry for a total (heads, sectorsPerTrack) and the cluster-size / boundary-unit tables.
void chooseGeometry(uint64_t cardTotalSectors, FormatParameters& params);
void chooseClusterAndBoundary(uint64_t cardTotalSectors, FormatParameters& params);

uint32_t alignedSystemEnd(uint32_t lead, uint32_t reserved, uint32_t fatSectors, FsType type,
                          const FormatParameters& params);

// Sets fsType, maxCluster, fatSectors, systemSectors, reservedSectors, partitionStart; may lower
// userSectors. Returns 0, or 1 when no valid layout exists.
uint32_t computeLayout(uint32_t& userSectors, FormatParameters& params);

// The nine chunk fields, and for exFAT the bitmap, up-case and root-directory fields.
void fillChunkFields(FormatParameters& params);
void fillExFatFields(FormatParameters& params);

VolumeLabelForms makeLabelForms(const std::u16string& label, const CodePage& oem = cp437());
void clearLabelForms(VolumeLabelForms& forms);
uint32_t checkFatLabel(const VolumeLabelForms& forms);
uint32_t checkExFatLabel(const VolumeLabelForms& forms);

// How far a pre-check got, for callers that show the layout.
struct FormatPlan {
    FormatParameters params{};
    uint32_t userSectors = 0;
    bool capacityKnown = false;  // userSectors, cardTotalSectors and geometry were computed
    bool tablesChosen = false;   // sectorsPerCluster and boundaryUnit were computed
    bool layoutDone = false;     // computeLayout succeeded; labelBits was computed
    uint32_t labelBits = 0;
};

// The layout for a capacity and a label; no card access. Returns 0, 1 or 5 (label rejected;
// the layout is still complete).
uint32_t planFormat(const CardCapacity& capacity, const std::u16string& label,
                    bool sizeAdjustment, FormatPlan* plan = nullptr, const CodePage& oem = cp437());

// The pre-check: reads the card's capacity, then plans; writes nothing. Returns 0, 1, 5 or a
// driver result.
uint32_t planFormat(DriverBinding& driver, const std::u16string& label, bool sizeAdjustment,
                    FormatPlan* plan = nullptr, const CodePage& oem = cp437());

// planFormat mapped to the format path's results.
int32_t checkFormatPlan(const std::u16string& label, bool sizeAdjustment, DriverBinding& driver,
                        FormatPlan* plan = nullptr, const CodePage& oem = cp437());

} // namespace brc
