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

// readCardCapacity's answer when no library is bound. It shares the driver's number space, so a
// caller that shows or maps the code treats it as one more failed driver call.
constexpr uint32_t kNoDriverBound = 1;

// DDIdentify + DDSecureIdentify. Returns 0, kNoDriverBound or the failing call's driver result.
uint32_t readCardCapacity(DriverBinding& driver, CardCapacity& capacity);

// The layout's own answers. Their numbers are those the pre-check has always returned, which
// the format path maps (a refusal becomes Failed, a rejected label InvalidLabel).
enum CapacityResult : uint32_t { CapacityAccepted = 0, CapacityRefused = 1 };
enum LayoutResult : uint32_t { LayoutDone = 0, NoValidLayout = 1 };
enum PlanResult : uint32_t { Planned = 0, NoLayout = 1, LabelRejected = 5 };

// From a capacity: the refused band, the total, CHS geometry and size adjustment.
CapacityResult computeCapacity(const CardCapacity& capacity, uint32_t& userSectors,
                               FormatParameters& params, bool sizeAdjustment);

// Geometry for a total (heads, sectorsPerTrack) and the cluster-size / boundary-unit tables.
void chooseGeometry(uint64_t cardTotalSectors, FormatParameters& params);
void chooseClusterAndBoundary(uint64_t cardTotalSectors, FormatParameters& params);

uint32_t alignedSystemEnd(uint32_t lead, uint32_t reserved, uint32_t fatSectors, FsType type,
                          const FormatParameters& params);

// Sets fsType, maxCluster, fatSectors, systemSectors, reservedSectors, partitionStart; may lower
// userSectors.
LayoutResult computeLayout(uint32_t& userSectors, FormatParameters& params);

// The nine chunk fields, and for exFAT the bitmap, up-case and root-directory fields.
void fillChunkFields(FormatParameters& params);
void fillExFatFields(FormatParameters& params);

VolumeLabelForms makeLabelForms(const std::u16string& label, const CodePage& oem = cp437());
void clearLabelForms(VolumeLabelForms& forms);
// The label checks' bits (0: the label suits the type).
constexpr uint32_t kLabelForbiddenChar = 1;
constexpr uint32_t kLabelControlChar = 2;
constexpr uint32_t kLabelTooLong = 4;
uint32_t checkFatLabel(const VolumeLabelForms& forms);
uint32_t checkExFatLabel(const VolumeLabelForms& forms);

// How far a pre-check got, for callers that show the layout, and the layout a format run hands
// to its passes.
struct FormatPlan {
    FormatParameters params{};
    uint32_t userSectors = 0;
    CardCapacity capacity{};     // what the card answered when it was planned
    bool sizeAdjustment = false; // the choice it was planned with
    bool capacityKnown = false;  // userSectors, cardTotalSectors and geometry were computed
    bool tablesChosen = false;   // sectorsPerCluster and boundaryUnit were computed
    bool layoutDone = false;     // computeLayout succeeded; labelBits was computed
    uint32_t labelBits = 0;
};

// The layout for a capacity and a label; no card access. A rejected label still leaves the
// layout complete.
PlanResult planFormat(const CardCapacity& capacity, const std::u16string& label,
                      bool sizeAdjustment, FormatPlan* plan = nullptr,
                      const CodePage& oem = cp437());

// The pre-check: reads the card's capacity, then plans; writes nothing. Returns a PlanResult, or
// readCardCapacity's non-zero answer (which may take the same numbers).
uint32_t planFormat(DriverBinding& driver, const std::u16string& label, bool sizeAdjustment,
                    FormatPlan* plan = nullptr, const CodePage& oem = cp437());

// planFormat mapped to the format path's results.
FormatResult checkFormatPlan(const std::u16string& label, bool sizeAdjustment,
                             DriverBinding& driver, FormatPlan* plan = nullptr,
                             const CodePage& oem = cp437());

// A failed step's code as the format path reports it: route 2's out-of-memory code as
// OutOfMemory, a code equal to WriteProtected or OutOfMemory as that result (our own codes and
// the driver's share the numbers), anything else as Failed.
FormatResult failedStepResult(const DriverBinding& driver, uint32_t code);

} // namespace brc
