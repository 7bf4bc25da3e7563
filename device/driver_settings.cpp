#include "device/driver_settings.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/environment.h"

namespace brc {
namespace {

// Where this module reads: the handed context in a library, the own one in a front end.
BrcDriverContext* source = nullptr;
std::string reportedWithoutContext;

// The front end's context and the text its pointers lead to.
struct FrontEnd {
    BrcDriverContext context{};
    std::optional<std::string> cardMap, vetted, handed;

    FrontEnd() {
        context.version = BRC_DRIVER_CONTEXT_VERSION;
        context.size = sizeof(BrcDriverContext);
    }
    void point() {
        context.cardMap = cardMap ? cardMap->c_str() : nullptr;
        context.vetted = vetted ? vetted->c_str() : nullptr;
        context.handedDevices = handed ? handed->c_str() : nullptr;
    }
};

FrontEnd& frontEnd() {
    static FrontEnd own;
    source = &own.context;
    return own;
}

} // namespace

void readSettingsFrom(BrcDriverContext* context) { source = context; }

BrcDriverContext& frontEndContext() { return frontEnd().context; }

std::string cardMapSetting() {
    if (source && source->cardMap) return source->cardMap;
    return environmentVariable("BRINDLECARD_CARDS").value_or("");
}

std::string vettedSetting() { return source && source->vetted ? source->vetted : ""; }

std::optional<std::string> handedDevicesSetting() {
    if (source && source->handedDevices) return std::string(source->handedDevices);
    return environmentVariable("BRINDLECARD_DEVICE_FD");
}

void setCardMapSetting(std::optional<std::string> text) {
    FrontEnd& own = frontEnd();
    own.cardMap = std::move(text);
    own.point();
}

std::optional<std::string> ownCardMapSetting() { return frontEnd().cardMap; }

void setVettedSetting(std::optional<std::string> text) {
    FrontEnd& own = frontEnd();
    own.vetted = std::move(text);
    own.point();
}

void setHandedDevicesSetting(std::optional<std::string> text) {
    FrontEnd& own = frontEnd();
    own.handed = std::move(text);
    own.point();
}

bool isNewReport(const std::string& line) {
    if (!source) {
        if (reportedWithoutContext == line) return false;
        reportedWithoutContext = line;
        return true;
    }
    // A line too long for the block is kept cut, and so never taken for the one told last.
    char* last = source->lastReport;
    if (std::string_view(last) == line) return false;
    const size_t kept = std::min(line.size(), sizeof source->lastReport - 1);
    std::memcpy(last, line.data(), kept);
    last[kept] = '\0';
    return true;
}

} // namespace brc
