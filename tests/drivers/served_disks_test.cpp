// The volume service's real cards on recorded answers, the whole way a client's request goes:
// the drive vetted through its letter (as a standard user's library vets it, without access to
// the data), the disk opened for its data, what opened judged on the vetted facts with its own
// answers over them, and the handle handed. The recorded system answers as Windows does: the
// letter's volume and the disk opened without access give the disk's names and geometry but no
// length; the disk opened for its data gives its length too, and nothing of where it lies, of
// Windows's disks or of its device ids (a judgement on those answers alone refused every card).
#include <gtest/gtest.h>

#include <map>

#include "device/sdhost_abi.h"
#include "drivers/volsvc/served_disks.h"
#include "drivers/volsvc/service_desk.h"

namespace brc::volsvc {
namespace {

using windisk::DiskFacts;
using windisk::Geometry;
using windisk::StorageDescriptor;

constexpr unsigned kC = 2, kE = 4;
constexpr uint64_t kCardBytes = 31914983424ull;

// One disk as the system answers for it.
struct RecordedDisk {
    StorageDescriptor descriptor;
    Geometry geometry;
    std::vector<std::string> ids; // the disk's and its controller's Plug and Play ids
    std::optional<uint32_t> adapterBus;
};

class RecordedSystem final : public windisk::DiskSystem {
public:
    std::map<uint32_t, RecordedDisk> disks;
    std::map<unsigned, uint32_t> letters; // drive index to disk number
    // What the disk answers when opened for its data, where it differs from `disks` (another
    // disk took the number after the drive was vetted).
    std::map<uint32_t, RecordedDisk> swapped;
    std::vector<std::string> opened; // paths opened for their data

    windisk::VolumeAnswers volume(unsigned index) override {
        const auto letter = letters.find(index);
        if (letter == letters.end()) return {};
        const RecordedDisk& d = disks.at(letter->second);
        return {"\\Device\\HarddiskVolume" + std::to_string(10 + index),
                windisk::DeviceNumber{windisk::kFileDeviceDisk, letter->second, 1},
                std::vector<uint32_t>{letter->second},
                {d.descriptor, d.geometry}};
    }
    std::optional<unsigned> windowsDrive() override { return kC; }
    void askDisk(uint32_t number, DiskFacts& facts) override {
        const auto it = disks.find(number);
        if (it == disks.end()) return;
        answer(it->second, facts);
        facts.deviceIds = it->second.ids;
    }
    // The disk's handle, opened for its data, asked of itself (sdhost::askDisk on a handle).
    bool openForData(const std::string& path, DiskFacts& answered, std::string& why) {
        opened.push_back(path);
        const uint32_t number = static_cast<uint32_t>(std::stoul(path.substr(17)));
        const RecordedDisk* d = swapped.count(number) ? &swapped.at(number)
                                : disks.count(number) ? &disks.at(number)
                                                      : nullptr;
        if (!d) {
            why = "cannot open " + path.substr(4) + " (error 2)";
            return false;
        }
        answer(*d, answered);
        answered.length = d->geometry.diskSize;
        return true;
    }

private:
    static void answer(const RecordedDisk& d, DiskFacts& facts) {
        facts.descriptor = d.descriptor;
        facts.geometry = d.geometry;
        facts.writable = windisk::Writability::Writable;
        facts.hotplugRemovable = d.descriptor.removable;
        facts.adapterBus = d.adapterBus;
    }
};

Geometry cardGeometry(uint64_t bytes = kCardBytes) {
    return Geometry{bytes / (255 * 63 * 512), windisk::kMediaRemovable, 255, 63, 512, bytes};
}

// The service's host over the recorded system, as the Windows host does it: vetServed for the
// drive, openServed for the disk; a handle value for each disk handed.
class RecordedServiceHost final : public CardHost {
public:
    RecordedSystem system;
    ServicePolicy policy;
    std::vector<LogEntry> logged;
    uint64_t handles = 0x200;

    windisk::Vetting vet(unsigned drive) override { return vetServed(system, drive, policy); }
    std::optional<uint64_t> hand(const Client&, const Request&, const DiskFacts& vetted,
                                 const windisk::DiskIdentity&, std::string& why) override {
        const windisk::Verdict v =
            openServed(vetted, policy, [&](const std::string& path, DiskFacts& a, std::string& e) {
                return system.openForData(path, a, e);
            });
        if (v.code != SDHOST_OK) {
            why = v.message;
            return std::nullopt;
        }
        return handles += 4;
    }
    bool giveBack(const Client&, const windisk::DiskIdentity&, uint64_t) override { return true; }
    void log(const LogEntry& e) override { logged.push_back(e); }
};

// Windows on disk 0 (C:); the disk under test on disk 3 (E:).
void withWindows(RecordedSystem& s) {
    s.disks[0] = {{windisk::BusSata, false, "ATA", "SSD 860", "S3Z9"},
                  Geometry{60801, 12, 255, 63, 512, 500107862016ull},
                  {"SCSI\\DiskATA_____SSD_860"},
                  windisk::BusSata};
    s.letters[kC] = 0;
}

const RecordedDisk kUsbReader{{windisk::BusUsb, true, "Generic-", "SD/MMC", "058F63666485"},
                              cardGeometry(),
                              {"USBSTOR\\", "USBSTOR\\DiskGeneric-SD/MMC___________1.00",
                               "USB\\VID_058F&PID_6366&REV_0100", "USB\\VID_058F&PID_6366"},
                              windisk::BusUsb};
const RecordedDisk kRealtekReader{{windisk::BusUsb, true, "Generic-", "SD/MMC CRW", "2012"},
                                  cardGeometry(),
                                  {"USBSTOR\\", "USB\\VID_0BDA&PID_0129&REV_3960"},
                                  windisk::BusUsb};
const RecordedDisk kSdSlot{{windisk::BusSd, true, "", "SD Memory Card", "0x1234abcd"},
                           cardGeometry(),
                           {"SD\\", "SD\\VID_03&OID_5344&PID_SL32G&REV_8.0"},
                           windisk::BusSd};
const RecordedDisk kUsbStick{{windisk::BusUsb, true, "SanDisk", "Cruzer Blade", "4C5300011"},
                             cardGeometry(),
                             {"USBSTOR\\", "USB\\VID_0781&PID_5567&REV_0100"},
                             windisk::BusUsb};
const RecordedDisk kUsbDisk{{windisk::BusUsb, false, "WD", "Elements 25A2", "575834"},
                            Geometry{121601, 12, 255, 63, 512, 1000170586112ull},
                            {"USBSTOR\\", "USB\\VID_1058&PID_25A2"},
                            windisk::BusUsb};

const Client user{7, 5150, "PC\\standard"};
const Request writeE{Kind::OpenCard, kE, kRead | kWrite, 5150, std::nullopt, std::nullopt};

struct Served {
    RecordedServiceHost host;
    ServiceDesk desk{host};
    Answer ask(const Request& q, const Client& c = user) {
        const std::vector<uint8_t> b = encodeRequest(q);
        const std::vector<uint8_t> out = desk.serve(c, b.data(), b.size());
        return parseAnswer(out.data(), out.size()).value_or(Answer{Refusal::Malformed, 0, {}, "?"});
    }
};

TEST(VolumeServiceRealCards, CardsAreServedAndOtherDisksRefusedOnTheirRecordedAnswers) {
    struct Case {
        const char* what;
        uint32_t number;
        RecordedDisk disk;
        std::vector<std::string> allowed; // the administrator's Readers
        Refusal refusal;
        const char* says;
    };
    const Case cases[] = {
        {"an SD slot", 3, kSdSlot, {}, Refusal::None, ""},
        {"a USB reader the library knows", 3, kRealtekReader, {}, Refusal::None, ""},
        {"a USB reader an administrator allowed", 3, kUsbReader, {"USB\\VID_058F&PID_6366"},
         Refusal::None, ""},
        {"allowed in other case", 3, kUsbReader, {"usb\\vid_058f&pid_6366"}, Refusal::None, ""},
        {"a USB reader nobody allowed", 3, kUsbReader, {}, Refusal::NotACard,
         "neither an SD slot nor a card reader"},
        {"a USB reader not on the list", 3, kUsbReader, {"USB\\VID_05E3&PID_0751"},
         Refusal::NotACard, "(Generic- SD/MMC)"},
        {"a USB stick calling its medium removable", 3, kUsbStick, {}, Refusal::NotACard,
         "USB sticks and disks are not served"},
        {"a USB disk", 3, kUsbDisk, {"USB\\VID_1058"}, Refusal::NotACard, "not removable"},
        {"the disk that holds Windows", 0, {}, {}, Refusal::NotACard, "holds Windows"},
    };
    for (const Case& c : cases) {
        Served s;
        withWindows(s.host.system);
        if (c.number != 0) s.host.system.disks[c.number] = c.disk;
        s.host.system.letters[kE] = c.number;
        s.host.policy.readers = c.allowed;
        const Answer a = s.ask(writeE);
        EXPECT_EQ(a.refusal, c.refusal) << c.what << ": " << a.message;
        EXPECT_NE(a.message.find(c.says), std::string::npos) << c.what << ": " << a.message;
        // A disk refused is never opened for its data; one served is, once, as its own number.
        const std::vector<std::string> opened =
            c.refusal == Refusal::None ? std::vector<std::string>{"\\\\.\\PhysicalDrive3"}
                                       : std::vector<std::string>{};
        EXPECT_EQ(s.host.system.opened, opened) << c.what;
        EXPECT_EQ(a.handle != 0, c.refusal == Refusal::None) << c.what;
        if (c.refusal == Refusal::None) {
            EXPECT_EQ(a.disk.number, 3u) << c.what;
            EXPECT_EQ(a.disk.bytes, kCardBytes) << c.what;
        }
    }
}

TEST(VolumeServiceRealCards, WhatOpensMustBeTheDiskTheLetterLedTo) {
    struct Case {
        const char* what;
        void (*change)(RecordedDisk&);
        const char* says;
    };
    const Case cases[] = {
        {"another card in the reader", [](RecordedDisk& d) { d.descriptor.serial = "OTHER"; },
         "another disk took its number"},
        {"a stick plugged in its place",
         [](RecordedDisk& d) {
             d.descriptor.vendor = "SanDisk";
             d.descriptor.product = "Cruzer Blade";
         },
         "the disk number leads elsewhere"},
        {"a card of another size", [](RecordedDisk& d) { d.geometry = cardGeometry(kCardBytes / 2); },
         "the disk number leads elsewhere"},
        {"a fixed disk", [](RecordedDisk& d) { d.descriptor.removable = false; },
         "is not removable"},
        {"the card pulled", [](RecordedDisk& d) { d.geometry.diskSize = 0; }, "holds no medium"},
    };
    for (const Case& c : cases) {
        Served s;
        withWindows(s.host.system);
        s.host.system.disks[3] = kSdSlot;
        s.host.system.letters[kE] = 3;
        RecordedDisk now = kSdSlot;
        c.change(now);
        s.host.system.swapped[3] = now;
        const Answer a = s.ask(writeE);
        EXPECT_EQ(a.refusal, Refusal::SystemFailed) << c.what << ": " << a.message;
        EXPECT_NE(a.message.find(c.says), std::string::npos) << c.what << ": " << a.message;
        EXPECT_EQ(a.handle, 0u) << c.what;
        EXPECT_EQ(s.desk.cardsHeld(), 0u) << c.what;
    }
}

TEST(VolumeServiceRealCards, AHeldCardIsReopenedOnItsFirstVettingAndJudgedAgain) {
    Served s;
    withWindows(s.host.system);
    s.host.system.disks[3] = kSdSlot;
    s.host.system.letters[kE] = 3;
    const Answer first = s.ask(writeE);
    ASSERT_EQ(first.refusal, Refusal::None) << first.message;
    // Held, the card's volumes are taken and its letter gone.
    s.host.system.letters.erase(kE);
    Request again = writeE;
    again.expected = first.disk;
    EXPECT_EQ(s.ask(again).refusal, Refusal::None);
    // Another card in the slot by the next reopening: refused, though the letter is gone.
    RecordedDisk other = kSdSlot;
    other.descriptor.serial = "0x99999999";
    s.host.system.swapped[3] = other;
    EXPECT_EQ(s.ask(again).refusal, Refusal::SystemFailed);
    EXPECT_EQ(s.host.system.opened.size(), 3u);
}

TEST(VolumeServicePolicy, TheAdministratorsReadersAreDeviceIds) {
    struct Case {
        const char* text;
        std::vector<std::string> readers;
        bool ok;
    };
    const Case cases[] = {
        {"", {}, true},
        {"USB\\VID_058F&PID_6366", {"USB\\VID_058F&PID_6366"}, true},
        {" USB\\VID_058F&PID_6366 ; PCI\\VEN_1217&DEV_8621;", {"USB\\VID_058F&PID_6366",
                                                             "PCI\\VEN_1217&DEV_8621"}, true},
        // Nothing that would match every disk, or a pattern the matching does not know.
        {"USB\\", {}, false},
        {"\\VID_058F", {}, false},
        {"VID_058F&PID_6366", {}, false},
        {"USB\\VID_058F*", {}, false},
        {"USB\\VID_058F;USB\\VID 0BDA", {}, false},
    };
    for (const Case& c : cases) {
        std::string error;
        const ServicePolicy p = parsePolicy(c.text, error);
        EXPECT_EQ(error.empty(), c.ok) << c.text << ": " << error;
        EXPECT_EQ(p.readers, c.readers) << c.text;
    }
}

// The service opens a card as LocalSystem: what the system's policies would refuse the user, the
// service refuses too.
TEST(VolumeServicePolicy, RemovableStorageAndFormatPoliciesAreTheClientsToo) {
    const StoragePolicy none, denyAll{true, false, false}, denyRead{false, true, false},
        denyWrite{false, false, true};
    const ClientRights plain{}, powerUser{false, true}, admin{true, false};
    const FormatPolicy undefined{}, admins{0}, powerUsers{1}, everyone{2}, unknown{7};
    struct Case {
        const char* what;
        StoragePolicy machine, mine;
        FormatPolicy format;
        ClientRights client;
        uint32_t access;
        const char* says; // empty: allowed
    };
    const Case cases[] = {
        {"no policy", none, none, undefined, plain, kRead | kWrite, ""},
        {"the machine denies writing", denyWrite, none, undefined, plain, kRead | kWrite,
         "writing removable disks is denied (this computer's"},
        {"... a read is still allowed", denyWrite, none, undefined, plain, kRead, ""},
        {"the user's own policy denies writing", none, denyWrite, undefined, plain, kRead | kWrite,
         "(the user's removable storage policy)"},
        {"reading denied", none, denyRead, undefined, plain, kRead, "reading removable disks"},
        {"all removable storage denied", denyAll, none, undefined, admin, kRead,
         "all removable storage is denied"},
        {"formatting left to administrators", none, none, admins, plain, kRead | kWrite,
         "lets only administrators format"},
        {"... a read is no format", none, none, admins, plain, kRead, ""},
        {"... and power users", none, none, powerUsers, powerUser, kRead | kWrite, ""},
        {"... a user who is neither", none, none, powerUsers, plain, kRead | kWrite,
         "administrators and power users"},
        {"interactive users may format", none, none, everyone, plain, kRead | kWrite, ""},
        {"a value the policy does not have", none, none, unknown, powerUser, kRead | kWrite,
         "lets only administrators format"},
        {"an administrator", none, none, admins, admin, kRead | kWrite, ""},
    };
    for (const Case& c : cases) {
        const std::string why = policyRefusal(c.machine, c.mine, c.format, c.client, c.access);
        if (*c.says == 0) {
            EXPECT_EQ(why, "") << c.what;
        } else {
            EXPECT_NE(why.find(c.says), std::string::npos) << c.what << ": " << why;
        }
    }
}

TEST(VolumeServiceDesk, OneUserHasAFewConnectionsAndAHolderIsNotTimedOut) {
    Served s;
    withWindows(s.host.system);
    s.host.system.disks[3] = kSdSlot;
    s.host.system.letters[kE] = 3;
    for (uint64_t id = 1; id <= kMaxConnectionsPerUser; ++id)
        EXPECT_TRUE(s.desk.connect({id, 100, "PC\\mallory"})) << id;
    EXPECT_FALSE(s.desk.connect({50, 100, "PC\\mallory"}));
    EXPECT_TRUE(s.desk.connect({51, 5150, user.user}));
    s.desk.letGo({1, 100, "PC\\mallory"});
    EXPECT_TRUE(s.desk.connect({52, 100, "PC\\mallory"}));

    // Silent for long, a connection holding a card keeps it while its process is watched.
    const Client holder{51, 5150, user.user};
    EXPECT_EQ(s.desk.idleLimitMs(holder, true), kIdleLimitMs);
    ASSERT_EQ(s.ask(writeE, holder).refusal, Refusal::None);
    EXPECT_EQ(s.desk.idleLimitMs(holder, true), std::nullopt);
    EXPECT_EQ(s.desk.idleLimitMs(holder, false), kIdleLimitMs);
    const Request release{Kind::ReleaseCard, kE, kRead, 5150, std::nullopt, std::nullopt};
    EXPECT_EQ(s.ask(release, holder).refusal, Refusal::None);
    EXPECT_EQ(s.desk.idleLimitMs(holder, true), kIdleLimitMs);
}

TEST(VolumeServiceDesk, AConnectionWritesToTheEventLogOnceAndIsDropped) {
    Served s;
    withWindows(s.host.system);
    s.host.system.letters[kE] = 0; // E: on Windows's own disk
    const Request systemDisk{Kind::OpenCard, kE, kRead | kWrite, 5150, std::nullopt, std::nullopt};
    for (int i = 0; i < 20; ++i) EXPECT_EQ(s.ask(systemDisk).refusal, Refusal::NotACard);
    ASSERT_EQ(s.host.logged.size(), 1u);
    EXPECT_NE(s.host.logged[0].text.find("PC\\standard (process 5150)"), std::string::npos);
    EXPECT_TRUE(s.desk.dropping(user));
    // A refusal that is not logged keeps the connection: a card another client holds.
    const Client holder{8, 6000, "PC\\other"}, waiting{9, 6001, "PC\\third"};
    s.host.system.disks[3] = kSdSlot;
    s.host.system.letters[kE] = 3;
    ASSERT_EQ(s.ask(systemDisk, holder).refusal, Refusal::None);
    EXPECT_EQ(s.ask(systemDisk, waiting).refusal, Refusal::Busy);
    EXPECT_FALSE(s.desk.dropping(waiting));
    EXPECT_EQ(s.host.logged.size(), 1u);
}

} // namespace
} // namespace brc::volsvc
