// The device layer's plain logic: the filter, the packet pool, report layout, time-outs, the
// counted handle and the token table.

#include <gmock/gmock.h>

#include <cstdint>

#include "wirelet/device/counted_ptr.h"
#include "wirelet/device/device_filter.h"
#include "wirelet/device/packet_pool.h"
#include "wirelet/device/report_layout.h"
#include "wirelet/device/token.h"

namespace {

TEST(DeviceFilter, AcceptsExactlyTheTableRanges) {
    for (unsigned product = 0; product <= 0xFFFF; ++product) {
        auto p = static_cast<unsigned short>(product);
        EXPECT_EQ(IsAcceptedVendorProduct(0xE47A, p), (product >= 1 && product <= 0x1F4) || product == 0x7A21)
            << product;
        EXPECT_EQ(IsAcceptedVendorProduct(0xF3C5, p), product >= 0x5E40 && product <= 0x5E43) << product;
    }
    EXPECT_FALSE(IsAcceptedVendorProduct(0x0000, 0x0001));
    EXPECT_FALSE(IsAcceptedVendorProduct(0xE47B, 0x0001));
    EXPECT_FALSE(IsAcceptedVendorProduct(0xF3C4, 0x5E40));
}

TEST(ReportLayout, OutputGetsAZeroIdInFrontAndInputLosesItsFirstByte) {
    const unsigned char packet[4] = {1, 2, 3, 4};
    unsigned char report[5] = {9, 9, 9, 9, 9};
    ComposeOutputReport(packet, 5, report);
    EXPECT_THAT(report, ::testing::ElementsAre(0, 1, 2, 3, 4));

    const unsigned char input[4] = {7, 8, 9, 10};
    unsigned char out[4] = {0, 0, 0, 0xEE};
    ExtractInputPacket(input, 4, out);
    EXPECT_THAT(out, ::testing::ElementsAre(8, 9, 10, 0xEE));
    EXPECT_EQ(PacketSizeOf(65), 64);
}

TEST(ReportLayout, UsableInputLengthsAndTimeOuts) {
    EXPECT_TRUE(IsUsableInputReportLength(65));
    EXPECT_FALSE(IsUsableInputReportLength(66));
    EXPECT_TRUE(IsUsableInputReportLength(2));
    EXPECT_FALSE(IsUsableInputReportLength(1));  // no room for a packet byte
    EXPECT_FALSE(IsUsableInputReportLength(0));

    EXPECT_EQ(TransactionTimeout(0, 0), 2000u);
    EXPECT_EQ(TransactionTimeout(0, 3), 2300u);
    EXPECT_EQ(TransactionTimeout(150, 3), 150u);
    EXPECT_EQ(TransactionTimeout(-1, 3), 0xFFFFFFFFu);  // INFINITE
}

TEST(PacketPool, BuffersMoveBetweenTheListsInOrderWithoutAllocating) {
    CPacketPool pool;
    pool.Fill(3, 8);
    EXPECT_EQ(pool.GetFreeCount(), 3u);
    EXPECT_EQ(pool.GetQueuedCount(), 0u);
    CPacketPool::SBuffer* first = pool.FreeHead();
    ASSERT_NE(first, nullptr);
    first->data[0] = 1;
    EXPECT_EQ(pool.QueueFreeHead(), 1u);
    CPacketPool::SBuffer* second = pool.FreeHead();
    second->data[0] = 2;
    EXPECT_EQ(pool.QueueFreeHead(), 2u);
    pool.FreeHead()->data[0] = 3;
    EXPECT_EQ(pool.QueueFreeHead(), 3u);
    EXPECT_EQ(pool.FreeHead(), nullptr) << "every buffer queued";

    EXPECT_EQ(pool.OldestQueued(), first);
    pool.FreeOldestQueued();
    EXPECT_EQ(pool.OldestQueued(), second);
    EXPECT_EQ(pool.FreeHead(), first) << "a freed buffer goes to the end of the free list";
    EXPECT_EQ(pool.FreeAllQueued(), 2u);
    EXPECT_EQ(pool.GetFreeCount(), 3u);
    EXPECT_EQ(pool.FreeHead(), first);
    EXPECT_EQ(pool.FreeAllQueued(), 0u);

    // Every buffer has its own storage of the given size.
    for (int i = 0; i < 3; ++i) {
        CPacketPool::SBuffer* buffer = pool.FreeHead();
        std::fill(buffer->data, buffer->data + 8, static_cast<unsigned char>(i + 1));
        pool.QueueFreeHead();
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_THAT(std::vector<unsigned char>(pool.OldestQueued()->data, pool.OldestQueued()->data + 8),
                    ::testing::Each(static_cast<unsigned char>(i + 1)));
        pool.FreeOldestQueued();
    }
}

struct SCounted {
    explicit SCounted(int* deaths) : deaths(deaths) {}
    virtual ~SCounted() { ++*deaths; }
    int* deaths;
};

TEST(CountedPtr, DeletesTheObjectWithTheLastReference) {
    int deaths = 0;
    CCountedPtr<SCounted> first(new SCounted(&deaths));
    EXPECT_EQ(first.GetRefCount(), 1);
    {
        CCountedPtr<SCounted> copy = first;
        EXPECT_EQ(first.GetRefCount(), 2);
        CCountedPtr<SCounted> other(new SCounted(&deaths));
        other = copy;  // releases other's object
        EXPECT_EQ(deaths, 1);
        EXPECT_EQ(first.GetRefCount(), 3);
        other = other;
        EXPECT_EQ(first.GetRefCount(), 3);
    }
    EXPECT_EQ(first.GetRefCount(), 1);
    EXPECT_EQ(deaths, 1);
    first.Release();
    EXPECT_EQ(deaths, 2);
    EXPECT_EQ(first.Get(), nullptr);
    first.Release();  // a null handle releases nothing

    CCountedPtr<SCounted> empty(nullptr);  // a block holding no object, as Find returns
    EXPECT_EQ(empty.Get(), nullptr);
    EXPECT_EQ(empty.GetRefCount(), 1);
    CCountedPtr<SCounted> moved(std::move(empty));
    EXPECT_EQ(moved.GetRefCount(), 1);
    EXPECT_EQ(empty.GetRefCount(), 0);
}

// The table never looks at a channel, so made-up addresses stand for channels; on 64-bit ones
// above 4 GiB that share their low 32 bits, which an address cut to an int could not tell apart.
CWirelet* FakeChannel(std::uint64_t address) {
    return reinterpret_cast<CWirelet*>(static_cast<std::uintptr_t>(address));
}

TEST(TokenTable, TokensAreNonzeroUniqueAndNeverHandedOutTwice) {
    const bool wide = sizeof(void*) == 8;
    CWirelet* a = FakeChannel(wide ? 0x100001000ull : 0x1000);
    CWirelet* b = FakeChannel(wide ? 0x200001000ull : 0x2000);
    CWirelet* c = FakeChannel(0x3000);
    CTokenTable table;
    const TWireletToken ta = table.Issue(a);
    const TWireletToken tb = table.Issue(b);
    EXPECT_NE(ta, 0);
    EXPECT_NE(tb, 0);
    EXPECT_NE(ta, tb);
    EXPECT_EQ(table.Find(ta), a);
    EXPECT_EQ(table.Find(tb), b);
    EXPECT_EQ(table.TokenOf(b), tb);
    EXPECT_EQ(table.Issue(a), 0) << "a registered channel keeps its one token";
    EXPECT_EQ(table.Issue(nullptr), 0);
    EXPECT_EQ(table.Find(0), nullptr);

    // A retired token names nothing, even once a channel reuses the same address.
    table.Retire(ta);
    EXPECT_EQ(table.Find(ta), nullptr);
    EXPECT_EQ(table.TokenOf(a), 0);
    const TWireletToken again = table.Issue(a);
    EXPECT_NE(again, ta);
    EXPECT_EQ(table.Find(ta), nullptr);
    EXPECT_EQ(table.Find(again), a);
    table.Retire(12345);  // unknown: ignored
    EXPECT_EQ(table.Size(), 2u);

    // Every nonzero 32-bit value is used once (Java sees the upper half as negative ints), then
    // the table refuses rather than wrap around to a token it gave before.
    CTokenTable nearEnd(0xFFFFFFFEu);
    EXPECT_EQ(nearEnd.Issue(a), -2);
    EXPECT_EQ(nearEnd.Issue(b), -1);
    nearEnd.Retire(-2);
    EXPECT_EQ(nearEnd.Issue(c), 0);
    EXPECT_EQ(nearEnd.Find(-1), b);
}

}  // namespace
