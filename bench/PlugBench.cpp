// Scanners plugged in and pulled out again, each with a serial number of its
// own, on one running machine: every cycle leaves an Enum key and a pairing
// key behind, so the registry grows by two siblings a cycle. The time per
// cycle should stay flat as the cycles add up.
#include <benchmark/benchmark.h>

#include <string>

#include "MachineSetup.h"
#include "machine/Machine.h"
#include "rtl/Text.h"

namespace {

void PlugUnplugCycles(benchmark::State &state)
{
    const auto cycles = static_cast<int>(state.range(0));
    sim::RegisterDeliverables();
    for (auto _ : state) {
        plat::Machine machine(plat::MachineOptions{}, sim::InstallDriverService);
        sim::AddVirtualPortNode(machine, u"COM3");
        for (int i = 0; i < cycles; ++i) {
            plat::ScannerModel model;
            model.serial = plat::FromUtf8("SN" + std::to_string(i));
            machine.PlugScanner(model);
            machine.UnplugScanner(model.serial);
        }
    }
    state.SetItemsProcessed(state.iterations() * cycles);
}
BENCHMARK(PlugUnplugCycles)->Arg(1000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
