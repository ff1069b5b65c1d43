// The WMI consumer: queries, sets, methods and event or collection control,
// sent to registered providers as the WMI service sends them, and the text
// form of a class query for the simulator.
#include "wmi/WmiClient.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "io/IoManager.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"
#include "wmi/Wmi.h"

namespace plat {

const WmiClass kMSSerialClasses[5] = {
    {"MSSerial_PortName", {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_CommInfo", {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_HardwareConfiguration", {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_PerformanceInformation", {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}}},
    {"MSSerial_CommProperties", {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}}},
};

namespace {

constexpr ULONG Align8(ULONG value) { return (value + 7) & ~ULONG(7); }
constexpr ULONG kPairsOffset = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
constexpr ULONG kSingleInstanceData = Align8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
constexpr ULONG kMethodItemData = Align8(offsetof(WNODE_METHOD_ITEM, VariableData));
constexpr int kQueryAttempts = 4;

const WmiClass *ClassNamed(std::string_view name)
{
    for (const auto &c : kMSSerialClasses) {
        std::string_view candidate = c.name;
        if (candidate.size() == name.size() &&
            std::equal(name.begin(), name.end(), candidate.begin(),
                       [](char a, char b) { return std::tolower(UCHAR(a)) == std::tolower(UCHAR(b)); }))
            return &c;
    }
    return nullptr;
}

std::vector<UCHAR> Poisoned(ULONG size) { return std::vector<UCHAR>(size, kWmiPoison); }

template <typename T> T &At(std::vector<UCHAR> &buffer) { return *reinterpret_cast<T *>(buffer.data()); }
template <typename T> const T &At(const std::vector<UCHAR> &buffer) { return *reinterpret_cast<const T *>(buffer.data()); }

void InitHeader(WNODE_HEADER &header, const GUID &guid, ULONG size, ULONG flags)
{
    memset(&header, 0, sizeof header);
    header.BufferSize = size;
    header.Guid = guid;
    header.Flags = flags;
}

// The provider's registration of the GUID, when it may be asked about it.
const WmiGuidRegistration *RegisteredGuid(PDEVICE_OBJECT device, const GUID &guid)
{
    const WmiRegistration *registration = FindWmiRegistration(device);
    if (!registration || registration->blocked)
        return nullptr;
    for (const auto &g : registration->guids)
        if (IsEqualGUID(g.guid, guid))
            return &g;
    return nullptr;
}

WmiResult NotFound()
{
    WmiResult result;
    result.status = STATUS_WMI_GUID_NOT_FOUND;
    return result;
}

bool Within(ULONGLONG offset, ULONGLONG length, ULONG_PTR limit) { return offset + length <= limit; }

NTSTATUS Malformed(const WmiExchange &exchange, const std::string &what)
{
    VerifierFail("WMI", "malformed answer from '" + ToUtf8(&exchange.device->DriverObject->DriverName) + "': " + what);
    return STATUS_INVALID_PARAMETER;
}

// The instances of an all-data answer.
NTSTATUS ParseAllData(const WmiExchange &exchange, const WmiGuidRegistration &g, std::vector<WmiInstance> &out)
{
    const auto &buffer = exchange.buffer;
    ULONG_PTR size = exchange.information;
    if (size < kPairsOffset || size > buffer.size())
        return Malformed(exchange, "all-data answer of " + std::to_string(size) + " bytes");
    const auto &wnode = At<WNODE_ALL_DATA>(buffer);
    bool fixed = wnode.WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE;
    if (!fixed && !Within(kPairsOffset, ULONGLONG(wnode.InstanceCount) * sizeof(OFFSETINSTANCEDATAANDLENGTH), size))
        return Malformed(exchange, "instance table beyond the answer");
    for (ULONG i = 0; i < wnode.InstanceCount; ++i) {
        ULONGLONG offset, length;
        if (fixed) {
            length = wnode.FixedInstanceSize;
            offset = wnode.DataBlockOffset + ULONGLONG(i) * Align8(wnode.FixedInstanceSize);
        } else {
            OFFSETINSTANCEDATAANDLENGTH pair;
            memcpy(&pair, buffer.data() + kPairsOffset + i * sizeof pair, sizeof pair);
            offset = pair.OffsetInstanceData;
            length = pair.LengthInstanceData;
        }
        if (!Within(offset, length, size))
            return Malformed(exchange, "instance " + std::to_string(i) + " beyond the answer");
        WmiInstance instance;
        instance.device = exchange.device;
        instance.index = i;
        instance.name = WmiInstanceName(g, exchange.device, i);
        instance.data.assign(buffer.begin() + offset, buffer.begin() + offset + length);
        out.push_back(std::move(instance));
    }
    return STATUS_SUCCESS;
}

// The data block of a single-instance or method answer, at DataBlockOffset
// with SizeDataBlock bytes (the two records share those fields' meaning).
template <typename Wnode>
NTSTATUS ParseBlock(const WmiExchange &exchange, std::vector<UCHAR> &out)
{
    ULONG_PTR size = exchange.information;
    if (size < offsetof(Wnode, VariableData) || size > exchange.buffer.size())
        return Malformed(exchange, "answer of " + std::to_string(size) + " bytes");
    const auto &wnode = At<Wnode>(exchange.buffer);
    if (!Within(wnode.DataBlockOffset, wnode.SizeDataBlock, size))
        return Malformed(exchange, "data block beyond the answer");
    out.assign(exchange.buffer.begin() + wnode.DataBlockOffset,
               exchange.buffer.begin() + wnode.DataBlockOffset + wnode.SizeDataBlock);
    return STATUS_SUCCESS;
}

// Sends the request that build makes for a buffer size, again with the size
// a too-small answer names; the last answer, or a failure status.
template <typename Build>
NTSTATUS Ask(PDEVICE_OBJECT device, UCHAR minor, const GUID &guid, ULONG size, Build build, WmiResult &result)
{
    GUID path = guid;
    size = std::max<ULONG>(size, sizeof(WNODE_TOO_SMALL));
    for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
        result.exchanges.push_back(
            WmiSendRequest(device, minor, reinterpret_cast<ULONG_PTR>(device), &path, build(size)));
        const WmiExchange &exchange = result.exchanges.back();
        if (!NT_SUCCESS(exchange.status) || !exchange.tooSmall)
            return exchange.status;
        // An answer that asks for no more than it had gives no way forward.
        if (exchange.sizeNeeded <= size)
            return STATUS_BUFFER_TOO_SMALL;
        size = exchange.sizeNeeded;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

WmiResult Control(PDEVICE_OBJECT device, const GUID &guid, UCHAR minor)
{
    if (!RegisteredGuid(device, guid))
        return NotFound();
    std::vector<UCHAR> buffer = Poisoned(sizeof(WNODE_HEADER));
    InitHeader(At<WNODE_HEADER>(buffer), guid, sizeof(WNODE_HEADER), 0);
    GUID path = guid;
    WmiResult result;
    result.exchanges.push_back(
        WmiSendRequest(device, minor, reinterpret_cast<ULONG_PTR>(device), &path, std::move(buffer)));
    result.status = result.exchanges.back().status;
    return result;
}

std::string Hex(const std::vector<UCHAR> &data)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        if (i)
            text += ' ';
        text += byte;
    }
    return text;
}

// A counted string: a USHORT byte count, then the characters; trailing NULs
// are not part of the name.
std::string CountedText(const std::vector<UCHAR> &data)
{
    if (data.size() < sizeof(USHORT))
        return "";
    USHORT bytes;
    memcpy(&bytes, data.data(), sizeof bytes);
    size_t units = std::min<size_t>(bytes, data.size() - sizeof(USHORT)) / sizeof(char16_t);
    std::u16string text(units, u'\0');
    memcpy(text.data(), data.data() + sizeof(USHORT), units * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return ToUtf8(text);
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

std::optional<GUID> WmiClassGuid(std::string_view className)
{
    const WmiClass *c = ClassNamed(className);
    return c ? std::optional<GUID>(c->guid) : std::nullopt;
}

std::string WmiGuidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

WmiExchange WmiSendRequest(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath,
                           std::vector<UCHAR> buffer)
{
    WmiExchange exchange;
    exchange.device = device;
    exchange.minor = minor;
    exchange.bufferSize = static_cast<ULONG>(buffer.size());
    WmiIrpStatus answer = SendWmiIrp(device, minor, providerId, dataPath, buffer);
    exchange.status = answer.status;
    exchange.information = answer.information;
    bool query = minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
                 minor == IRP_MN_EXECUTE_METHOD;
    if (query && NT_SUCCESS(answer.status) && answer.information >= sizeof(WNODE_TOO_SMALL) &&
        buffer.size() >= sizeof(WNODE_TOO_SMALL) && (At<WNODE_HEADER>(buffer).Flags & WNODE_FLAG_TOO_SMALL)) {
        exchange.tooSmall = true;
        exchange.sizeNeeded = At<WNODE_TOO_SMALL>(buffer).SizeNeeded;
    }
    exchange.buffer = std::move(buffer);
    return exchange;
}

std::vector<UCHAR> WmiAllDataRequest(const GUID &guid, ULONG size)
{
    std::vector<UCHAR> buffer = Poisoned(std::max<ULONG>(size, sizeof(WNODE_HEADER)));
    InitHeader(At<WNODE_HEADER>(buffer), guid, size, WNODE_FLAG_ALL_DATA);
    buffer.resize(size);
    return buffer;
}

std::vector<UCHAR> WmiSingleInstanceRequest(const GUID &guid, ULONG instanceIndex, ULONG size,
                                            const std::vector<UCHAR> &data)
{
    size = std::max<ULONG>(size, kSingleInstanceData + static_cast<ULONG>(data.size()));
    std::vector<UCHAR> buffer = Poisoned(size);
    auto &wnode = At<WNODE_SINGLE_INSTANCE>(buffer);
    InitHeader(wnode.WnodeHeader, guid, size, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    wnode.OffsetInstanceName = 0;
    wnode.InstanceIndex = instanceIndex;
    wnode.DataBlockOffset = kSingleInstanceData;
    wnode.SizeDataBlock = static_cast<ULONG>(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + kSingleInstanceData);
    return buffer;
}

WmiResult WmiQueryAllData(const GUID &guid, ULONG firstBufferSize)
{
    WmiResult result;
    result.status = STATUS_WMI_GUID_NOT_FOUND;
    // The list may change while requests are out: each provider is checked
    // again just before it is asked.
    for (const WmiRegistration &registration : WmiRegistrations()) {
        const WmiGuidRegistration *g = RegisteredGuid(registration.device, guid);
        if (!g)
            continue;
        WmiGuidRegistration registered = *g;
        NTSTATUS status = Ask(registration.device, IRP_MN_QUERY_ALL_DATA, guid, firstBufferSize,
                              [&](ULONG size) { return WmiAllDataRequest(guid, size); }, result);
        if (NT_SUCCESS(status))
            status = ParseAllData(result.exchanges.back(), registered, result.instances);
        if (result.status == STATUS_WMI_GUID_NOT_FOUND || (NT_SUCCESS(result.status) && !NT_SUCCESS(status)))
            result.status = status;
    }
    return result;
}

WmiResult WmiQueryAllData(std::string_view className, ULONG firstBufferSize)
{
    std::optional<GUID> guid = WmiClassGuid(className);
    return guid ? WmiQueryAllData(*guid, firstBufferSize) : NotFound();
}

WmiResult WmiQuerySingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex, ULONG firstBufferSize)
{
    const WmiGuidRegistration *g = RegisteredGuid(device, guid);
    if (!g)
        return NotFound();
    WmiGuidRegistration registered = *g;
    WmiResult result;
    result.status = Ask(device, IRP_MN_QUERY_SINGLE_INSTANCE, guid, firstBufferSize,
                        [&](ULONG size) { return WmiSingleInstanceRequest(guid, instanceIndex, size); }, result);
    if (NT_SUCCESS(result.status)) {
        WmiInstance instance;
        instance.device = device;
        instance.index = instanceIndex;
        instance.name = WmiInstanceName(registered, device, instanceIndex);
        result.status = ParseBlock<WNODE_SINGLE_INSTANCE>(result.exchanges.back(), instance.data);
        if (NT_SUCCESS(result.status))
            result.instances.push_back(std::move(instance));
    }
    return result;
}

WmiResult WmiSetSingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex,
                               const std::vector<UCHAR> &data)
{
    if (!RegisteredGuid(device, guid))
        return NotFound();
    GUID path = guid;
    WmiResult result;
    result.exchanges.push_back(WmiSendRequest(device, IRP_MN_CHANGE_SINGLE_INSTANCE,
                                              reinterpret_cast<ULONG_PTR>(device), &path,
                                              WmiSingleInstanceRequest(guid, instanceIndex, 0, data)));
    result.status = result.exchanges.back().status;
    return result;
}

WmiResult WmiExecuteMethod(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex, ULONG methodId,
                           const std::vector<UCHAR> &input, ULONG outputSize)
{
    if (!RegisteredGuid(device, guid))
        return NotFound();
    auto build = [&](ULONG size) {
        std::vector<UCHAR> buffer = Poisoned(size);
        auto &wnode = At<WNODE_METHOD_ITEM>(buffer);
        InitHeader(wnode.WnodeHeader, guid, size, WNODE_FLAG_METHOD_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
        wnode.OffsetInstanceName = 0;
        wnode.InstanceIndex = instanceIndex;
        wnode.MethodId = methodId;
        wnode.DataBlockOffset = kMethodItemData;
        wnode.SizeDataBlock = static_cast<ULONG>(input.size());
        std::copy(input.begin(), input.end(), buffer.begin() + kMethodItemData);
        return buffer;
    };
    ULONG first = kMethodItemData + static_cast<ULONG>(std::max<size_t>(input.size(), outputSize));
    WmiResult result;
    result.status = Ask(device, IRP_MN_EXECUTE_METHOD, guid, first, build, result);
    if (NT_SUCCESS(result.status))
        result.status = ParseBlock<WNODE_METHOD_ITEM>(result.exchanges.back(), result.output);
    return result;
}

WmiResult WmiEnableEvents(PDEVICE_OBJECT device, const GUID &guid, bool enable)
{
    return Control(device, guid, enable ? IRP_MN_ENABLE_EVENTS : IRP_MN_DISABLE_EVENTS);
}

WmiResult WmiEnableCollection(PDEVICE_OBJECT device, const GUID &guid, bool enable)
{
    return Control(device, guid, enable ? IRP_MN_ENABLE_COLLECTION : IRP_MN_DISABLE_COLLECTION);
}

std::vector<std::string> WmiQueryText(std::string_view className)
{
    const WmiClass *c = ClassNamed(className);
    if (!c) {
        std::string known;
        for (const auto &k : kMSSerialClasses)
            known += std::string(known.empty() ? "" : ", ") + k.name;
        return {"wmi: unknown class " + std::string(className) + " (known: " + known + ")"};
    }
    WmiResult result = WmiQueryAllData(c->guid);
    if (result.status == STATUS_WMI_GUID_NOT_FOUND && result.exchanges.empty())
        return {"wmi: no device registered " + std::string(c->name) + " " + WmiGuidText(c->guid)};
    std::vector<std::string> lines;
    bool portName = IsEqualGUID(c->guid, kMSSerialClasses[0].guid);
    for (const WmiInstance &instance : result.instances) {
        std::string line = ToUtf8(instance.name) + " " + ToUtf8(HeaderOf(instance.device)->name) + " " +
                           std::to_string(instance.data.size()) + " bytes:";
        if (!instance.data.empty())
            line += " " + Hex(instance.data);
        if (portName)
            line += " PortName \"" + CountedText(instance.data) + "\"";
        lines.push_back(std::move(line));
    }
    if (!NT_SUCCESS(result.status))
        lines.push_back("wmi: query of " + std::string(c->name) + " failed with status " + StatusText(result.status));
    else if (lines.empty())
        lines.push_back("wmi: " + std::string(c->name) + " has no instances");
    return lines;
}

}  // namespace plat
