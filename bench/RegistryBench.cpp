// The registry at scale: a lookup among ever more siblings, and the state
// file of a machine with tens of megabytes of registry written and read.
#include <benchmark/benchmark.h>

#include <string>

#include "cm/Hive.h"
#include "rtl/Text.h"

namespace {

using plat::cm::Registry;

std::u16string Name(const char *prefix, int64_t i) { return plat::FromUtf8(prefix + std::to_string(i)); }

// Find of one key by full path, among state.range(0) siblings.
void LookupAmongSiblings(benchmark::State &state)
{
    const int64_t siblings = state.range(0);
    Registry().Clear();
    for (int64_t i = 0; i < siblings; ++i)
        Registry().Create(u"HKLM\\System\\Many\\" + Name("Key", i));
    const std::u16string path = u"hklm\\system\\many\\" + Name("KEY", siblings / 2);
    for (auto _ : state)
        benchmark::DoNotOptimize(Registry().Find(path));
    Registry().Clear();
}
BENCHMARK(LookupAmongSiblings)->RangeMultiplier(10)->Range(10, 100000);

// A registry shaped like the one scanners leave: per scanner an Enum key with
// its hardware IDs and a pairing key with six strings; `scanners` of them.
void FillLikeScanners(int64_t scanners)
{
    Registry().Clear();
    for (int64_t i = 0; i < scanners; ++i) {
        std::u16string serial = Name("SN-", i);
        std::u16string node = u"HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_E7A3&PID_0204\\" + serial;
        Registry().SetMultiString(node, u"HardwareID", {u"USB\\VID_E7A3&PID_0204&REV_0100", u"USB\\VID_E7A3&PID_0204"});
        Registry().SetString(node, u"Class", u"USB");
        Registry().SetString(node, u"ClassGUID", u"{36FC9E60-C465-11CF-8056-444553540000}");
        Registry().SetString(node, u"Service", u"VEXLINK");
        Registry().SetString(node, u"DeviceDesc", u"VX Barcode Scanner");
        std::u16string pairing = u"HKLM\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\\" + serial;
        for (const char16_t *value : {u"ModelType", u"Flag", u"OpenCount", u"PortName", u"TimeStamp", u"PortType"})
            Registry().SetString(pairing, value, u"VX Barcode Scanner");
    }
}

void SaveState(benchmark::State &state)
{
    FillLikeScanners(state.range(0));
    size_t bytes = 0;
    for (auto _ : state)
        bytes = Registry().StateText().size();
    state.counters["MB"] = static_cast<double>(bytes) / (1 << 20);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    Registry().Clear();
}
BENCHMARK(SaveState)->Arg(1000)->Arg(10000)->Arg(25000)->Unit(benchmark::kMillisecond);

void LoadState(benchmark::State &state)
{
    FillLikeScanners(state.range(0));
    const std::string text = Registry().StateText();
    for (auto _ : state)
        Registry().LoadText(text, "registry.reg");
    state.counters["MB"] = static_cast<double>(text.size()) / (1 << 20);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    Registry().Clear();
}
BENCHMARK(LoadState)->Arg(1000)->Arg(10000)->Arg(25000)->Unit(benchmark::kMillisecond);

}  // namespace
