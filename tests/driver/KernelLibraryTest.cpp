// The driver's kernel support library: string growth, conversions, the
// recursive lock, error-log entry sizes, the registry helpers, work items,
// timers and MDL mapping.
#include "support/TestMachine.h"

#include "Completion.h"
#include "DriverGlobals.h"
#include "ErrorLog.h"
#include "KAnsiString.h"
#include "KDeviceObject.h"
#include "KRecursiveLock.h"
#include "KTimer.h"
#include "KUnicodeString.h"
#include "KWorkItem.h"
#include "RegistryHelpers.h"
#include "ex/Pool.h"
#include "ke/Clock.h"
#include "ke/Scheduler.h"

namespace {

using test::Utf8;

class KernelLibraryTest : public test::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        // The library lives in the loaded driver: give it a device node.
        ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    }
};

TEST_F(KernelLibraryTest, StringsGrowInSixtyFourUnitStepsAndNeedRoomForTheTerminator)
{
    KUnicodeString s;
    s.Reserve(0);
    EXPECT_EQ(128, s.MaximumLength);  // 64 units
    s.Assign(L"abc", 3);
    EXPECT_EQ(128, s.MaximumLength);
    std::u16string text(62, u'x');
    s.Assign(reinterpret_cast<const WCHAR *>(text.c_str()), 62);
    s.Append(L"y", 1);  // 63 units and the terminator: the 64 units are full
    EXPECT_EQ(128, s.MaximumLength);
    PWCH before = s.Buffer;
    s.Append(L"z", 1);  // free room of exactly one unit is not enough
    EXPECT_EQ(256, s.MaximumLength);
    EXPECT_NE(before, s.Buffer);
    EXPECT_EQ(64u, s.Chars());
    EXPECT_EQ(L'z', s.Buffer[63]);
    EXPECT_EQ(0, s.Buffer[64]);

    KAnsiString a;
    a.Assign("12345678901234567890123456789012345678901234567890123456789012", 62);
    EXPECT_EQ(64, a.MaximumLength);
    a.Assign("123456789012345678901234567890123456789012345678901234567890123", 63);
    EXPECT_EQ(64, a.MaximumLength);
    a.Assign("1234567890123456789012345678901234567890123456789012345678901234", 64);
    EXPECT_EQ(128, a.MaximumLength);
}

TEST_F(KernelLibraryTest, EmptyAnsiStringConvertsToATerminatedEmptyString)
{
    KAnsiString empty;
    KUnicodeString s(empty);
    EXPECT_EQ(0, s.Length);
    ASSERT_NE(nullptr, s.Buffer);
    EXPECT_EQ(0, s.Buffer[0]);
}

TEST_F(KernelLibraryTest, StringOperations)
{
    KUnicodeString s(L"  9600, n ,8\t\n");
    EXPECT_EQ(6u, s.FindComma());
    s.TrimLeft();
    s.TrimRight();
    EXPECT_EQ("9600, n ,8", Utf8(s));
    EXPECT_EQ("9600", Utf8(s.Substring(0, s.FindComma())));
    EXPECT_EQ(9600u, s.Substring(0, 4).ToInteger());
    EXPECT_EQ("", Utf8(s.Substring(40, 2)));
    EXPECT_EQ(", n ,8", Utf8(s.Substring(4, 100)));
    EXPECT_EQ(KUnicodeString::kNotFound, KUnicodeString().FindComma());
    EXPECT_TRUE(KUnicodeString(L"1").EqualsOne());
    EXPECT_FALSE(KUnicodeString(L"01").EqualsOne());
    EXPECT_EQ(0, KUnicodeString(L"com5").CompareNoCase(L"COM5"));
    EXPECT_EQ("COM5:", Utf8(KUnicodeString::AppendColon(KUnicodeString(L"COM5"))));
    KUnicodeString subkey;
    subkey.AssignConfigurationSubkey(KUnicodeString(L"SN1"));
    EXPECT_EQ(Utf8(DriverGlobals.configurationKeyPath) + "SN1", Utf8(subkey));
    bool raised = false;
    KERNEL_TRY {
        KUnicodeString(L"x9").ToInteger();
    } KERNEL_EXCEPT {
        raised = true;
    }
    EXPECT_FALSE(raised);  // no digits reads as 0, as the platform's conversion does
    KERNEL_TRY {
        KUnicodeString().ToInteger();
    } KERNEL_EXCEPT {
        raised = KernelExceptionCode() == STATUS_INVALID_PARAMETER;
    }
    EXPECT_TRUE(raised);
}

TEST_F(KernelLibraryTest, FormatGrowsUntilTheTextFits)
{
    KAnsiString s;
    s.Format("%d-%02d-%04d,%d:%02d:%02d", 9, 12, 2026, 10, 5, 3);
    EXPECT_EQ("9-12-2026,10:05:03", std::string(s.Buffer, s.Length));
    std::string big(300, 'z');
    s.Format("[%s]", big.c_str());
    EXPECT_EQ(302, s.Length);
}

TEST_F(KernelLibraryTest, StringStorageExhaustionRaises)
{
    KUnicodeString s;
    plat::FailPoolTag(DriverGlobals.poolTag);
    NTSTATUS raised = STATUS_SUCCESS;
    KERNEL_TRY {
        s.Assign(L"abc", 3);
    } KERNEL_EXCEPT {
        raised = KernelExceptionCode();
    }
    plat::ClearFaults();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, raised);
    EXPECT_EQ(nullptr, s.Buffer);
}

TEST_F(KernelLibraryTest, ErrorLogTextOfNinetySixCharactersIsTooLong)
{
    PDEVICE_OBJECT device = DriverGlobals.driverObject->DeviceObject;
    std::u16string fits(95, u'a'), tooLong(96, u'b');
    LogErrorWithText(device, reinterpret_cast<PCWSTR>(tooLong.c_str()));
    LogErrorWithText(device, reinterpret_cast<PCWSTR>(fits.c_str()));
    LogError(device);
    const auto &log = plat::ErrorLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(static_cast<NTSTATUS>(0xE0060001), log[0].errorCode);
    EXPECT_EQ(240u, log[0].size);
    ASSERT_EQ(1u, log[0].strings.size());
    EXPECT_EQ(Utf8(fits), Utf8(log[0].strings[0]));
    EXPECT_EQ(static_cast<NTSTATUS>(0xE0060002), log[1].errorCode);
    EXPECT_EQ(48u, log[1].size);
    EXPECT_TRUE(log[1].strings.empty());
}

TEST_F(KernelLibraryTest, RecursiveLockNestsForItsOwnerAndExcludesOthers)
{
    KRecursiveLock lock;
    lock.Initialize();
    lock.Acquire();
    lock.Acquire();
    EXPECT_EQ(2, lock.depth);
    std::vector<std::string> order;
    plat::SimThread *other = plat::Scheduler::Get().CreateThread("other", [&] {
        lock.Acquire();
        order.push_back("other");
        lock.Release();
    });
    plat::Scheduler::Get().Yield();
    order.push_back("owner");
    lock.Release();
    EXPECT_EQ(1, lock.depth);
    lock.Release();
    plat::Scheduler::Get().Join(other);
    EXPECT_EQ((std::vector<std::string>{"owner", "other"}), order);
    EXPECT_EQ(nullptr, lock.owner);
}

TEST_F(KernelLibraryTest, RegistryHelpersReadTypedValues)
{
    std::u16string path = std::u16string(test::kConfiguration) + u"\\Helpers";
    plat::cm::Registry().Create(path);
    plat::cm::Registry().SetDword(path, u"Dword", 7);
    plat::cm::Registry().SetValue(path, u"Binary4", REG_BINARY, {8, 0, 0, 0});
    plat::cm::Registry().SetValue(path, u"Binary3", REG_BINARY, {8, 0, 0});
    plat::cm::Registry().SetString(path, u"Text", u"COM5");
    plat::cm::Registry().SetValue(path, u"Unterminated", REG_SZ, {'C', 0, 'O', 0});
    KUnicodeString keyPath(reinterpret_cast<PCWSTR>(path.c_str()));
    HANDLE key = OpenRegistryKey(keyPath, KEY_READ);
    ASSERT_NE(nullptr, key);
    struct DwordCase {
        PCWSTR name;
        NTSTATUS status;
        ULONG value;
    };
    const DwordCase dwords[] = {
        {L"Dword", STATUS_SUCCESS, 7},
        {L"Binary4", STATUS_SUCCESS, 8},
        {L"Binary3", STATUS_OBJECT_TYPE_MISMATCH, 0x55},
        {L"Text", STATUS_OBJECT_TYPE_MISMATCH, 0x55},
        {L"Missing", STATUS_OBJECT_NAME_NOT_FOUND, 0x55},
    };
    for (const auto &c : dwords) {
        ULONG value = 0x55;
        EXPECT_EQ(c.status, ReadRegistryDword(key, c.name, &value));
        EXPECT_EQ(c.value, value);
    }
    KUnicodeString text;
    EXPECT_EQ(STATUS_SUCCESS, ReadRegistryString(key, L"Text", text));
    EXPECT_EQ("COM5", Utf8(text));
    EXPECT_EQ(10, text.MaximumLength);
    EXPECT_EQ(STATUS_SUCCESS, ReadRegistryString(key, L"Unterminated", text));
    EXPECT_EQ("CO", Utf8(text));
    EXPECT_EQ(0, text.Buffer[2]);
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, ReadRegistryString(key, L"Dword", text));
    ZwClose(key);

    // A path with missing parents is created level by level.
    KUnicodeString deep(reinterpret_cast<PCWSTR>((path + u"\\A\\B\\C").c_str()));
    HANDLE created = CreateRegistryKeyPath(deep, KEY_ALL_ACCESS);
    ASSERT_NE(nullptr, created);
    EXPECT_EQ(STATUS_SUCCESS, WriteRegistryString(created, L"Empty", KUnicodeString()));
    ZwClose(created);
    EXPECT_EQ(2, ValueSize(path + u"\\A\\B\\C", u"Empty"));
    EXPECT_EQ(nullptr, CreateRegistryKeyPath(KUnicodeString(L"NoBackslash"), KEY_ALL_ACCESS));
}

// A work item that records where it ran.
class RecordingWorkItem : public KWorkItem {
public:
    RecordingWorkItem(void *storage, std::vector<int> *log) : KWorkItem(storage, log) {}
    void Run(PVOID context) override
    {
        static_cast<std::vector<int> *>(context)->push_back(KeGetCurrentIrql());
    }
};

TEST_F(KernelLibraryTest, WorkItemRunsOnceAtPassiveLevelAndFreesItself)
{
    std::vector<int> log;
    size_t poolBefore = plat::PoolInUse(DriverGlobals.poolTag).blocks;
    void *storage = KWorkItem::Allocate(sizeof(RecordingWorkItem), nullptr);
    ASSERT_NE(nullptr, storage);
    auto *item = new (storage) RecordingWorkItem(storage, &log);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&DriverGlobals.scannerListLock);
    item->Queue();
    KeReleaseSpinLock(&DriverGlobals.scannerListLock, old);
    LARGE_INTEGER delay;
    delay.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ((std::vector<int>{PASSIVE_LEVEL}), log);
    EXPECT_EQ(poolBefore, plat::PoolInUse(DriverGlobals.poolTag).blocks);
}

// A timer whose DPC counts its runs.
struct CountingTimer {
    CountingTimer()
    {
        KeInitializeDpc(&timer.dpc, [](PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<int *>(context); }, &fired);
    }
    void SetIn(LONGLONG ms)
    {
        LARGE_INTEGER due;
        due.QuadPart = -ms * plat::kTicksPerMillisecond;
        timer.Set(due);
    }
    KTimer timer;
    int fired = 0;
};

TEST_F(KernelLibraryTest, TimerFiresItsDpcOnceAndCancelTakesItBack)
{
    CountingTimer t;
    t.SetIn(20);
    t.SetIn(20);  // setting again re-arms: still one expiry
    LARGE_INTEGER wait;
    wait.QuadPart = -50 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(1, t.fired);
    t.SetIn(20);
    EXPECT_TRUE(t.timer.Cancel());
    EXPECT_FALSE(t.timer.Cancel());
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(1, t.fired);
}

// The clock interrupt finds the timer due while this processor holds a spin
// lock: the timer's DPC is queued but cannot run before the IRQL drops. A
// cancel in that window must take the DPC back.
TEST_F(KernelLibraryTest, TimerCancelTakesBackTheDpcItsExpiryQueued)
{
    CountingTimer t;
    t.SetIn(20);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&DriverGlobals.scannerListLock);
    LONGLONG expiry = plat::SystemTimeNow() + 20 * plat::kTicksPerMillisecond;
    plat::SetSystemTime(expiry);
    plat::Scheduler::Get().expireTimers(expiry);
    EXPECT_FALSE(t.timer.Cancel());  // no longer armed: it has expired
    KeReleaseSpinLock(&DriverGlobals.scannerListLock, old);
    EXPECT_EQ(0, t.fired);
}

struct MapMdlCase {
    const char *name;
    USHORT flags;     // besides MDL_ALLOCATED_FIXED_SIZE
    bool mappedElsewhere;  // MappedSystemVa names a second mapping
    bool expectMapping;    // MmMapLockedPages maps it
};

void PrintTo(const MapMdlCase &c, std::ostream *os) { *os << c.name; }

class MapMdlTest : public KernelLibraryTest, public ::testing::WithParamInterface<MapMdlCase> {};

// The address an MDL's buffer has in system space: the mapping it has, else
// a new one that may fail; the caller's MDL_MAPPING_CAN_FAIL setting stays.
TEST_P(MapMdlTest, GivesTheSystemAddressAndLeavesTheCallersFlags)
{
    const MapMdlCase &c = GetParam();
    UCHAR buffer[16] = {};
    UCHAR elsewhere[16] = {};
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    mdl->MdlFlags |= c.flags;
    if (c.flags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA))
        mdl->MappedSystemVa = c.mappedElsewhere ? elsewhere : buffer;
    CSHORT before = mdl->MdlFlags;

    PVOID address = MapMdl(mdl);
    EXPECT_EQ(c.mappedElsewhere ? static_cast<PVOID>(elsewhere) : static_cast<PVOID>(buffer), address);
    CSHORT added = c.expectMapping ? MDL_MAPPED_TO_SYSTEM_VA : 0;
    EXPECT_EQ(before | added, mdl->MdlFlags);
    IoFreeMdl(mdl);
}

INSTANTIATE_TEST_SUITE_P(
    Mdls, MapMdlTest,
    ::testing::Values(MapMdlCase{"NonPagedPool", MDL_SOURCE_IS_NONPAGED_POOL, false, false},
                      MapMdlCase{"MappedAlready", MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA, true, false},
                      MapMdlCase{"LockedPages", MDL_PAGES_LOCKED, false, true},
                      MapMdlCase{"CallerAllowsFailure", MDL_PAGES_LOCKED | MDL_MAPPING_CAN_FAIL, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(KernelLibraryTest, MapMdlOfNoMdlIsNoAddress) { EXPECT_EQ(nullptr, MapMdl(nullptr)); }

}  // namespace
