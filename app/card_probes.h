// The card probes the shell runs around a format: re-binding the driver library for a drive,
// and opening the card to run the label pre-check or the FAT32 repair with the volume held.
#pragma once

#include <cstdint>
#include <string>

#include "base/code_page.h"

namespace brc {

struct DriverBinding;
struct SystemState;
struct FormatPlan;

// What a probe works with: the bound library, the system and the OEM code page for labels.
struct ProbeContext {
    DriverBinding& driver;
    SystemState& sys;
    const CodePage& oem = cp437();
};

// Leaves route 2 bound whenever it can be: a route-2 library that cannot open the drive's
// volume is re-bound afresh, and route 1 is switched back. 0, or -1 with no library loaded.
int32_t rebindDriverLibrary(ProbeContext& ctx, const std::u16string& rootPath);

enum LabelOperation : uint32_t { LabelPreCheck = 1, Fat32Repair = 2 };

// Opens and checks the card, takes the volume, runs the operation (the layout and label
// pre-check, or the FAT32 repair after the system wrote the label), releases the volume and
// closes the card. Returns the operation's FormatResult, or the check that refused the card.
// `plan`, where given, gets the pre-check's layout (what a refused label is measured against).
int32_t runLabelOperation(ProbeContext& ctx, LabelOperation operation,
                          const std::u16string& rootPath, const std::u16string& label,
                          bool sizeAdjustment, FormatPlan* plan = nullptr);

} // namespace brc
