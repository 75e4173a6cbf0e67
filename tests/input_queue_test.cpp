// The shared input queue and its delivery to the class driver.
#include "fixture.h"

namespace {

class QueueTest : public DriverTest {
protected:
    // Offers records as ProcessTouchReport does: under the control device's
    // Lock. Returns how many were consumed and whether delivery was queued
    // before the lock dropped and it ran.
    std::pair<ULONG, bool> Offer(ULONG count, LONG firstX = 0)
    {
        std::vector<MOUSE_INPUT_DATA> records(count);
        for (ULONG i = 0; i < count; ++i)
            records[i].LastX = firstX + LONG(i);
        ULONG consumed = 99;
        bool queued;
        {
            SpinLockGuard lock(&Control().Lock);
            InternalServiceCallback(rig.Control(), records.data(), count, &consumed);
            queued = kernel.QueuedDpcCount() != 0;
        }
        return {consumed, queued};
    }

    void StartAt(ULONG head) { Control().QueueHead = Control().QueueTail = head; }

    std::vector<LONG> TakenX()
    {
        std::vector<LONG> xs;
        for (const auto& r : rig.TakeRecords())
            xs.push_back(r.LastX);
        return xs;
    }
};

TEST_F(QueueTest, WrappedQueueGoesOutInTwoRuns)
{
    StartAt(120);
    rig.SetClassEnabled(false);
    Offer(10, 1);
    rig.SetClassEnabled(true);
    Offer(0); // nothing offered: delivery is not even queued
    EXPECT_TRUE(rig.OfferedRunSizes().empty());
    DeliverQueuedRecords(nullptr, &Control(), nullptr, nullptr);
    EXPECT_EQ(rig.OfferedRunSizes(), (std::vector<ULONG>{8, 2}));
    EXPECT_EQ(TakenX(), (std::vector<LONG>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(Control().QueueHead, 2u);
    EXPECT_EQ(Control().QueueCount, 0u);
}

TEST_F(QueueTest, RunEndingAtTheEndOfStorageIsOneCall)
{
    StartAt(120);
    rig.SetClassEnabled(false);
    Offer(8, 1);
    rig.SetClassEnabled(true);
    DeliverQueuedRecords(nullptr, &Control(), nullptr, nullptr);
    EXPECT_EQ(rig.OfferedRunSizes(), (std::vector<ULONG>{8}));
    EXPECT_EQ(Control().QueueHead, 0u);
}

TEST_F(QueueTest, ClassTakingFewerLeavesTheRestQueuedInOrder)
{
    StartAt(120);
    rig.SetClassEnabled(false);
    Offer(10, 1);
    rig.SetClassTakeLimit(5);
    rig.SetClassEnabled(true);
    DeliverQueuedRecords(nullptr, &Control(), nullptr, nullptr);
    EXPECT_EQ(rig.OfferedRunSizes(), (std::vector<ULONG>{8})); // no second run
    EXPECT_EQ(Control().QueueHead, 125u);
    EXPECT_EQ(Control().QueueCount, 5u);
    rig.SetClassTakeLimit(-1);
    Offer(1, 11); // the next record's delivery drains the rest
    EXPECT_EQ(TakenX(), (std::vector<LONG>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST_F(QueueTest, FullQueueDropsNewRecordsButStillQueuesDelivery)
{
    rig.SetClassEnabled(false);
    for (int i = 0; i < 127; ++i)
        Offer(1, i);
    EXPECT_EQ(Offer(1, 127), std::make_pair(1u, true)); // the 128th fills it
    EXPECT_EQ(Control().QueueCount, 128u);
    EXPECT_EQ(Control().QueueTail, Control().QueueHead);
    EXPECT_EQ(Offer(1, 500), std::make_pair(0u, true));
    EXPECT_EQ(Offer(0), std::make_pair(0u, true));
    EXPECT_EQ(Control().QueueHead, 0u); // disabled: the ring is left as it is
    EXPECT_EQ(Control().QueueCount, 128u);

    rig.SetClassEnabled(true);
    Offer(0);
    std::vector<LONG> expected;
    for (int i = 0; i < 128; ++i)
        expected.push_back(i);
    EXPECT_EQ(TakenX(), expected);
}

TEST_F(QueueTest, RunOfSeveralStopsWhenTheQueueFills)
{
    rig.SetClassEnabled(false);
    Offer(120);
    EXPECT_EQ(Offer(20, 1000), std::make_pair(8u, true));
    EXPECT_EQ(Control().QueueCount, 128u);
}

TEST_F(QueueTest, MissingStorageDropsEverything)
{
    FreeControlRecordStorage(&Control());
    EXPECT_EQ(Offer(3), std::make_pair(0u, true));
    EXPECT_EQ(Offer(0), std::make_pair(0u, true));
    EXPECT_TRUE(rig.TakeRecords().empty());
}

TEST_F(QueueTest, DeliveryOnlyRunsOnTheControlDevice)
{
    StartAt(0);
    rig.SetClassEnabled(false);
    Offer(2);
    rig.SetClassEnabled(true);
    DeviceExtension* touch = ExtensionOf(rig.AddTouchDevice());
    DeliverQueuedRecords(nullptr, touch, nullptr, nullptr);
    EXPECT_TRUE(rig.OfferedRunSizes().empty());
    Control().ClassService = nullptr;
    DeliverQueuedRecords(nullptr, &Control(), nullptr, nullptr);
    EXPECT_EQ(Control().QueueCount, 2u);
}

TEST_F(QueueTest, TouchesWhileDisabledArriveOldestFirstWhenEnabled)
{
    Control().Filter = 0;
    Control().MouseMode = 1;
    PDEVICE_OBJECT touch = rig.AddTouchDevice();
    rig.SetClassEnabled(false);
    for (ULONG i = 0; i < 200; ++i)
        rig.Touch(touch, 100 + i, 100);
    EXPECT_TRUE(rig.TakeRecords().empty());
    rig.SetClassEnabled(true);
    // This record finds the ring still full and is dropped; its delivery
    // run sends the 128 kept.
    rig.Touch(touch, 1000, 100);
    auto records = rig.TakeRecords();
    ASSERT_EQ(records.size(), 128u);
    EXPECT_EQ(records[0].LastX, 100 * 32);
    EXPECT_EQ(records[127].LastX, 227 * 32);
    rig.Touch(touch, 1001, 100);
    EXPECT_EQ(rig.TakeRecords().at(0).LastX, 1001 * 32);
}

} // namespace
