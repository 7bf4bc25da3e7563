// The gathered, in-flight write path of a card's device, over a writer that keeps requests on
// their way until asked: what reaches the "device", in which
// requests, and what a failing request does to the calls after it.
#include "drivers/write_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <vector>

namespace brc::sdhost {
namespace {

constexpr Host kNoRetries{"test", SDHOST_ERR_WRITE_PROTECT_R1, 0};
constexpr Host kTwoRetries{"test", SDHOST_ERR_WRITE_PROTECT_R1, 2};

struct Sent {
    uint64_t offset;
    size_t length;
    bool operator==(const Sent& o) const { return offset == o.offset && length == o.length; }
};

class FakeWriter final : public AsyncWriter {
public:
    explicit FakeWriter(size_t deviceBytes) : device(deviceBytes, 0) {}

    uint32_t start(WriteRequest& r) override {
        sent.push_back({r.offset, r.length});
        const size_t number = sent.size();
        if (number == refuseStart) return SDHOST_ERR_NO_CARD;
        onTheirWay.push_back({&r, number == failRequest ? failCode : SDHOST_OK});
        mostOnTheirWay = std::max(mostOnTheirWay, onTheirWay.size());
        return SDHOST_OK;
    }

    uint32_t wait(WriteRequest*& done) override {
        if (onTheirWay.empty() || gaveUp) {
            done = nullptr;
            gaveUp = true;
            return SDHOST_ERR_NO_CARD;
        }
        // In the order sent, as a device's queue gives them back, or newest first.
        const auto next = newestFirst ? onTheirWay.end() - 1 : onTheirWay.begin();
        auto [r, rc] = *next;
        onTheirWay.erase(next);
        if (rc == SDHOST_OK) std::memcpy(device.data() + r->offset, r->data, r->length);
        if (rc == SDHOST_ERR_IO && failRequest != 0 && ioFailuresLeft > 0 && --ioFailuresLeft > 0)
            failRequest = sent.size() + 1; // the next start (its retry) fails as well
        done = r;
        return rc;
    }
    bool holdsRequests() const override { return gaveUp && !onTheirWay.empty(); }
    bool zeroes() const override { return zeroing; }
    uint32_t zero(uint64_t offset, uint64_t length) override {
        zeroed.push_back({offset, static_cast<size_t>(length)});
        for (auto& [r, rc] : onTheirWay)
            EXPECT_FALSE(r->offset < offset + length && offset < r->offset + r->length)
                << "zeros sent over a request still on its way";
        std::fill_n(device.begin() + static_cast<std::ptrdiff_t>(offset), length, uint8_t{0});
        return SDHOST_OK;
    }

    std::vector<uint8_t> device;
    std::vector<Sent> sent;
    std::vector<std::pair<WriteRequest*, uint32_t>> onTheirWay;
    size_t mostOnTheirWay = 0;
    size_t failRequest = 0, refuseStart = 0;
    uint32_t failCode = SDHOST_ERR_IO;
    unsigned ioFailuresLeft = 1;
    bool gaveUp = false;
    bool newestFirst = false;
    bool zeroing = false;
    std::vector<Sent> zeroed;
};

std::vector<uint8_t> pattern(uint32_t count, uint8_t seed) {
    std::vector<uint8_t> v(count * kSectorSize);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(seed + i / kSectorSize);
    return v;
}

struct Write {
    uint32_t first, count;
};

struct MergeRow {
    const char* name;
    std::vector<Write> writes;
    std::vector<Sent> requests; // with 64 KiB requests (128 sectors)
};

TEST(WriteQueue, GathersConsecutiveWritesIntoRequestsThatNeverCrossTheirSize) {
    const std::vector<MergeRow> rows = {
        {"four 16 KiB writes in a row", {{0, 32}, {32, 32}, {64, 32}, {96, 32}}, {{0, 65536}}},
        {"a 96 KiB run: full request, then the rest at the barrier",
         {{0, 128}, {128, 64}}, {{0, 65536}, {65536, 32768}}},
        {"a gap starts a new request", {{0, 1}, {100, 1}}, {{0, 512}, {51200, 512}}},
        {"a run from the middle ends at the next 64 KiB",
         {{120, 16}}, {{61440, 4096}, {65536, 4096}}},
        {"a write back over an earlier sector is a request of its own",
         {{0, 8}, {8, 8}, {4, 1}}, {{0, 8192}, {2048, 512}}},
        {"256 sectors at once: two whole requests", {{256, 256}}, {{131072, 65536}, {196608, 65536}}},
    };
    for (const MergeRow& row : rows) {
        FakeWriter writer(1 << 20);
        WriteQueue queue(writer, kNoRetries, 65536, 4);
        for (const Write& w : row.writes) {
            const auto data = pattern(w.count, 1);
            ASSERT_EQ(queue.write(data.data(), w.count, w.first), SDHOST_OK) << row.name;
        }
        EXPECT_EQ(queue.settle(), SDHOST_OK) << row.name;
        EXPECT_EQ(writer.sent, row.requests) << row.name;
    }
}

TEST(WriteQueue, TheDeviceEndsAsWriteByWriteWouldLeaveItWithRequestsBackInAnyOrder) {
    std::mt19937 random(7u);
    const uint32_t sectors = 2048;
    FakeWriter writer(sectors * kSectorSize);
    writer.newestFirst = true; // the order on the card is the queue's business
    writer.zeroing = true;
    std::vector<uint8_t> expected(sectors * kSectorSize, 0);
    WriteQueue queue(writer, kNoRetries, 32768, 6);
    for (int i = 0; i < 400; ++i) {
        // Runs, and rewrites of what was just written, as a file system's writer makes them.
        const auto count = static_cast<uint32_t>(1 + random() % 80);
        const auto first = static_cast<uint32_t>(random() % (sectors - count));
        auto data = pattern(count, static_cast<uint8_t>(i));
        if (i % 3 == 0) std::fill(data.begin(), data.end(), uint8_t{0}); // runs of zeros too
        std::memcpy(expected.data() + first * kSectorSize, data.data(), data.size());
        ASSERT_EQ(queue.write(data.data(), count, first), SDHOST_OK);
        ASSERT_LE(writer.onTheirWay.size(), 6u);
        if (i % 97 == 0) {
            ASSERT_EQ(queue.settle(), SDHOST_OK);
        }
    }
    ASSERT_EQ(queue.settle(), SDHOST_OK);
    EXPECT_TRUE(writer.onTheirWay.empty());
    EXPECT_GT(writer.mostOnTheirWay, 1u); // several were on their way at once
    EXPECT_FALSE(writer.zeroed.empty());
    EXPECT_TRUE(writer.device == expected);
}

struct FailureRow {
    const char* name;
    size_t failRequest; // the request that comes back failed (1-based), or 0
    size_t refuseStart; // the request that cannot even be sent, or 0
    uint32_t code;
    bool atTheBarrier;  // seen only by settle(): every write was accepted
};

TEST(WriteQueue, TheFirstErrorIsTheNextCallsAndNothingBeyondTheWindowGoesOutAfterIt) {
    const std::vector<FailureRow> rows = {
        {"the first request", 1, 0, SDHOST_ERR_NO_CARD, false},
        {"a request in the middle", 9, 0, SDHOST_ERR_IO, false},
        {"a write-protected card", 5, 0, SDHOST_ERR_WRITE_PROTECT_R1, false},
        {"a request refused at sending", 0, 7, SDHOST_ERR_NO_CARD, false},
        {"the last request, seen at the barrier", 20, 0, SDHOST_ERR_IO, true},
    };
    constexpr size_t kInFlight = 4;
    for (const FailureRow& row : rows) {
        FakeWriter writer(1 << 22);
        writer.failRequest = row.failRequest;
        writer.failCode = row.code;
        writer.refuseStart = row.refuseStart;
        WriteQueue queue(writer, kNoRetries, 65536, kInFlight);
        const auto data = pattern(128, 3);
        uint32_t firstError = SDHOST_OK;
        int errorAt = -1;
        for (int i = 0; i < 20; ++i) {
            const uint32_t rc = queue.write(data.data(), 128, static_cast<uint32_t>(i) * 128);
            if (rc != SDHOST_OK && errorAt < 0) {
                firstError = rc;
                errorAt = i;
            }
            if (errorAt >= 0) {
                EXPECT_EQ(rc, firstError) << row.name << ": the error stays";
            }
        }
        const uint32_t settled = queue.settle();
        if (row.atTheBarrier) {
            EXPECT_EQ(errorAt, -1) << row.name;
            EXPECT_EQ(settled, row.code) << row.name;
        } else {
            EXPECT_EQ(firstError, row.code) << row.name;
            EXPECT_EQ(settled, row.code) << row.name;
        }
        const size_t failing = row.failRequest ? row.failRequest : row.refuseStart;
        ASSERT_GE(writer.sent.size(), failing) << row.name;
        EXPECT_LE(writer.sent.size() - failing, kInFlight - 1)
            << row.name << ": sent after the failing request";
        // Nothing more is accepted, and nothing more is sent.
        const size_t sentBefore = writer.sent.size();
        EXPECT_EQ(queue.write(data.data(), 1, 0), row.code) << row.name;
        EXPECT_EQ(queue.settle(), row.code) << row.name;
        EXPECT_EQ(writer.sent.size(), sentBefore) << row.name;
    }
}

TEST(WriteQueue, RunsOfZerosGoOutAsOneZeroingInTheirPlaceAmongTheWrites) {
    FakeWriter writer(1 << 22);
    writer.zeroing = true;
    WriteQueue queue(writer, kNoRetries, 65536, 4);
    const std::vector<uint8_t> zeros(1024 * kSectorSize, 0);
    const auto data = pattern(8, 1);
    ASSERT_EQ(queue.write(data.data(), 8, 0), SDHOST_OK);     // data, then
    ASSERT_EQ(queue.write(zeros.data(), 1000, 8), SDHOST_OK); // 500 KiB of zeros in a row,
    ASSERT_EQ(queue.write(zeros.data(), 24, 1008), SDHOST_OK);
    ASSERT_EQ(queue.write(data.data(), 8, 100), SDHOST_OK);   // data back over them,
    ASSERT_EQ(queue.write(zeros.data(), 4, 2000), SDHOST_OK); // and zeros after a gap
    ASSERT_EQ(queue.settle(), SDHOST_OK);
    // The first request's data is its first 4 KiB; its zeros after them, and the whole requests
    // of zeros up to the data written back (sector 1031), are one run, sent before that data.
    EXPECT_EQ(writer.zeroed, (std::vector<Sent>{{4096, 524288}, {1024000, 2048}}));
    EXPECT_EQ(writer.sent, (std::vector<Sent>{{0, 4096}, {51200, 4096}}));
    EXPECT_EQ(std::memcmp(writer.device.data() + 100 * kSectorSize, data.data(), data.size()), 0);
    EXPECT_EQ(writer.device[8 * kSectorSize], 0);
}

TEST(WriteQueue, ATransferErrorIsSentAgainAsTheHostAllowsAndACardGoneIsNot) {
    struct Row {
        const char* name;
        Host host;
        uint32_t code;
        unsigned failures; // how many times in a row the request fails
        uint32_t expected;
        size_t sends;
    };
    const std::vector<Row> rows = {
        {"no retries", kNoRetries, SDHOST_ERR_IO, 1, SDHOST_ERR_IO, 1},
        {"one failure, two retries", kTwoRetries, SDHOST_ERR_IO, 1, SDHOST_OK, 2},
        {"three failures, two retries", kTwoRetries, SDHOST_ERR_IO, 3, SDHOST_ERR_IO, 3},
        {"a card gone is not retried", kTwoRetries, SDHOST_ERR_NO_CARD, 1, SDHOST_ERR_NO_CARD, 1},
    };
    for (const Row& row : rows) {
        FakeWriter writer(1 << 20);
        writer.failRequest = 1;
        writer.failCode = row.code;
        writer.ioFailuresLeft = row.failures;
        WriteQueue queue(writer, row.host, 65536, 4);
        const auto data = pattern(8, 9);
        ASSERT_EQ(queue.write(data.data(), 8, 0), SDHOST_OK) << row.name;
        EXPECT_EQ(queue.settle(), row.expected) << row.name;
        EXPECT_EQ(writer.sent.size(), row.sends) << row.name;
        if (row.expected == SDHOST_OK) {
            EXPECT_EQ(std::memcmp(writer.device.data(), data.data(), data.size()), 0) << row.name;
        }
    }
}

TEST(WriteQueue, AWriterThatGivesNothingBackEndsTheWaitAndKeepsTheBuffers) {
    FakeWriter writer(1 << 20);
    std::vector<uint8_t*> held;
    {
        WriteQueue queue(writer, kNoRetries, 65536, 2);
        const auto data = pattern(128, 5);
        ASSERT_EQ(queue.write(data.data(), 128, 0), SDHOST_OK);
        writer.gaveUp = true; // the request never comes back
        EXPECT_EQ(queue.settle(), SDHOST_ERR_NO_CARD);
        EXPECT_EQ(queue.write(data.data(), 1, 0), SDHOST_ERR_NO_CARD);
        for (auto& [r, rc] : writer.onTheirWay) held.push_back(r->data);
    }
    // The queue left the held buffer alone (ASan would see a use after free otherwise); the
    // "system" lets go of it now.
    ASSERT_EQ(held.size(), 1u);
    held[0][0] = 1;
    ::operator delete(held[0], std::align_val_t{kRequestAlignment});
}

TEST(WriteQueue, RequestSizesArePowersOfTwoUpToTheDevicesLimitAndFourMiB) {
    EXPECT_EQ(requestBytesFor(0, 512), kLargestRequestBytes);
    EXPECT_EQ(requestBytesFor(1280 * 1024, 512), size_t{1} << 20);
    EXPECT_EQ(requestBytesFor(uint64_t{32} << 20, 512), kLargestRequestBytes);
    EXPECT_EQ(requestBytesFor(128 * 1024, 512), size_t{128} * 1024);
    EXPECT_EQ(requestBytesFor(256, 512), 512u);
}

} // namespace
} // namespace brc::sdhost
