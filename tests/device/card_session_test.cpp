// The card session on every way out: what it gives back, and in which order, for each kind of
// system. The card is a fake bound as route 2; the system is scripted.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/format_types.h"
#include "device/card_session.h"
#include "tests/support/fake_os.h"
#include "tests/support/fake_card.h"
#include "tests/support/system_os.h"

namespace brc {
namespace {

constexpr uint32_t kDriveE = 5;
const std::u16string kRoot = u"E:\\";
using Calls = std::vector<std::string>;

// The session's steps a row runs; each answers the result the caller would return.
using Steps = std::function<int32_t(CardSession&, uint32_t& powerAbort)>;

int32_t openCheckTake(CardSession& s, bool dismount) {
    if (const int32_t opened = s.open()) return opened;
    if (const int32_t refused = s.check(kRoot)) return refused;
    return s.takeVolume(dismount);
}

struct SessionRow {
    const char* name;
    OsKind osKind;
    std::function<void(FakeOs&, test::FakeCard&)> script;
    Steps steps;
    int32_t result;
    Calls calls;  // the card's DDFini and the volume's calls, from the first check on
};

void PrintTo(const SessionRow& row, std::ostream* os) { *os << row.name; }

const Calls kRelease = {"volumeRequest Unlock", "closeVolume",          "openVolume E",
                        "volumeRequest Lock",   "volumeRequest Dismount", "volumeRequest Unlock",
                        "closeVolume",          "openVolume E",         "closeVolume"};
const Calls kTake = {"volumeInfo E:\\", "openVolume E", "volumeRequest Lock",
                     "volumeRequest Dismount"};

Calls join(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const SessionRow kRows[] = {
    // Nothing opened, nothing to give back; a refusal for lack of rights is told apart.
    {"OpenRefusedForLackOfRights", OsKindXp,
     [](FakeOs&, test::FakeCard& c) { c.fail(test::Op::Init, SDHOST_ERR_ACCESS); },
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, AccessDenied, {}},
    {"OpenFailsOtherwise", OsKindXp,
     [](FakeOs&, test::FakeCard& c) { c.fail(test::Op::Init, SDHOST_ERR_NO_CARD); },
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, Failed, {}},
    {"RefusedCardClosesOnlyTheCard", OsKindXp,
     [](FakeOs&, test::FakeCard& c) { c.fail(test::Op::Identify, SDHOST_ERR_NO_CARD); },
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, CardIdentifyFailed,
     {"DDFini"}},
    {"VolumeNotReadyOnXp", OsKindXp, [](FakeOs& os, test::FakeCard&) { os.volumes.clear(); },
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, CardNotReady,
     {"volumeInfo E:\\", "DDFini"}},
    {"VolumeWillNotOpen", OsKindXp, [](FakeOs& os, test::FakeCard&) { os.unopenable.insert(u'E'); },
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, Failed,
     {"volumeInfo E:\\", "openVolume E", "DDFini"}},
    {"SuspendDuringTheTakeClosesCardThenVolume", OsKindXp, nullptr,
     [](CardSession& s, uint32_t& power) -> int32_t {
         if (s.open() != Success || s.check(kRoot)) return Failed;
         power = 1;
         return s.takeVolume(true);
     },
     PowerInterrupted, {"volumeInfo E:\\", "openVolume E", "DDFini", "closeVolume"}},
    {"HeldVolumeIsReleasedBeforeTheCard", OsKindXp, nullptr,
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, Success,
     join(join(kTake, kRelease), {"DDFini"})},
    {"LabelTakeDoesNotDismount", OsKindXp, nullptr,
     [](CardSession& s, uint32_t&) { return openCheckTake(s, false); }, Success,
     join(join({"volumeInfo E:\\", "openVolume E", "volumeRequest Lock"}, kRelease),
          {"DDFini"})},
    {"CloseExitClosesCardThenVolume", OsKindXp, nullptr,
     [](CardSession& s, uint32_t&) {
         const int32_t r = openCheckTake(s, true);
         s.setVolumeExit(VolumeExit::Close);
         return r;
     },
     Success, join(kTake, {"DDFini", "closeVolume"})},
    {"ReleasedVolumeIsNotReleasedAgain", OsKindXp, nullptr,
     [](CardSession& s, uint32_t&) {
         const int32_t r = openCheckTake(s, true);
         s.releaseVolume();
         s.closeCard();
         return r;
     },
     Success, join(join(kTake, kRelease), {"DDFini"})},
    {"VistaTo8LeaveTheVolumeAlone", OsKindVistaTo8,
     [](FakeOs& os, test::FakeCard&) { os.unopenable.insert(u'E'); },
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, Success, {"DDFini"}},
    {"PosixLeavesTheVolumeAlone", OsKindPosix,
     [](FakeOs& os, test::FakeCard&) { os.unopenable.insert(u'E'); },
     [](CardSession& s, uint32_t&) { return openCheckTake(s, true); }, Success, {"DDFini"}},
};

class Session : public ::testing::TestWithParam<SessionRow> {};

TEST_P(Session, GivesBackWhatItHolds) {
    const SessionRow& row = GetParam();
    FakeOs os;
    os.volumes[kRoot] = VolumeInfo{};
    test::FakeCard card{4096};
    DriverBinding driver{test::systemOs()};
    card.install(driver, 2);
    card.logTo(os);
    if (row.script) row.script(os, card);
    SystemState sys(os);
    sys.osKind = row.osKind;
    uint32_t powerAbort = 0;
    int32_t result = 0;
    {
        CardSession session(driver, sys, kDriveE, &powerAbort);
        result = row.steps(session, powerAbort);
    }
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(os.callsStartingWith({"DDFini", "openVolume", "volumeRequest", "closeVolume",
                                    "volumeInfo"}),
              row.calls);
    EXPECT_EQ(card.balance().opened, card.balance().closed);
    EXPECT_EQ(card.balance().strays, 0u);
    EXPECT_EQ(sys.volumeHandle, nullptr);
    EXPECT_TRUE(os.allReleased());
}

INSTANTIATE_TEST_SUITE_P(Exits, Session, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace brc
