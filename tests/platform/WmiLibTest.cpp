// The WMI library and the WMI service of the simulated machine, through a
// small test provider on top of a bus device: registration with
// IRP_MN_REGINFO_EX and its fallback, the registration record and its
// too-small answer, which requests the library passes on, the WNODE answers
// it builds, checks of malformed requests, and deregistration.
#include "support/TestMachine.h"

#include <wmilib.h>

#include <cstring>

#include "ex/Pool.h"
#include "wmi/Wmi.h"
#include "wmi/WmiClient.h"

namespace {

using test::Utf8;

constexpr UCHAR Poison = plat::kWmiPoison;
// {6B0A3D2E-51C4-4E1F-9A3B-7D2C1E0F4A51}, {6B0A3D2F-...}
const GUID kFirstGuid = {0x6B0A3D2E, 0x51C4, 0x4E1F, {0x9A, 0x3B, 0x7D, 0x2C, 0x1E, 0x0F, 0x4A, 0x51}};
const GUID kSecondGuid = {0x6B0A3D2F, 0x51C4, 0x4E1F, {0x9A, 0x3B, 0x7D, 0x2C, 0x1E, 0x0F, 0x4A, 0x51}};
const GUID kOtherGuid = {0x6B0A3D30, 0x51C4, 0x4E1F, {0x9A, 0x3B, 0x7D, 0x2C, 0x1E, 0x0F, 0x4A, 0x51}};
const ULONG kNameTag = plat::TagFromText("WmiT");

constexpr ULONG kPairs = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);

bool AllPoison(const std::vector<UCHAR> &buffer, size_t from)
{
    for (size_t i = from; i < buffer.size(); ++i)
        if (buffer[i] != Poison)
            return false;
    return true;
}

class WmiLibTest : public test::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        current = this;
        driver = plat::CreateDriverObject(u"\\Driver\\WmiTest", u"WmiTest");
        busDriver = plat::CreateDriverObject(u"\\Driver\\WmiTestBus", u"WmiTestBus");
        for (auto &entry : driver->MajorFunction)
            entry = ProviderDispatch;
        for (auto &entry : busDriver->MajorFunction)
            entry = BusDispatch;
        bus = CreateDevice(busDriver, u"\\Device\\WmiTestBus");
        device = CreateDevice(driver, u"\\Device\\WmiTest");
        IoAttachDeviceToDeviceStack(device, bus);

        guids = {{&kFirstGuid, 3, 0}, {&kSecondGuid, 1, WMIREG_FLAG_EXPENSIVE}};
        sizes = {{5, 8, 3}, {4}};
        context.QueryWmiRegInfo = QueryRegInfo;
        context.QueryWmiDataBlock = QueryDataBlock;
        context.SetWmiDataBlock = SetDataBlock;
        context.SetWmiDataItem = nullptr;
        context.ExecuteWmiMethod = ExecuteMethod;
        context.WmiFunctionControl = FunctionControl;
    }

    void TearDown() override
    {
        if (plat::WmiRegistered(device)) {
            EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER));
        }
        IoDetachDevice(bus);
        IoDeleteDevice(device);
        IoDeleteDevice(bus);
        plat::DeleteDriverObject(driver);
        plat::DeleteDriverObject(busDriver);
        current = nullptr;
        MachineTest::TearDown();
    }

    PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT owner, std::u16string_view name)
    {
        plat::CountedString n(name);
        PDEVICE_OBJECT created = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(owner, 0, &n.string, FILE_DEVICE_UNKNOWN, 0, FALSE, &created));
        created->Flags &= ~DO_DEVICE_INITIALIZING;
        return created;
    }

    NTSTATUS Register()
    {
        context.GuidCount = static_cast<ULONG>(guids.size());
        context.GuidList = guids.data();
        return IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    }

    // A request built by hand, with this device as ProviderId unless told.
    plat::WmiExchange Send(UCHAR minor, const GUID &guid, std::vector<UCHAR> buffer, ULONG_PTR providerId = 0)
    {
        GUID path = guid;
        return plat::WmiSendRequest(device, minor, providerId ? providerId : reinterpret_cast<ULONG_PTR>(device),
                                    &path, std::move(buffer));
    }

    static NTSTATUS ProviderDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
    {
        WmiLibTest *t = current;
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MinorFunction == IRP_MN_REGINFO_EX && t->refuseRegInfoEx) {
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        SYSCTL_IRP_DISPOSITION disposition = IrpProcessed;
        NTSTATUS status = WmiSystemControl(&t->context, deviceObject, irp, &disposition);
        t->dispositions.push_back(disposition);
        switch (disposition) {
        case IrpProcessed:
            return status;
        case IrpNotCompleted:
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        default:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(t->bus, irp);
        }
    }

    // A bus driver leaves WMI requests it does not handle alone.
    static NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp)
    {
        current->busSaw.push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS QueryRegInfo(PDEVICE_OBJECT, PULONG regFlags, PUNICODE_STRING instanceName,
                                 PUNICODE_STRING *registryPath, PUNICODE_STRING mofResourceName, PDEVICE_OBJECT *pdo)
    {
        WmiLibTest *t = current;
        *regFlags = WMIREG_FLAG_INSTANCE_BASENAME;
        // The base name is pool the library frees.
        const std::u16string name = u"WmiTest";
        auto *units = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, name.size() * sizeof(WCHAR), kNameTag));
        memcpy(units, name.data(), name.size() * sizeof(WCHAR));
        instanceName->Buffer = units;
        instanceName->Length = instanceName->MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
        *registryPath = &t->registryPath.string;
        RtlInitUnicodeString(mofResourceName, L"TestMof");
        *pdo = nullptr;
        return STATUS_SUCCESS;
    }

    // Instance k holds sizes[guid][k] bytes of 0x11 * (k + 1).
    static NTSTATUS QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                   ULONG instanceCount, PULONG instanceLengths, ULONG bufferAvail, PUCHAR buffer)
    {
        WmiLibTest *t = current;
        t->queries.push_back({guidIndex, instanceIndex, instanceCount, instanceLengths != nullptr, bufferAvail});
        if (t->holdQueries) {
            IoMarkIrpPending(irp);
            t->held = irp;
            return STATUS_PENDING;
        }
        const std::vector<ULONG> &block = t->sizes[guidIndex];
        ULONG size = 0;
        for (ULONG k = 0; k < instanceCount; ++k)
            size = (k ? (size + 7) & ~7u : 0) + block[instanceIndex + k];
        if (!instanceLengths || bufferAvail < size)
            return WmiCompleteRequest(deviceObject, irp, STATUS_BUFFER_TOO_SMALL, size, IO_NO_INCREMENT);
        ULONG offset = 0;
        for (ULONG k = 0; k < instanceCount; ++k) {
            ULONG length = block[instanceIndex + k];
            memset(buffer + offset, 0x11 * (instanceIndex + k + 1), length);
            instanceLengths[k] = length;
            offset = (offset + length + 7) & ~7u;
        }
        return WmiCompleteRequest(deviceObject, irp, STATUS_SUCCESS, size, IO_NO_INCREMENT);
    }

    static NTSTATUS SetDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG, ULONG, ULONG bufferSize, PUCHAR buffer)
    {
        current->setData.assign(buffer, buffer + bufferSize);
        return WmiCompleteRequest(deviceObject, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }

    // Method 7 answers 12 bytes of 0x77; any other is unknown.
    static NTSTATUS ExecuteMethod(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG, ULONG, ULONG methodId,
                                  ULONG inBufferSize, ULONG outBufferSize, PUCHAR buffer)
    {
        current->methodInput.assign(buffer, buffer + inBufferSize);
        if (methodId != 7)
            return WmiCompleteRequest(deviceObject, irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
        if (outBufferSize < 12)
            return WmiCompleteRequest(deviceObject, irp, STATUS_BUFFER_TOO_SMALL, 12, IO_NO_INCREMENT);
        memset(buffer, 0x77, 12);
        return WmiCompleteRequest(deviceObject, irp, STATUS_SUCCESS, 12, IO_NO_INCREMENT);
    }

    static NTSTATUS FunctionControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                    WMIENABLEDISABLECONTROL function, BOOLEAN enable)
    {
        current->controls.push_back({guidIndex, function, enable != FALSE});
        return WmiCompleteRequest(deviceObject, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }

    struct Query {
        ULONG guidIndex, instanceIndex, instanceCount;
        bool lengths;
        ULONG bufferAvail;
        bool operator==(const Query &) const = default;
    };
    struct Control {
        ULONG guidIndex;
        WMIENABLEDISABLECONTROL function;
        bool enable;
        bool operator==(const Control &) const = default;
    };

    static inline WmiLibTest *current = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_OBJECT busDriver = nullptr;
    PDEVICE_OBJECT bus = nullptr;
    PDEVICE_OBJECT device = nullptr;
    WMILIB_CONTEXT context{};
    std::vector<WMIGUIDREGINFO> guids;
    std::vector<std::vector<ULONG>> sizes;
    plat::CountedString registryPath{u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest"};
    bool refuseRegInfoEx = false;
    bool holdQueries = false;
    PIRP held = nullptr;
    std::vector<SYSCTL_IRP_DISPOSITION> dispositions;
    std::vector<UCHAR> busSaw;
    std::vector<Query> queries;
    std::vector<Control> controls;
    std::vector<UCHAR> setData;
    std::vector<UCHAR> methodInput;
};

TEST_F(WmiLibTest, RegistrationRecordsGuidsNamesAndPathsAndFreesTheBaseName)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    const plat::WmiRegistration *r = plat::FindWmiRegistration(device);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(IRP_MN_REGINFO_EX, r->regInfoMinor);
    EXPECT_EQ(1, r->regInfoRequests);
    EXPECT_EQ(Utf8(registryPath.text), Utf8(r->registryPath));
    EXPECT_EQ("TestMof", Utf8(r->mofResourceName));
    ASSERT_EQ(2u, r->guids.size());
    EXPECT_EQ(kFirstGuid, r->guids[0].guid);
    EXPECT_EQ(3u, r->guids[0].instanceCount);
    EXPECT_EQ(ULONG(WMIREG_FLAG_INSTANCE_BASENAME), r->guids[0].flags);
    EXPECT_EQ(ULONG(WMIREG_FLAG_INSTANCE_BASENAME | WMIREG_FLAG_EXPENSIVE), r->guids[1].flags);
    EXPECT_EQ("WmiTest2", Utf8(plat::WmiInstanceName(r->guids[0], device, 2)));
    EXPECT_EQ(0u, plat::PoolInUse(kNameTag).blocks);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER));
}

TEST_F(WmiLibTest, LargeRegistrationIsAskedForAgainWithTheSizeNeeded)
{
    registryPath.text.assign(200, u'x');
    registryPath.string.Buffer = plat::W(registryPath.text.data());
    registryPath.string.Length = registryPath.string.MaximumLength = 400;
    ASSERT_EQ(STATUS_SUCCESS, Register());
    const plat::WmiRegistration *r = plat::FindWmiRegistration(device);
    EXPECT_EQ(2, r->regInfoRequests);
    EXPECT_EQ(200u, r->registryPath.size());
}

TEST_F(WmiLibTest, RegistrationFallsBackToRegInfoWhenTheExtendedRequestFails)
{
    refuseRegInfoEx = true;
    ASSERT_EQ(STATUS_SUCCESS, Register());
    EXPECT_EQ(IRP_MN_REGINFO, plat::FindWmiRegistration(device)->regInfoMinor);
    EXPECT_EQ(2, plat::FindWmiRegistration(device)->regInfoRequests);
}

TEST_F(WmiLibTest, DeviceThatAnswersNoRegistrationIsNotRegistered)
{
    context.QueryWmiRegInfo = nullptr;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Register());
    EXPECT_FALSE(plat::WmiRegistered(device));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIRegistrationControl(device, WMIREG_ACTION_UPDATE_GUIDS));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER));
}

TEST_F(WmiLibTest, TooSmallRegistrationBufferGetsTheSizeInItsFirstUlongOnly)
{
    context.GuidCount = static_cast<ULONG>(guids.size());
    context.GuidList = guids.data();
    ULONG needed = 24 + 2 * 32 + 2 + ULONG(registryPath.text.size()) * 2 + 2 + 14 + 2 + 14;
    struct Case {
        ULONG size;
        NTSTATUS status;
        ULONG_PTR information;
    };
    for (const Case &c : {Case{needed - 1, STATUS_BUFFER_TOO_SMALL, 4}, Case{3, STATUS_BUFFER_TOO_SMALL, 0},
                          Case{needed, STATUS_SUCCESS, needed}}) {
        SCOPED_TRACE(c.size);
        plat::WmiExchange e = plat::WmiSendRequest(device, IRP_MN_REGINFO, reinterpret_cast<ULONG_PTR>(device),
                                                   reinterpret_cast<PVOID>(WMIREGISTER),
                                                   std::vector<UCHAR>(c.size, Poison));
        EXPECT_EQ(c.status, e.status);
        EXPECT_EQ(c.information, e.information);
        EXPECT_EQ(IrpNotCompleted, dispositions.back());
        if (c.information == 4) {
            ULONG told;
            memcpy(&told, e.buffer.data(), 4);
            EXPECT_EQ(needed, told);
            EXPECT_TRUE(AllPoison(e.buffer, 4));
        } else if (c.status == STATUS_BUFFER_TOO_SMALL) {
            EXPECT_TRUE(AllPoison(e.buffer, 0));
        } else {
            EXPECT_EQ(needed, reinterpret_cast<const WMIREGINFOW *>(e.buffer.data())->BufferSize);
        }
    }
}

TEST_F(WmiLibTest, RequestsForOthersAreForwardedUntouched)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    struct Case {
        const char *what;
        UCHAR minor;
        GUID guid;
        ULONG_PTR providerId;
        SYSCTL_IRP_DISPOSITION disposition;
    };
    const Case cases[] = {
        {"another provider", IRP_MN_QUERY_ALL_DATA, kFirstGuid, 0x1234, IrpForward},
        {"a GUID this provider did not register", IRP_MN_QUERY_ALL_DATA, kOtherGuid, 0, IrpForward},
        {"not a WMI minor function", 0x0A, kFirstGuid, 0, IrpNotWmi},
        {"past the last minor function", 0x0C, kFirstGuid, 0, IrpNotWmi},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        busSaw.clear();
        queries.clear();
        plat::WmiExchange e = Send(c.minor, c.guid, plat::WmiAllDataRequest(c.guid, 256), c.providerId);
        EXPECT_EQ(c.disposition, dispositions.back());
        EXPECT_EQ(std::vector<UCHAR>{c.minor}, busSaw);
        EXPECT_TRUE(queries.empty());
        EXPECT_EQ(STATUS_NOT_SUPPORTED, e.status);
        EXPECT_EQ(0u, e.information);
        EXPECT_EQ(plat::WmiAllDataRequest(c.guid, 256), e.buffer);
    }
}

TEST_F(WmiLibTest, AllDataAnswerHasAlignedInstancesAndTheirOffsets)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    // Three pairs after the header: data from 88; instances of 5, 8 and 3
    // bytes at 88, 96 and 104.
    plat::WmiExchange e = Send(IRP_MN_QUERY_ALL_DATA, kFirstGuid, plat::WmiAllDataRequest(kFirstGuid, 107));
    EXPECT_EQ(STATUS_SUCCESS, e.status);
    ASSERT_EQ(107u, e.information);
    EXPECT_EQ((Query{0, 0, 3, true, 107 - 88}), queries.back());
    const auto *wnode = reinterpret_cast<const WNODE_ALL_DATA *>(e.buffer.data());
    EXPECT_EQ(107u, wnode->WnodeHeader.BufferSize);
    EXPECT_EQ(88u, wnode->DataBlockOffset);
    EXPECT_EQ(3u, wnode->InstanceCount);
    EXPECT_EQ(0u, wnode->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE);
    std::vector<std::pair<ULONG, ULONG>> pairs;
    for (int i = 0; i < 3; ++i) {
        OFFSETINSTANCEDATAANDLENGTH p;
        memcpy(&p, e.buffer.data() + kPairs + i * sizeof p, sizeof p);
        pairs.emplace_back(p.OffsetInstanceData, p.LengthInstanceData);
    }
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{88, 5}, {96, 8}, {104, 3}}), pairs);
    EXPECT_EQ(0x11, e.buffer[88]);
    EXPECT_EQ(0x33, e.buffer[106]);
    // The client reads the same answer into instances named after the base.
    plat::WmiResult all = plat::WmiQueryAllData(kFirstGuid);
    ASSERT_EQ(STATUS_SUCCESS, all.status);
    ASSERT_EQ(3u, all.instances.size());
    EXPECT_EQ(std::vector<UCHAR>(8, 0x22), all.instances[1].data);
    EXPECT_EQ("WmiTest1", Utf8(all.instances[1].name));
}

TEST_F(WmiLibTest, SmallQueryBuffersAreAnsweredWithTheSizeNeeded)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    struct Case {
        ULONG size;
        bool lengthsGiven;  // the instance table fits
    };
    for (const Case &c : {Case{106, true}, Case{88, true}, Case{87, false}, Case{56, false}}) {
        SCOPED_TRACE(c.size);
        plat::WmiExchange e = Send(IRP_MN_QUERY_ALL_DATA, kFirstGuid, plat::WmiAllDataRequest(kFirstGuid, c.size));
        EXPECT_EQ(c.lengthsGiven, queries.back().lengths);
        EXPECT_EQ(STATUS_SUCCESS, e.status);
        EXPECT_TRUE(e.tooSmall);
        EXPECT_EQ(107u, e.sizeNeeded);
        EXPECT_EQ(sizeof(WNODE_TOO_SMALL), e.information);
        EXPECT_EQ(ULONG(WNODE_FLAG_TOO_SMALL), reinterpret_cast<const WNODE_HEADER *>(e.buffer.data())->Flags);
        EXPECT_TRUE(AllPoison(e.buffer, sizeof(WNODE_TOO_SMALL)));
    }
    // Too small even for the too-small answer: failed, the handler never asked.
    queries.clear();
    plat::WmiExchange e = Send(IRP_MN_QUERY_ALL_DATA, kFirstGuid, plat::WmiAllDataRequest(kFirstGuid, 55));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, e.status);
    EXPECT_EQ(0u, e.information);
    EXPECT_TRUE(queries.empty());
    EXPECT_EQ(plat::WmiAllDataRequest(kFirstGuid, 55), e.buffer);

    // The client asks again with the size it was told.
    plat::WmiResult all = plat::WmiQueryAllData(kFirstGuid, 64);
    EXPECT_EQ(STATUS_SUCCESS, all.status);
    ASSERT_EQ(2u, all.exchanges.size());
    EXPECT_EQ(64u, all.exchanges[0].bufferSize);
    EXPECT_EQ(107u, all.exchanges[1].bufferSize);
}

TEST_F(WmiLibTest, SingleInstanceSetAndMethodUseTheDataBlockOfTheirWnode)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    plat::WmiResult single = plat::WmiQuerySingleInstance(device, kFirstGuid, 2, 64);
    ASSERT_EQ(STATUS_SUCCESS, single.status);
    ASSERT_EQ(2u, single.exchanges.size());
    EXPECT_EQ(64u + 3, single.exchanges[0].sizeNeeded);
    EXPECT_EQ((Query{0, 2, 1, true, 3}), queries.back());
    EXPECT_EQ(std::vector<UCHAR>(3, 0x33), single.instances.at(0).data);
    EXPECT_EQ(64u + 3, single.exchanges[1].information);

    EXPECT_EQ(STATUS_SUCCESS, plat::WmiSetSingleInstance(device, kFirstGuid, 1, {1, 2, 3}).status);
    EXPECT_EQ((std::vector<UCHAR>{1, 2, 3}), setData);

    plat::WmiResult method = plat::WmiExecuteMethod(device, kSecondGuid, 0, 7, {9, 9}, 4);
    EXPECT_EQ(STATUS_SUCCESS, method.status);
    EXPECT_EQ(2u, method.exchanges.size());
    EXPECT_EQ((std::vector<UCHAR>{9, 9}), methodInput);
    EXPECT_EQ(std::vector<UCHAR>(12, 0x77), method.output);
    plat::WmiResult unknown = plat::WmiExecuteMethod(device, kSecondGuid, 0, 8, {}, 16);
    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND, unknown.status);
    EXPECT_EQ(0u, unknown.exchanges.at(0).information);
    EXPECT_TRUE(AllPoison(unknown.exchanges[0].buffer, 72));
}

TEST_F(WmiLibTest, MalformedRequestsFailBeforeAnyHandler)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    auto single = [](ULONG size, ULONG dataOffset, ULONG dataSize, ULONG flags) {
        std::vector<UCHAR> b = plat::WmiSingleInstanceRequest(kFirstGuid, 0, size);
        auto *w = reinterpret_cast<WNODE_SINGLE_INSTANCE *>(b.data());
        w->DataBlockOffset = dataOffset;
        w->SizeDataBlock = dataSize;
        w->WnodeHeader.Flags = flags;
        return b;
    };
    const ULONG named = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    std::vector<UCHAR> item = single(128, 0, 0, WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    reinterpret_cast<WNODE_SINGLE_ITEM *>(item.data())->DataBlockOffset = 72;
    reinterpret_cast<WNODE_SINGLE_ITEM *>(item.data())->SizeDataItem = 8;
    struct Case {
        const char *what;
        UCHAR minor;
        std::vector<UCHAR> buffer;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"data offset past the buffer", IRP_MN_QUERY_SINGLE_INSTANCE, single(128, 129, 0, named),
         STATUS_INVALID_PARAMETER},
        {"data offset inside the header", IRP_MN_QUERY_SINGLE_INSTANCE, single(128, 40, 0, named),
         STATUS_INVALID_PARAMETER},
        {"instance named by a string", IRP_MN_QUERY_SINGLE_INSTANCE, single(128, 64, 0, WNODE_FLAG_SINGLE_INSTANCE),
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"set data past the buffer", IRP_MN_CHANGE_SINGLE_INSTANCE, single(128, 64, 65, named),
         STATUS_INVALID_PARAMETER},
        {"set data size wrapping around", IRP_MN_CHANGE_SINGLE_INSTANCE, single(128, 64, 0xFFFFFFF0, named),
         STATUS_INVALID_PARAMETER},
        {"method item shorter than its header", IRP_MN_EXECUTE_METHOD, std::vector<UCHAR>(60, Poison),
         STATUS_INVALID_PARAMETER},
        {"control without a header", IRP_MN_ENABLE_EVENTS, std::vector<UCHAR>(40, Poison), STATUS_INVALID_PARAMETER},
        {"single item without a set handler", IRP_MN_CHANGE_SINGLE_ITEM, item, STATUS_WMI_READ_ONLY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        queries.clear();
        setData = {0xEE};
        plat::WmiExchange e = Send(c.minor, kFirstGuid, c.buffer);
        EXPECT_EQ(c.status, e.status);
        EXPECT_EQ(0u, e.information);
        EXPECT_EQ(IrpNotCompleted, dispositions.back());
        EXPECT_EQ(c.buffer, e.buffer);
        EXPECT_TRUE(queries.empty());
        EXPECT_EQ(std::vector<UCHAR>{0xEE}, setData);
    }
}

TEST_F(WmiLibTest, EventAndCollectionControlReachTheHandlerOrSucceedWithoutOne)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    EXPECT_EQ(STATUS_SUCCESS, plat::WmiEnableEvents(device, kSecondGuid, true).status);
    EXPECT_EQ(STATUS_SUCCESS, plat::WmiEnableEvents(device, kFirstGuid, false).status);
    EXPECT_EQ(STATUS_SUCCESS, plat::WmiEnableCollection(device, kSecondGuid, true).status);
    EXPECT_EQ(STATUS_SUCCESS, plat::WmiEnableCollection(device, kSecondGuid, false).status);
    EXPECT_EQ((std::vector<Control>{{1, WmiEventControl, true},
                                    {0, WmiEventControl, false},
                                    {1, WmiDataBlockControl, true},
                                    {1, WmiDataBlockControl, false}}),
              controls);
    context.WmiFunctionControl = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, plat::WmiEnableEvents(device, kFirstGuid, true).status);
    EXPECT_EQ(IrpNotCompleted, dispositions.back());
    EXPECT_EQ(4u, controls.size());
}

TEST_F(WmiLibTest, ClientAsksOnlyProvidersThatRegisteredTheGuid)
{
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, plat::WmiQueryAllData(kFirstGuid).status);
    ASSERT_EQ(STATUS_SUCCESS, Register());
    plat::WmiResult other = plat::WmiQueryAllData(kOtherGuid);
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, other.status);
    EXPECT_TRUE(other.exchanges.empty());
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, plat::WmiQuerySingleInstance(device, kOtherGuid, 0).status);
    // Blocked requests are not sent.
    EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(device, WMIREG_ACTION_BLOCK_IRPS));
    plat::WmiResult blocked = plat::WmiQueryAllData(kFirstGuid);
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, blocked.status);
    EXPECT_TRUE(blocked.exchanges.empty());
}

TEST_F(WmiLibTest, AWmiRequestReachingAStackThatAskedToBlockThemIsReported)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    ASSERT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(device, WMIREG_ACTION_BLOCK_IRPS));
    std::vector<UCHAR> buffer(64);
    // The service's own path does not send it...
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND,
              plat::SendWmiIrp(device, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(device), nullptr, buffer)
                  .status);
    // ... and one that arrives all the same is a fault.
    plat::ScopedVerifierCapture capture;
    plat::SendPlatformRequest(device, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, {});
    ASSERT_EQ(1u, capture.Messages().size());
    EXPECT_TRUE(capture.Contains("after it asked to block WMI requests")) << capture.Messages()[0];
}

TEST_F(WmiLibTest, UpdateReplacesTheGuidsAndDeregistrationForgetsThem)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    guids.push_back({&kOtherGuid, 2, 0});
    sizes.push_back({1, 1});
    context.GuidCount = 3;
    context.GuidList = guids.data();
    EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(device, WMIREG_ACTION_UPDATE_GUIDS));
    ASSERT_EQ(3u, plat::FindWmiRegistration(device)->guids.size());
    EXPECT_EQ(2u, plat::WmiQueryAllData(kOtherGuid).instances.size());
    // A failed update keeps what the service knew.
    context.QueryWmiRegInfo = nullptr;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoWMIRegistrationControl(device, WMIREG_ACTION_UPDATE_GUIDS));
    EXPECT_EQ(3u, plat::FindWmiRegistration(device)->guids.size());
    EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER));
    EXPECT_FALSE(plat::WmiRegistered(device));
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, plat::WmiQueryAllData(kOtherGuid).status);
}

TEST_F(WmiLibTest, DeregistrationWaitsForARequestAlreadyAtTheDevice)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    holdQueries = true;
    plat::WmiResult answer;
    auto &scheduler = plat::Scheduler::Get();
    plat::SimThread *consumer = scheduler.CreateThread("consumer", [&] { answer = plat::WmiQueryAllData(kSecondGuid); });
    bool deregistered = false;
    plat::SimThread *remover = nullptr;
    LARGE_INTEGER tick;
    tick.QuadPart = -10000;  // 1 ms
    while (!held)
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
    remover = scheduler.CreateThread("remover", [&] {
        EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER));
        deregistered = true;
    });
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
    EXPECT_FALSE(deregistered);
    EXPECT_TRUE(plat::WmiRegistered(device));

    // One instance: its data starts after one offset/length pair, at 72.
    auto *wnode = static_cast<PUCHAR>(IoGetCurrentIrpStackLocation(held)->Parameters.WMI.Buffer);
    memset(wnode + 72, 0x44, 4);
    reinterpret_cast<PULONG>(wnode + kPairs)[0] = 4;
    WmiCompleteRequest(device, held, STATUS_SUCCESS, 4, IO_NO_INCREMENT);
    scheduler.Join(remover);
    scheduler.Join(consumer);
    EXPECT_TRUE(deregistered);
    EXPECT_EQ(STATUS_SUCCESS, answer.status);
    ASSERT_EQ(1u, answer.instances.size());
    EXPECT_EQ(std::vector<UCHAR>(4, 0x44), answer.instances[0].data);
}

TEST_F(WmiLibTest, DeviceStillRegisteredAtShutdownIsReported)
{
    ASSERT_EQ(STATUS_SUCCESS, Register());
    plat::ScopedVerifierCapture capture;
    plat::WmiReset();
    EXPECT_TRUE(capture.Contains("\\Device\\WmiTest' was still registered with WMI"));
    EXPECT_FALSE(plat::WmiRegistered(device));
}

TEST_F(WmiLibTest, QueryTextNamesWhatIsMissing)
{
    EXPECT_EQ((std::vector<std::string>{"wmi: no device registered MSSerial_CommInfo "
                                        "{EDB16A62-B16C-11D1-BD98-00A0C906BE2D}"}),
              plat::WmiQueryText("msserial_comminfo"));
    std::vector<std::string> unknown = plat::WmiQueryText("MSSerial_Nothing");
    ASSERT_EQ(1u, unknown.size());
    EXPECT_EQ(0u, unknown[0].find("wmi: unknown class MSSerial_Nothing (known: MSSerial_PortName, "));
    // Class names are matched without regard to case.
    EXPECT_EQ(plat::kMSSerialClasses[4].guid, plat::WmiClassGuid("msserial_commproperties").value());
}

}  // namespace
