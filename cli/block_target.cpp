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

namespace brc::cli {

std::string listRefusal(const std::vector<blockdev::SystemView>& views, const blockdev::Device& d,
                        bool allowLoop) {
    std::string reason = blockdev::refusal(d, allowLoop);
    for (size_t i = 1; i < views.size() && reason.empty(); ++i) {
        const auto other = blockdev::describe(views[i], d.name);
        reason = other ? blockdev::refusal(*other, allowLoop) : d.path + " is unknown to the test view";
    }
    return reason;
}

bool unlisted(const blockdev::Device& d) {
    return (d.kind == blockdev::Kind::Loop || d.kind == blockdev::Kind::Virtual) && d.bytes == 0;
}

std::vector<blockdev::Device> offeredCards(bool allowLoop) {
    const std::vector<blockdev::SystemView> views = blockdev::systemViews();
    std::vector<blockdev::Device> cards;
    for (blockdev::Device& d : blockdev::listDisks(views.front()))
        if (!unlisted(d) && listRefusal(views, d, allowLoop).empty()) cards.push_back(std::move(d));
    return cards;
}

} // namespace brc::cli
