#include "drivers/volsvc/served_disks.h"

#include <algorithm>

#include "device/sdhost_abi.h"
#include "drivers/volsvc/pipe_protocol.h"

namespace brc::volsvc {
namespace {

std::string trimmed(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

bool allowed(const windisk::DiskFacts& f, const ServicePolicy& policy) {
    for (const std::string& id : f.deviceIds)
        for (const std::string& prefix : policy.readers)
            if (windisk::startsWithNoCase(id, prefix.c_str())) return true;
    return false;
}

} // namespace

ServicePolicy parsePolicy(const std::string& readers, std::string& error) {
    ServicePolicy policy;
    error.clear();
    size_t at = 0;
    while (at <= readers.size()) {
        const size_t end = std::min(readers.find(';', at), readers.size());
        const std::string id = trimmed(readers.substr(at, end - at));
        at = end + 1;
        if (id.empty()) continue;
        const size_t slash = id.find('\\');
        const bool printable = std::all_of(id.begin(), id.end(), [](char c) {
            return c > 0x20 && c < 0x7F && c != '*' && c != '?';
        });
        if (slash == 0 || slash == std::string::npos || slash + 1 == id.size() || !printable) {
            error = "\"" + id + "\" is not a device id (such as USB\\VID_058F&PID_6366)";
            return {};
        }
        policy.readers.push_back(id);
    }
    return policy;
}

std::string notServed(const windisk::DiskFacts& f, const ServicePolicy& policy) {
    const auto slot = [](std::optional<uint32_t> bus) {
        return bus == windisk::BusSd || bus == windisk::BusMmc;
    };
    const std::optional<uint32_t> bus =
        f.descriptor ? std::optional<uint32_t>(f.descriptor->busType) : std::nullopt;
    if (slot(bus) || slot(f.adapterBus) || windisk::knownReader(f.deviceIds) || allowed(f, policy))
        return {};
    const std::string name =
        f.descriptor ? trimmed(f.descriptor->vendor + " " + f.descriptor->product) : "";
    return "(" +
           (name.empty() ? std::string("a ") + windisk::busName(bus.value_or(0)) + " disk" : name) +
           ") is neither an SD slot nor a card reader the volume service knows: USB sticks and "
           "disks are not served, and an administrator allows other readers by their ids";
}

std::string policyRefusal(const StoragePolicy& machine, const StoragePolicy& user,
                          const FormatPolicy& format, const ClientRights& client, uint32_t access) {
    const bool write = (access & kWrite) != 0;
    for (const auto& [policy, whose] :
         {std::pair{&machine, "this computer's"}, std::pair{&user, "the user's"}}) {
        const std::string said = std::string(" (") + whose + " removable storage policy)";
        if (policy->denyAll) return "all removable storage is denied" + said;
        if (policy->denyRead) return "reading removable disks is denied" + said;
        if (write && policy->denyWrite) return "writing removable disks is denied" + said;
    }
    if (write && format.allocateDasd && !client.administrator) {
        const int who = *format.allocateDasd;
        // Any value but the three the policy has is read as its strictest.
        if (who != 2 && !(who == 1 && client.powerUser))
            return std::string("this computer lets only administrators") +
                   (who == 1 ? " and power users" : "") + " format removable media";
    }
    return {};
}

windisk::Vetting vetServed(windisk::DiskSystem& system, unsigned drive,
                           const ServicePolicy& policy) {
    windisk::RunShelf none{};
    windisk::Vetting v = windisk::vetOpening(system, drive, windisk::DiskRuns(none));
    if (v.verdict.code != SDHOST_OK) return v;
    if (std::string why = notServed(v.facts, policy); !why.empty())
        v.verdict = {SDHOST_ERR_CONFIG, v.facts.drive + " " + why};
    return v;
}

windisk::Verdict openServed(const windisk::DiskFacts& vetted, const ServicePolicy& policy,
                            const DiskOpener& open) {
    if (!vetted.number) return {SDHOST_ERR_CONFIG, "no disk was vetted"};
    const std::string path = windisk::physicalDrivePath(*vetted.number);
    windisk::DiskFacts answered;
    std::string why;
    if (path.empty() || !open(path, answered, why))
        return {SDHOST_ERR_IO, why.empty() ? "cannot open " + path : why};
    const windisk::OpenedDisk opened = windisk::judgeOpened(vetted, answered);
    if (opened.verdict.code != SDHOST_OK) return opened.verdict;
    if (std::string no = notServed(opened.facts, policy); !no.empty())
        return {SDHOST_ERR_CONFIG, vetted.drive + " " + no};
    return {};
}

} // namespace brc::volsvc
