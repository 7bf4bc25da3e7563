#include "cli/block_target.h"

#include <algorithm>
#include <cerrno>
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
    if (d.bytes >= (uint64_t{1} << 30))
        std::snprintf(size, sizeof size, "%.1f GiB", bytes / (1 << 30));
    else std::snprintf(size, sizeof size, "%.1f MiB", bytes / (1 << 20));
    return d.path + ", " + (model.empty() ? "" : model + " ") + "(" + kind + "), " +
           grouped(d.bytes) + " bytes (" + size + ")";
}

} // namespace brc::cli

namespace brc::cli {

std::string listRefusal(const std::vector<blockdev::SystemView>& views, const blockdev::Device& d,
                        bool allowLoop) {
    std::string reason = blockdev::refusal(d, allowLoop);
    for (size_t i = 1; i < views.size() && reason.empty(); ++i) {
        const auto other = blockdev::describe(views[i], d.name);
        reason =
            other ? blockdev::refusal(*other, allowLoop) : d.path + " is unknown to the test view";
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

std::optional<blockdev::Medium> cardMedium(const std::string& path) {
    return blockdev::mediumOf(blockdev::systemViews().front().sysfs, path);
}

namespace {

// Where another loop device over a card's medium is used: its mount points, or that a program
// holds it exclusively; empty when it is only attached.
std::string loopUse(const std::string& loop) {
    std::string error;
    const std::vector<blockdev::SystemView> views = blockdev::systemViews();
    const std::string name = blockdev::nameOfDevicePath(views.front().sysfs, loop, error);
    if (const std::optional<blockdev::Device> d =
            name.empty() ? std::nullopt : blockdev::describe(views.front(), name);
        d && !d->mounts.empty())
        return loop + " is mounted at " + d->mounts.front().mountPoint;
    return exclusiveOpenError(loop) == EBUSY ? loop + " is held by another program" : std::string();
}

} // namespace

std::string loopUseRefusal(const std::string& path, const std::string& shown, bool blockDevice) {
    std::vector<std::string> loops;
    for (const blockdev::SystemView& view : blockdev::systemViews())
        for (std::string& loop : blockdev::loopsOnMedium(view.sysfs, path))
            if (std::find(loops.begin(), loops.end(), loop) == loops.end())
                loops.push_back(std::move(loop));
    // An image behind a loop device is that device's to write; a device whose medium another
    // loop device also reaches, only while nothing uses that one.
    for (const std::string& loop : loops) {
        if (!blockDevice)
            return shown + " is in use: " + loop +
                   " is attached to it; detach it first (losetup -d " + loop + ")";
        if (const std::string use = loopUse(loop); !use.empty())
            return shown + " is in use: " + use + ", over the same medium; close that first";
    }
    return {};
}

} // namespace brc::cli
