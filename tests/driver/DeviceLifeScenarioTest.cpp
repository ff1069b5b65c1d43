// One device life under many seeds: ports, a scanner and a device with a
// request queue go through sleep, wake, unplug, replug, rebalance and removal
// while requests are queued and finished from another thread. Every request
// must end exactly once (the verifier reports a second completion) and as its
// place in that life decides: served in order, or failed by the removal that
// found it waiting. Nothing may stay allocated (the unload and shutdown
// checks), and no thread may hang (the deadlock report).
#include "support/ProbeDevice.h"

#include <numeric>

#include "po/PowerManager.h"

namespace {

using test::ProbeBus;
using test::ProbeDevice;

class DeviceLifeScenarioTest : public test::ProbeTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        options.seed = static_cast<uint64_t>(GetParam());
        ProbeTest::SetUp();
    }
    // Finishes whatever request the probe has started, every millisecond,
    // until told to stop (or for at most 10 virtual seconds, so that a hang
    // elsewhere ends as a deadlock report instead of spinning).
    plat::SimThread *StartFinisher(ProbeDevice *probe)
    {
        return Spawn("finisher", [this, probe] {
            for (int ms = 0; ms < 10000 && !stopFinisher; ++ms) {
                if (probe->current)
                    probe->Finish();
                Pass(1);
            }
        });
    }
    // Reads numbered on from the last one sent; the number is the read length.
    void Reads(ProbeDevice *probe, int count)
    {
        for (int i = 0; i < count; ++i)
            Read(probe, ++sent);
    }
    bool stopFinisher = false;
    ULONG sent = 0;
};

TEST_P(DeviceLifeScenarioTest, EveryRequestEndsExactlyOnceAndNothingIsLeft)
{
    AddPort(u"COM5");
    Plug(u"SN1");
    auto bus = std::make_unique<ProbeBus>();
    bus->wakeCapable = true;
    ProbeDevice *probe = AddProbe(std::move(bus));
    ASSERT_NE(nullptr, probe);
    probe->SetWakeArming(WakeEnable);
    auto *finisher = StartFinisher(probe);

    Reads(probe, 4);
    ASSERT_EQ(STATUS_SUCCESS, plat::PowerManager::Get().Sleep(PowerSystemSleeping3));
    Reads(probe, 2);  // wait in the stalled queue
    plat::PowerManager::Get().Wake();
    Reads(probe, 2);
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    Plug(u"SN1");
    Reads(probe, 3);
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().Rebalance(node));
    ASSERT_EQ(STATUS_SUCCESS, plat::PowerManager::Get().Sleep(PowerSystemHibernate));
    plat::PowerManager::Get().Wake();
    Reads(probe, 3);
    Pass(30);
    ULONG servedBeforeRemoval = sent;
    // The removal query waits for the read under way; the ones behind it are
    // still waiting when the removal fails them. How many the finisher gets
    // to first is the interleaving's choice.
    Reads(probe, 3);
    std::vector<ULONG> started = probe->startedLengths;  // the removal destroys the probe
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(node, true));
    stopFinisher = true;
    Join(finisher);
    plat::PnpManager::Get().Settle();

    // Sleep, wake and rebalance keep every read, in order; the finisher
    // completes each one the device starts, and the removal fails the rest.
    ASSERT_GT(started.size(), servedBeforeRemoval);
    std::vector<ULONG> inOrder(started.size());
    std::iota(inOrder.begin(), inOrder.end(), 1u);
    EXPECT_EQ(inOrder, started);
    // Served reads are a prefix of the reads sent (one may still start after
    // the look at the device, before the removal stalls its queue).
    ULONG served = 0;
    while (served < sent && requests[served]->Done() && requests[served]->Result().status == STATUS_SUCCESS)
        ++served;
    EXPECT_GE(served, started.size());
    EXPECT_LE(served, started.size() + 1);
    for (ULONG n = served + 1; n <= sent; ++n) {
        plat::PendingRequest *request = requests[n - 1];
        ASSERT_TRUE(request->Done()) << "read " << n;
        EXPECT_EQ(STATUS_DELETE_PENDING, request->Result().status) << "read " << n;
    }
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

INSTANTIATE_TEST_SUITE_P(Seeds, DeviceLifeScenarioTest, test::Seeds(40));

}  // namespace
