#include "cli/block_target.h"

#include <cstdio>

#include "app/format_report.h"

namespace brc::cli {

std::string describeCard(const blockdev::Device& d) {
    std::string model = d.vendor;
    if (!d.model.empty()) model += (model.empty() ? "" : " ") + d.model;
    std::string kind = blockdev::kindName(d.kind);
    if (!d.bus.empty() && d.bus != "MMC") kind += ", " + d.bus;
    char size[32];
    const double bytes = static_cast<double>(d.bytes);
    if (d.bytes >= (uint64_t{1} << 30)) std::snprintf(size, sizeof size, "%.1f GiB", bytes / (1 << 30));
    else std::snprintf(size, sizeof size, "%.1f MiB", bytes / (1 << 20));
    return d.path + ", " + (model.empty() ? "" : model + " ") + "(" + kind + "), " + grouped(d.bytes) +
           " bytes (" + size + ")";
}

} // namespace brc::cli
