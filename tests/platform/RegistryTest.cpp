// The simulated registry through the kernel's Zw and Rtl calls and through
// its text form: query buffer rules, access per handle, relative opens,
// create disposition, deletion, export spelling, exact import/export round
// trips, the state file and fault injection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

#include "cm/Hive.h"
#include "ob/HandleTable.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

using namespace std::string_view_literals;
using plat::cm::Registry;

namespace {

constexpr UCHAR Poison = 0x55;

// A UNICODE_STRING over owned text.
struct CountedText {
    std::u16string text;
    UNICODE_STRING string{};

    explicit CountedText(std::u16string_view value) : text(value)
    {
        string.Buffer = plat::W(text.data());
        string.Length = string.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    }
    CountedText(const CountedText &) = delete;
    PUNICODE_STRING get() { return &string; }
};

std::vector<uint8_t> Utf16(std::u16string_view text)
{
    std::vector<uint8_t> bytes(text.size() * 2);
    if (!bytes.empty())
        std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::vector<uint8_t> Utf16z(std::u16string_view text)
{
    auto bytes = Utf16(text);
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<uint8_t> Le32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

bool AllPoison(const std::vector<uint8_t> &buffer, size_t from)
{
    for (size_t i = from; i < buffer.size(); ++i)
        if (buffer[i] != Poison)
            return false;
    return true;
}

// Registry contents with every data byte, subkeys sorted by name, so that two
// trees built in different orders compare equal.
void Dump(const plat::cm::Key *key, std::string *out)
{
    *out += plat::ToUtf8(key->Path()) + (key->IsVolatile() ? " (volatile)" : "") + "\n";
    for (const auto &value : key->Values()) {
        char head[64];
        std::snprintf(head, sizeof head, "] type %x size %zu:", value.type, value.data.size());
        *out += "  [" + plat::ToUtf8(value.name) + head;
        for (uint8_t b : value.data) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", b);
            *out += hex;
        }
        *out += "\n";
    }
    std::vector<const plat::cm::Key *> subkeys;
    for (const auto &subkey : key->Subkeys())
        subkeys.push_back(subkey.get());
    std::sort(subkeys.begin(), subkeys.end(), [](const auto *a, const auto *b) {
        return plat::Upcase(a->Name()) < plat::Upcase(b->Name());
    });
    for (const auto *subkey : subkeys)
        Dump(subkey, out);
}

std::string DumpAll()
{
    std::string out;
    Dump(Registry().Root(), &out);
    return out;
}

NTSTATUS Open(HANDLE *key, std::u16string_view name, ACCESS_MASK access = KEY_ALL_ACCESS,
                     HANDLE root = nullptr)
{
    CountedText text(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, text.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS Create(HANDLE *key, std::u16string_view name, ACCESS_MASK access = KEY_ALL_ACCESS,
                       HANDLE root = nullptr, ULONG options = REG_OPTION_NON_VOLATILE,
                       ULONG *disposition = nullptr)
{
    CountedText text(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, text.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwCreateKey(key, access, &attributes, 0, nullptr, options, disposition);
}

HANDLE OpenOrFail(std::u16string_view name, ACCESS_MASK access = KEY_ALL_ACCESS)
{
    HANDLE key = nullptr;
    EXPECT_EQ(Open(&key, name, access), STATUS_SUCCESS) << plat::ToUtf8(name);
    return key;
}

NTSTATUS Set(HANDLE key, std::u16string_view name, ULONG type, std::vector<uint8_t> data)
{
    CountedText text(name);
    return ZwSetValueKey(key, text.get(), 0, type, data.empty() ? nullptr : data.data(),
                         static_cast<ULONG>(data.size()));
}

// The value's type and data through KeyValuePartialInformation; status on failure.
NTSTATUS Query(HANDLE key, std::u16string_view name, ULONG *type, std::vector<uint8_t> *data)
{
    CountedText text(name);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, text.get(), KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL)
        return status;
    std::vector<uint8_t> buffer(needed);
    status = ZwQueryValueKey(key, text.get(), KeyValuePartialInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(status))
        return status;
    KEY_VALUE_PARTIAL_INFORMATION info;
    std::memcpy(&info, buffer.data(), FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
    *type = info.Type;
    data->assign(buffer.begin() + FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data), buffer.end());
    return STATUS_SUCCESS;
}

// Each key of the tree built by BuildTree holds its own path in "Path".
std::string PathValue(HANDLE key)
{
    ULONG type = 0;
    std::vector<uint8_t> data;
    if (Query(key, u"Path", &type, &data) != STATUS_SUCCESS || data.size() < 2)
        return "<no Path value>";
    return plat::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2 - 1));
}

void BuildTree(std::initializer_list<std::u16string_view> paths)
{
    for (auto path : paths) {
        ASSERT_TRUE(Registry().Create(path)) << plat::ToUtf8(path);
        Registry().SetString(path, u"Path", path);
    }
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Registry().Clear();
        plat::ResetHandleTable();
        plat::ClearFaults();
    }
    void TearDown() override { plat::ClearFaults(); }
};

//
// ZwQueryValueKey and the enumerations: buffer rules
//

struct BufferCase {
    const char *label;
    KEY_VALUE_INFORMATION_CLASS informationClass;
    ULONG fixedSize;  // the record without its name and data
    ULONG neededSize;
};

// Value "Speed" (10 bytes of name) of REG_BINARY 01..06 (6 bytes).
const BufferCase kBufferCases[] = {
    {"basic", KeyValueBasicInformation, 12, 22},
    {"partial", KeyValuePartialInformation, 12, 18},
    {"full", KeyValueFullInformation, 20, 38},  // data at 32, the ULONG boundary after the name
};

TEST_F(RegistryTest, QueryValueFollowsTheBufferRulesOfEachClass)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\Vex"), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"Speed", REG_BINARY, {1, 2, 3, 4, 5, 6}), STATUS_SUCCESS);
    CountedText name(u"Speed");

    for (const auto &c : kBufferCases) {
        for (ULONG length : {0u, c.fixedSize - 1, c.fixedSize, c.neededSize - 1, c.neededSize, c.neededSize + 8}) {
            SCOPED_TRACE(std::string(c.label) + " length " + std::to_string(length));
            std::vector<uint8_t> buffer(64, Poison);
            ULONG result = 0x55555555;
            NTSTATUS status = ZwQueryValueKey(key, name.get(), c.informationClass, buffer.data(), length, &result);
            EXPECT_EQ(result, c.neededSize);
            if (length < c.fixedSize) {
                EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
                EXPECT_TRUE(AllPoison(buffer, 0));
                continue;
            }
            EXPECT_EQ(status, length < c.neededSize ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS);
            EXPECT_TRUE(AllPoison(buffer, length < c.neededSize ? c.fixedSize : c.neededSize));
            const uint8_t *record = buffer.data();
            bool complete = length >= c.neededSize;
            switch (c.informationClass) {
            case KeyValueBasicInformation: {
                KEY_VALUE_BASIC_INFORMATION info;
                std::memcpy(&info, record, c.fixedSize);
                EXPECT_EQ(info.TitleIndex, 0u);
                EXPECT_EQ(info.Type, ULONG(REG_BINARY));
                EXPECT_EQ(info.NameLength, 10u);
                if (complete) {
                    EXPECT_EQ(plat::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t *>(record + 12), 5)),
                              "Speed");
                }
                break;
            }
            case KeyValuePartialInformation: {
                KEY_VALUE_PARTIAL_INFORMATION info;
                std::memcpy(&info, record, c.fixedSize);
                EXPECT_EQ(info.Type, ULONG(REG_BINARY));
                EXPECT_EQ(info.DataLength, 6u);
                if (complete) {
                    EXPECT_EQ(std::vector<uint8_t>(record + 12, record + 18), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
                }
                break;
            }
            case KeyValueFullInformation: {
                KEY_VALUE_FULL_INFORMATION info;
                std::memcpy(&info, record, c.fixedSize);
                EXPECT_EQ(info.Type, ULONG(REG_BINARY));
                EXPECT_EQ(info.DataOffset, 32u);
                EXPECT_EQ(info.DataLength, 6u);
                EXPECT_EQ(info.NameLength, 10u);
                if (complete) {
                    EXPECT_EQ(plat::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t *>(record + 20), 5)),
                              "Speed");
                    EXPECT_EQ(std::vector<uint8_t>(record + 32, record + 38), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
                }
                break;
            }
            }
        }
    }

    // The size probe drivers make: no buffer at all.
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 18u);
}

TEST_F(RegistryTest, QueryFindsTheDefaultValueAndNamesCaseInsensitively)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\Vex"), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"", REG_DWORD, Le32(7)), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"PortName", REG_SZ, Utf16z(u"COM3")), STATUS_SUCCESS);

    std::vector<uint8_t> buffer(32, Poison);
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(key, nullptr, KeyValuePartialInformation, buffer.data(), 32, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 12, buffer.begin() + 16), Le32(7));

    ULONG type = 0;
    std::vector<uint8_t> data;
    EXPECT_EQ(Query(key, u"", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Le32(7));
    EXPECT_EQ(Query(key, u"PORTNAME", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(REG_SZ));
    EXPECT_EQ(data, Utf16z(u"COM3"));

    // A missing value writes nothing at all.
    CountedText missing(u"Missing");
    std::fill(buffer.begin(), buffer.end(), Poison);
    result = 0x55555555;
    EXPECT_EQ(ZwQueryValueKey(key, missing.get(), KeyValueFullInformation, buffer.data(), 32, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0x55555555u);
    EXPECT_TRUE(AllPoison(buffer, 0));
}

TEST_F(RegistryTest, EnumerationKeepsCreationOrderAndEndsWithNoMoreEntries)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\Vex"), STATUS_SUCCESS);
    for (auto name : {u"Gamma"sv, u"alpha"sv, u"Beta"sv}) {
        HANDLE subkey = nullptr;
        ASSERT_EQ(Create(&subkey, name, KEY_ALL_ACCESS, key), STATUS_SUCCESS);
        ZwClose(subkey);
    }
    ASSERT_EQ(Set(key, u"Second", REG_DWORD, Le32(2)), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"First", REG_DWORD, Le32(1)), STATUS_SUCCESS);
    // Overwriting keeps the value's place and its first spelling.
    ASSERT_EQ(Set(key, u"SECOND", REG_SZ, Utf16z(u"two")), STATUS_SUCCESS);

    std::vector<std::string> subkeys;
    for (ULONG i = 0;; ++i) {
        std::vector<uint8_t> buffer(64, Poison);
        ULONG result = 0;
        NTSTATUS status = ZwEnumerateKey(key, i, KeyBasicInformation, buffer.data(), 64, &result);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        KEY_BASIC_INFORMATION info;
        std::memcpy(&info, buffer.data(), FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
        EXPECT_EQ(result, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) + info.NameLength);
        subkeys.push_back(plat::ToUtf8(std::u16string_view(
            reinterpret_cast<const char16_t *>(buffer.data() + FIELD_OFFSET(KEY_BASIC_INFORMATION, Name)),
            info.NameLength / 2)));
    }
    EXPECT_EQ(subkeys, (std::vector<std::string>{"Gamma", "alpha", "Beta"}));

    std::vector<std::string> values;
    for (ULONG i = 0;; ++i) {
        std::vector<uint8_t> buffer(64, Poison);
        ULONG result = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, i, KeyValueFullInformation, buffer.data(), 64, &result);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        KEY_VALUE_FULL_INFORMATION info;
        std::memcpy(&info, buffer.data(), FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
        values.push_back(plat::ToUtf8(std::u16string_view(
                             reinterpret_cast<const char16_t *>(buffer.data() + 20), info.NameLength / 2)) +
                         " type " + std::to_string(info.Type));
    }
    EXPECT_EQ(values, (std::vector<std::string>{"Second type 1", "First type 4"}));
}

TEST_F(RegistryTest, EnumerateKeyFollowsTheBufferRules)
{
    ASSERT_TRUE(Registry().Create(u"\\Registry\\Machine\\Vex\\Alpha"));
    HANDLE key = OpenOrFail(u"\\Registry\\Machine\\Vex", KEY_READ);
    constexpr ULONG fixed = 16, needed = 26;  // "Alpha" is 10 bytes
    for (ULONG length : {0u, fixed - 1, fixed, needed - 1, needed}) {
        SCOPED_TRACE("length " + std::to_string(length));
        std::vector<uint8_t> buffer(48, Poison);
        ULONG result = 0;
        NTSTATUS status = ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), length, &result);
        EXPECT_EQ(result, needed);
        EXPECT_EQ(status, length < fixed    ? STATUS_BUFFER_TOO_SMALL
                          : length < needed ? STATUS_BUFFER_OVERFLOW
                                            : STATUS_SUCCESS);
        EXPECT_TRUE(AllPoison(buffer, length < fixed ? 0 : length < needed ? fixed : needed));
    }
    std::vector<uint8_t> buffer(48, Poison);
    ULONG result = 0x55555555;
    EXPECT_EQ(ZwEnumerateKey(key, 1, KeyBasicInformation, buffer.data(), 48, &result), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer.data(), 48, &result),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(result, 0x55555555u);
    EXPECT_TRUE(AllPoison(buffer, 0));
}

//
// Access rights per handle
//

enum class Operation { Query, Set, DeleteValue, EnumerateKeys, EnumerateValues, DeleteKey, CreateSubkey };

struct AccessCase {
    const char *mask;
    ACCESS_MASK access;
    Operation operation;
    NTSTATUS expected;
};

const AccessCase kAccessCases[] = {
    {"KEY_READ", KEY_READ, Operation::Query, STATUS_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::EnumerateKeys, STATUS_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::EnumerateValues, STATUS_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::Set, STATUS_ACCESS_DENIED},
    {"KEY_READ", KEY_READ, Operation::DeleteValue, STATUS_ACCESS_DENIED},
    {"KEY_READ", KEY_READ, Operation::DeleteKey, STATUS_ACCESS_DENIED},
    {"KEY_READ", KEY_READ, Operation::CreateSubkey, STATUS_ACCESS_DENIED},
    {"KEY_WRITE", KEY_WRITE, Operation::Set, STATUS_SUCCESS},
    {"KEY_WRITE", KEY_WRITE, Operation::DeleteValue, STATUS_SUCCESS},
    {"KEY_WRITE", KEY_WRITE, Operation::CreateSubkey, STATUS_SUCCESS},
    {"KEY_WRITE", KEY_WRITE, Operation::Query, STATUS_ACCESS_DENIED},
    {"KEY_WRITE", KEY_WRITE, Operation::EnumerateKeys, STATUS_ACCESS_DENIED},
    {"KEY_WRITE", KEY_WRITE, Operation::EnumerateValues, STATUS_ACCESS_DENIED},
    {"KEY_WRITE", KEY_WRITE, Operation::DeleteKey, STATUS_ACCESS_DENIED},
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, Operation::EnumerateValues, STATUS_SUCCESS},
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, Operation::EnumerateKeys, STATUS_ACCESS_DENIED},
    {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS, Operation::EnumerateKeys, STATUS_SUCCESS},
    {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS, Operation::Query, STATUS_ACCESS_DENIED},
    {"KEY_SET_VALUE", KEY_SET_VALUE, Operation::Set, STATUS_SUCCESS},
    {"KEY_SET_VALUE", KEY_SET_VALUE, Operation::CreateSubkey, STATUS_ACCESS_DENIED},
    {"KEY_CREATE_SUB_KEY", KEY_CREATE_SUB_KEY, Operation::CreateSubkey, STATUS_SUCCESS},
    {"KEY_CREATE_SUB_KEY", KEY_CREATE_SUB_KEY, Operation::Set, STATUS_ACCESS_DENIED},
    {"DELETE", DELETE, Operation::DeleteKey, STATUS_SUCCESS},
    {"DELETE", DELETE, Operation::Query, STATUS_ACCESS_DENIED},
    {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, Operation::Query, STATUS_SUCCESS},
    {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, Operation::Set, STATUS_SUCCESS},
    {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, Operation::DeleteKey, STATUS_SUCCESS},
    {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, Operation::CreateSubkey, STATUS_SUCCESS},
    {"GENERIC_READ", GENERIC_READ, Operation::Query, STATUS_SUCCESS},
    {"GENERIC_READ", GENERIC_READ, Operation::Set, STATUS_ACCESS_DENIED},
    {"GENERIC_WRITE", GENERIC_WRITE, Operation::Set, STATUS_SUCCESS},
    {"GENERIC_WRITE", GENERIC_WRITE, Operation::Query, STATUS_ACCESS_DENIED},
    {"GENERIC_ALL", GENERIC_ALL, Operation::DeleteKey, STATUS_SUCCESS},
};

TEST_F(RegistryTest, EachCallNeedsItsRightOnTheHandle)
{
    for (const auto &c : kAccessCases) {
        SCOPED_TRACE(std::string(c.mask) + " operation " + std::to_string(static_cast<int>(c.operation)));
        Registry().Clear();
        plat::ResetHandleTable();
        Registry().SetDword(u"\\Registry\\Machine\\Vex", u"Value", 1);
        Registry().SetDword(u"\\Registry\\Machine\\Vex\\Leaf", u"Value", 2);
        std::string before = DumpAll();
        // Key deletion works on the leaf; everything else on its parent.
        HANDLE key = OpenOrFail(c.operation == Operation::DeleteKey ? u"\\Registry\\Machine\\Vex\\Leaf"
                                                                    : u"\\Registry\\Machine\\Vex",
                                c.access);
        CountedText name(u"Value");
        std::vector<uint8_t> buffer(64, Poison);
        ULONG result = 0;
        HANDLE subkey = nullptr;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        switch (c.operation) {
        case Operation::Query:
            status = ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer.data(), 64, &result);
            break;
        case Operation::Set:
            status = Set(key, u"Value", REG_DWORD, Le32(9));
            break;
        case Operation::DeleteValue:
            status = ZwDeleteValueKey(key, name.get());
            break;
        case Operation::EnumerateKeys:
            status = ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), 64, &result);
            break;
        case Operation::EnumerateValues:
            status = ZwEnumerateValueKey(key, 0, KeyValuePartialInformation, buffer.data(), 64, &result);
            break;
        case Operation::DeleteKey:
            status = ZwDeleteKey(key);
            break;
        case Operation::CreateSubkey:
            status = Create(&subkey, u"New", KEY_READ, key);
            break;
        }
        EXPECT_EQ(status, c.expected);
        if (c.expected == STATUS_ACCESS_DENIED) {
            EXPECT_EQ(DumpAll(), before);
            EXPECT_TRUE(AllPoison(buffer, 0));
        }
    }
}

//
// Opening by full path and relative to a key handle
//

struct OpenCase {
    bool relative;  // relative to a KEY_READ handle on \Registry\Machine\Software
    std::u16string_view name;
    NTSTATUS expected;
    const char *opened;  // the key's own path
};

const OpenCase kOpenCases[] = {
    {false, u"\\Registry\\Machine\\Software\\Vex", STATUS_SUCCESS, "\\Registry\\Machine\\Software\\Vex"},
    {false, u"\\REGISTRY\\machine\\SOFTWARE\\vex\\ports\\", STATUS_SUCCESS, "\\Registry\\Machine\\Software\\Vex\\Ports"},
    {false, u"\\Registry\\Machine\\Software\\Caf\u00c9", STATUS_SUCCESS, "\\Registry\\Machine\\Software\\Caf\u00e9"},
    {false, u"\\Registry\\Machine\\Software\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
    {false, u"\\Registry\\Machine\\Missing\\Vex", STATUS_OBJECT_PATH_NOT_FOUND, nullptr},
    {false, u"\\Registry\\Machine\\\\Software", STATUS_OBJECT_NAME_INVALID, nullptr},
    {false, u"\\Device\\Serial0", STATUS_OBJECT_PATH_NOT_FOUND, nullptr},
    {false, u"Registry\\Machine\\Software", STATUS_OBJECT_PATH_SYNTAX_BAD, nullptr},
    {false, u"HKEY_LOCAL_MACHINE\\Software", STATUS_OBJECT_PATH_SYNTAX_BAD, nullptr},
    {false, u"", STATUS_OBJECT_PATH_SYNTAX_BAD, nullptr},
    {true, u"Vex", STATUS_SUCCESS, "\\Registry\\Machine\\Software\\Vex"},
    {true, u"vex\\PORTS\\com3", STATUS_SUCCESS, "\\Registry\\Machine\\Software\\Vex\\Ports\\COM3"},
    {true, u"Vex\\Ports\\", STATUS_SUCCESS, "\\Registry\\Machine\\Software\\Vex\\Ports"},
    {true, u"", STATUS_SUCCESS, "\\Registry\\Machine\\Software"},
    {true, u"\\Vex", STATUS_OBJECT_PATH_SYNTAX_BAD, nullptr},
    {true, u"Vex\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
    {true, u"Missing\\Ports", STATUS_OBJECT_PATH_NOT_FOUND, nullptr},
};

TEST_F(RegistryTest, OpensByFullPathAndRelativeToAKeyHandle)
{
    BuildTree({u"\\Registry\\Machine\\Software", u"\\Registry\\Machine\\Software\\Vex",
               u"\\Registry\\Machine\\Software\\Vex\\Ports", u"\\Registry\\Machine\\Software\\Vex\\Ports\\COM3",
               u"\\Registry\\Machine\\Software\\Caf\u00e9"});
    HANDLE software = OpenOrFail(u"\\Registry\\Machine\\Software", KEY_READ);
    for (const auto &c : kOpenCases) {
        SCOPED_TRACE((c.relative ? "relative " : "absolute ") + plat::ToUtf8(c.name));
        HANDLE key = reinterpret_cast<HANDLE>(0x5555);
        NTSTATUS status = Open(&key, c.name, KEY_READ, c.relative ? software : nullptr);
        EXPECT_EQ(status, c.expected);
        if (!c.opened) {
            EXPECT_EQ(key, nullptr);
            continue;
        }
        EXPECT_EQ(PathValue(key), c.opened);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
}

TEST_F(RegistryTest, RelativeOpenNeedsALiveKeyHandleAsRoot)
{
    Registry().Create(u"\\Registry\\Machine\\Vex\\Sub");
    HANDLE key = nullptr;
    EXPECT_EQ(Open(&key, u"Sub", KEY_READ, reinterpret_cast<HANDLE>(0x1230)), STATUS_INVALID_HANDLE);

    struct Thread : plat::HandleObject {
        const char *TypeName() const override { return "Thread"; }
    };
    HANDLE thread = plat::InsertHandle(std::make_shared<Thread>());
    EXPECT_EQ(Open(&key, u"Sub", KEY_READ, thread), STATUS_OBJECT_TYPE_MISMATCH);

    HANDLE vex = OpenOrFail(u"\\Registry\\Machine\\Vex", KEY_READ);
    ASSERT_TRUE(Registry().DeleteTree(u"\\Registry\\Machine\\Vex"));
    Registry().Create(u"\\Registry\\Machine\\Vex\\Sub");
    EXPECT_EQ(Open(&key, u"Sub", KEY_READ, vex), STATUS_KEY_DELETED);
}

//
// ZwCreateKey
//

TEST_F(RegistryTest, CreateReportsDispositionAndKeepsTheFirstSpelling)
{
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\VexLink", KEY_ALL_ACCESS, nullptr, REG_OPTION_NON_VOLATILE,
                     &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Set(key, u"Marker", REG_DWORD, Le32(1)), STATUS_SUCCESS);

    HANDLE again = nullptr;
    ASSERT_EQ(Create(&again, u"\\REGISTRY\\MACHINE\\VEXLINK\\", KEY_READ, nullptr, REG_OPTION_NON_VOLATILE,
                     &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(Query(again, u"Marker", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(Registry().ExportText(u"\\Registry\\Machine\\VexLink"),
              "[HKEY_LOCAL_MACHINE\\VexLink]\n\"Marker\"=dword:00000001\n\n");

    // No disposition pointer is fine.
    HANDLE third = nullptr;
    EXPECT_EQ(Create(&third, u"\\Registry\\Machine\\VexLink"), STATUS_SUCCESS);
}

struct CreateFailureCase {
    const char *label;
    std::u16string_view name;
    ULONG options;
    NTSTATUS expected;
};

const CreateFailureCase kCreateFailures[] = {
    {"missing parent", u"\\Registry\\Machine\\Missing\\Leaf", REG_OPTION_NON_VOLATILE, STATUS_OBJECT_NAME_NOT_FOUND},
    {"missing grandparent", u"\\Registry\\Machine\\A\\B\\C", REG_OPTION_NON_VOLATILE, STATUS_OBJECT_NAME_NOT_FOUND},
    {"below \\Registry", u"\\Registry\\Software", REG_OPTION_NON_VOLATILE, STATUS_ACCESS_DENIED},
    {"stable below volatile", u"\\Registry\\Machine\\Hardware\\Stable", REG_OPTION_NON_VOLATILE,
     STATUS_CHILD_MUST_BE_VOLATILE},
    {"empty name inside", u"\\Registry\\Machine\\\\Leaf", REG_OPTION_NON_VOLATILE, STATUS_OBJECT_NAME_INVALID},
    {"name too long", u"\\Registry\\Machine\\"
                      u"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
                      u"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
                      u"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx+",
     REG_OPTION_NON_VOLATILE, STATUS_OBJECT_NAME_INVALID},
};

TEST_F(RegistryTest, CreateFailsWithoutChangingAnything)
{
    for (const auto &c : kCreateFailures) {
        SCOPED_TRACE(c.label);
        Registry().Clear();
        Registry().EnsureBootKeys();
        std::string before = DumpAll();
        HANDLE key = reinterpret_cast<HANDLE>(0x5555);
        ULONG disposition = 0x55555555;
        EXPECT_EQ(Create(&key, c.name, KEY_ALL_ACCESS, nullptr, c.options, &disposition), c.expected);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(disposition, 0x55555555u);
        EXPECT_EQ(DumpAll(), before);
    }
}

TEST_F(RegistryTest, VolatileKeysLiveUntilTheNextBoot)
{
    Registry().EnsureBootKeys();
    Registry().SetDword(u"\\Registry\\Machine\\Software\\Vex", u"Kept", 1);
    HANDLE software = OpenOrFail(u"\\Registry\\Machine\\Software\\Vex");
    HANDLE session = nullptr, inner = nullptr, map = nullptr;
    ASSERT_EQ(Create(&session, u"Session", KEY_ALL_ACCESS, software, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ASSERT_EQ(Create(&inner, u"Inner", KEY_ALL_ACCESS, session, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ASSERT_EQ(Create(&map, u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", KEY_ALL_ACCESS, nullptr,
                     REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    ASSERT_EQ(Set(map, u"\\Device\\VexSerial0", REG_SZ, Utf16z(u"COM3")), STATUS_SUCCESS);
    HANDLE stable = nullptr;
    EXPECT_EQ(Create(&stable, u"Stable", KEY_ALL_ACCESS, session), STATUS_CHILD_MUST_BE_VOLATILE);

    // Saving and exporting without volatile keys leave them out.
    EXPECT_EQ(Registry().ExportText(u"\\Registry\\Machine", false),
              "[HKEY_LOCAL_MACHINE]\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Vex]\n\"Kept\"=dword:00000001\n\n");

    Registry().ClearVolatile();
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(Query(map, u"\\Device\\VexSerial0", &type, &data), STATUS_KEY_DELETED);
    EXPECT_EQ(Set(inner, u"X", REG_DWORD, Le32(1)), STATUS_KEY_DELETED);
    EXPECT_EQ(Query(software, u"Kept", &type, &data), STATUS_SUCCESS);
    EXPECT_FALSE(Registry().Find(u"\\Registry\\Machine\\Software\\Vex\\Session"));
    EXPECT_FALSE(Registry().Find(u"\\Registry\\Machine\\Hardware"));

    Registry().EnsureBootKeys();
    HANDLE devicemap = nullptr;
    EXPECT_EQ(Open(&devicemap, u"\\Registry\\Machine\\Hardware\\DeviceMap"), STATUS_SUCCESS);
    EXPECT_EQ(Open(&devicemap, u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, CreatingUnderARelativeRootNeedsCreateSubKeyOnIt)
{
    Registry().Create(u"\\Registry\\Machine\\Vex\\Existing");
    HANDLE reader = OpenOrFail(u"\\Registry\\Machine\\Vex", KEY_READ);
    HANDLE creator = OpenOrFail(u"\\Registry\\Machine\\Vex", KEY_CREATE_SUB_KEY);

    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(Create(&key, u"New", KEY_ALL_ACCESS, reader), STATUS_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(Registry().Find(u"\\Registry\\Machine\\Vex\\New"));
    // Opening an existing key through ZwCreateKey creates nothing and needs no right.
    EXPECT_EQ(Create(&key, u"Existing", KEY_READ, reader, REG_OPTION_NON_VOLATILE, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(Create(&key, u"New", KEY_ALL_ACCESS, creator, REG_OPTION_NON_VOLATILE, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(Registry().Find(u"\\Registry\\Machine\\Vex\\New"));
}

//
// Deletion
//

TEST_F(RegistryTest, DeletedKeyAnswersKeyDeletedOnEveryHandle)
{
    Registry().SetDword(u"\\Registry\\Machine\\Vex\\Leaf", u"Value", 1);
    HANDLE parent = OpenOrFail(u"\\Registry\\Machine\\Vex");
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);

    HANDLE deleter = OpenOrFail(u"\\Registry\\Machine\\Vex\\Leaf", KEY_ALL_ACCESS);
    HANDLE reader = OpenOrFail(u"\\Registry\\Machine\\Vex\\Leaf", KEY_READ);
    ASSERT_EQ(ZwDeleteKey(deleter), STATUS_SUCCESS);

    CountedText name(u"Value");
    std::vector<uint8_t> buffer(64, Poison);
    ULONG result = 0x55555555;
    for (HANDLE key : {deleter, reader}) {
        EXPECT_EQ(ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer.data(), 64, &result),
                  STATUS_KEY_DELETED);
        EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), 64, &result), STATUS_KEY_DELETED);
        EXPECT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer.data(), 64, &result),
                  STATUS_KEY_DELETED);
    }
    EXPECT_EQ(Set(deleter, u"Value", REG_DWORD, Le32(2)), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteValueKey(deleter, name.get()), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(deleter), STATUS_KEY_DELETED);
    HANDLE child = nullptr;
    EXPECT_EQ(Create(&child, u"Child", KEY_ALL_ACCESS, deleter), STATUS_KEY_DELETED);
    EXPECT_EQ(result, 0x55555555u);
    EXPECT_TRUE(AllPoison(buffer, 0));

    HANDLE key = nullptr;
    EXPECT_EQ(Open(&key, u"\\Registry\\Machine\\Vex\\Leaf"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwEnumerateKey(parent, 0, KeyBasicInformation, buffer.data(), 64, &result), STATUS_NO_MORE_ENTRIES);

    // A key of the same name later is a different key.
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\Vex\\Leaf"), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, u"Value", REG_DWORD, Le32(3)), STATUS_SUCCESS);
    EXPECT_EQ(Set(reader, u"Value", REG_DWORD, Le32(4)), STATUS_ACCESS_DENIED);
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(Query(reader, u"Value", &type, &data), STATUS_KEY_DELETED);

    // Deleted or not, the handles close once.
    EXPECT_EQ(ZwClose(deleter), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(reader), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(reader), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, WholeTreeRemovalsDeleteEveryKeyBelow)
{
    const std::pair<const char *, std::function<void()>> removals[] = {
        {"DeleteTree", [] { ASSERT_TRUE(Registry().DeleteTree(u"HKLM\\Software\\Vex")); }},
        {"Clear", [] { Registry().Clear(); }},
    };
    for (const auto &[label, remove] : removals) {
        SCOPED_TRACE(label);
        Registry().Clear();
        Registry().SetDword(u"\\Registry\\Machine\\Software\\Vex\\A\\B", u"Value", 1);
        HANDLE top = OpenOrFail(u"\\Registry\\Machine\\Software\\Vex");
        HANDLE bottom = OpenOrFail(u"\\Registry\\Machine\\Software\\Vex\\A\\B");
        remove();
        ULONG type;
        std::vector<uint8_t> data;
        EXPECT_EQ(Query(bottom, u"Value", &type, &data), STATUS_KEY_DELETED);
        EXPECT_EQ(Set(top, u"Value", REG_DWORD, Le32(1)), STATUS_KEY_DELETED);
        EXPECT_FALSE(Registry().Find(u"\\Registry\\Machine\\Software\\Vex\\A"));
    }
}

TEST_F(RegistryTest, FixedKeysCannotBeDeleted)
{
    for (auto path : {u"\\Registry"sv, u"\\Registry\\Machine"sv, u"\\Registry\\User"sv}) {
        SCOPED_TRACE(plat::ToUtf8(path));
        HANDLE key = OpenOrFail(path);
        Registry().Create(u"\\Registry\\Machine\\Vex");
        EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);
        EXPECT_FALSE(Registry().DeleteTree(path));
        EXPECT_TRUE(Registry().Find(path));
    }
}

TEST_F(RegistryTest, ZwCloseClosesAnyKernelHandle)
{
    struct Thread : plat::HandleObject {
        const char *TypeName() const override { return "Thread"; }
    };
    HANDLE thread = plat::InsertHandle(std::make_shared<Thread>());
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(Query(thread, u"Value", &type, &data), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(thread), STATUS_INVALID_HANDLE);

    HANDLE key = OpenOrFail(u"\\Registry\\Machine");
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, u"Value", &type, &data), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Set(key, u"Value", REG_DWORD, Le32(1)), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(plat::OpenHandleCount(), 0u);
}

//
// RtlWriteRegistryValue and RtlDeleteRegistryValue
//

struct RtlCase {
    const char *label;
    ULONG relativeTo;
    PCWSTR path;
    std::u16string_view key;  // where the value lands
    bool isVolatile;
};

const RtlCase kRtlCases[] = {
    {"services", RTL_REGISTRY_SERVICES, L"vexlink\\Parameters",
     u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexlink\\Parameters", false},
    {"services optional", RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"vexlink",
     u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexlink", false},
    {"control", RTL_REGISTRY_CONTROL, L"Vex", u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Vex", false},
    {"windows nt", RTL_REGISTRY_WINDOWS_NT, L"Vex",
     u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Vex", false},
    {"windows nt itself", RTL_REGISTRY_WINDOWS_NT, nullptr,
     u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", false},
    {"devicemap", RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", true},
    {"absolute", RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Software\\Vex", u"\\Registry\\Machine\\Software\\Vex",
     false},
    {"absolute below hardware", RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Hardware\\Vex",
     u"\\Registry\\Machine\\Hardware\\Vex", true},
};

TEST_F(RegistryTest, RtlWriteRegistryValueCreatesTheLastKeyOfItsPath)
{
    for (const auto &c : kRtlCases) {
        SCOPED_TRACE(c.label);
        Registry().Clear();
        Registry().EnsureBootKeys();
        Registry().Create(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexlink");
        Registry().Create(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control");
        Registry().Create(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion");

        ULONG dword = 0x1234;
        ASSERT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, L"Level", REG_DWORD, &dword, sizeof dword),
                  STATUS_SUCCESS);
        WCHAR text[] = L"COM3";
        ASSERT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, L"Port", REG_SZ, text, sizeof text), STATUS_SUCCESS);
        EXPECT_EQ(Registry().GetDword(c.key, u"Level"), 0x1234u);
        auto port = Registry().GetValue(c.key, u"Port");
        ASSERT_TRUE(port);
        EXPECT_EQ(port->data, Utf16z(u"COM3"));

        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, c.path, L"Level"), STATUS_SUCCESS);
        EXPECT_FALSE(Registry().GetDword(c.key, u"Level"));
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, c.path, L"Level"), STATUS_OBJECT_NAME_NOT_FOUND);

        Registry().ClearVolatile();
        EXPECT_EQ(Registry().Find(c.key) == nullptr, c.isVolatile);
    }
}

TEST_F(RegistryTest, RtlRegistryRoutinesFailOnMissingKeysAndBadArguments)
{
    Registry().Create(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    std::string before = DumpAll();
    ULONG dword = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"Missing\\Parameters", L"V", REG_DWORD, &dword, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"Vex", L"V", REG_DWORD, &dword, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(42, L"Vex", L"V", REG_DWORD, &dword, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"Registry\\Machine", L"V", REG_DWORD, &dword, 4),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, L"Missing", L"V"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(DumpAll(), before);

    // With RTL_REGISTRY_HANDLE the path is a key handle, which must allow writing.
    HANDLE reader = OpenOrFail(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", KEY_READ);
    HANDLE writer = OpenOrFail(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", KEY_WRITE);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(reader), L"V", REG_DWORD, &dword, 4),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(writer), L"V", REG_DWORD, &dword, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(Registry().GetDword(u"HKLM\\System\\CurrentControlSet\\Services", u"V"), 1u);
}

//
// Fault injection
//

struct FaultCase {
    const char *label;
    std::function<NTSTATUS()> write;
};

// Each writes once below \Registry\Machine\Vex, which holds "Old" = 1.
const FaultCase kFaultCases[] = {
    {"ZwSetValueKey new value",
     [] { return Set(OpenOrFail(u"\\Registry\\Machine\\Vex"), u"New", REG_DWORD, Le32(5)); }},
    {"ZwSetValueKey overwrite",
     [] { return Set(OpenOrFail(u"\\Registry\\Machine\\Vex"), u"Old", REG_BINARY, {9, 9}); }},
    {"ZwCreateKey creating",
     [] {
         HANDLE key = reinterpret_cast<HANDLE>(0x5555);
         NTSTATUS status = Create(&key, u"\\Registry\\Machine\\Vex\\New");
         if (!NT_SUCCESS(status)) {
             EXPECT_EQ(key, nullptr);
         }
         return status;
     }},
    {"ZwDeleteValueKey",
     [] {
         CountedText name(u"Old");
         return ZwDeleteValueKey(OpenOrFail(u"\\Registry\\Machine\\Vex"), name.get());
     }},
    {"RtlWriteRegistryValue existing key",
     [] {
         ULONG value = 7;
         return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Vex", L"Old", REG_DWORD, &value, 4);
     }},
    {"RtlWriteRegistryValue creating the key",
     [] {
         ULONG value = 7;
         return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Vex\\New", L"V", REG_DWORD, &value,
                                      4);
     }},
    {"RtlDeleteRegistryValue",
     [] { return RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Vex", L"Old"); }},
};

TEST_F(RegistryTest, InjectedWriteFaultFailsTheWriteAndChangesNothing)
{
    for (const auto &c : kFaultCases) {
        SCOPED_TRACE(c.label);
        Registry().Clear();
        plat::ResetHandleTable();
        Registry().SetDword(u"\\Registry\\Machine\\Vex", u"Old", 1);
        std::string before = DumpAll();

        plat::InjectFault(plat::FaultSite::RegistryWrite, 1);
        EXPECT_EQ(c.write(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(DumpAll(), before);

        // The same call succeeds once the fault is used up: it really is a write.
        EXPECT_EQ(c.write(), STATUS_SUCCESS);
        EXPECT_NE(DumpAll(), before);
    }
}

TEST_F(RegistryTest, OpeningThroughCreateIsNotAWrite)
{
    Registry().Create(u"\\Registry\\Machine\\Vex");
    plat::InjectFault(plat::FaultSite::RegistryWrite, 1);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\Vex", KEY_ALL_ACCESS, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    ULONG type;
    std::vector<uint8_t> data;
    EXPECT_EQ(Query(key, u"Missing", &type, &data), STATUS_OBJECT_NAME_NOT_FOUND);
    // The pending fault hits the first real write.
    EXPECT_EQ(Set(key, u"V", REG_DWORD, Le32(1)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Set(key, u"V", REG_DWORD, Le32(1)), STATUS_SUCCESS);
}

//
// Text export
//

struct SpellingCase {
    std::u16string_view name;
    ULONG type;
    std::vector<uint8_t> data;
    const char *line;
};

const SpellingCase kSpellingCases[] = {
    {u"Name", REG_SZ, Utf16z(u"text"), R"("Name"="text")"},
    {u"Q\"uote\\Back", REG_SZ, Utf16z(u"C:\\dir \"x\"\\"), R"("Q\"uote\\Back"="C:\\dir \"x\"\\")"},
    {u"", REG_SZ, Utf16z(u"default"), R"(@="default")"},
    {u"@", REG_SZ, Utf16z(u"at"), R"("@"="at")"},
    {u"Empty", REG_SZ, {0, 0}, R"("Empty"="")"},
    {u"NoNul", REG_SZ, Utf16(u"ab"), R"("NoNul"=hex(1):61,00,62,00)"},
    {u"Embedded", REG_SZ, Utf16z(u"a\0b"sv), R"("Embedded"=hex(1):61,00,00,00,62,00,00,00)"},
    {u"Zero", REG_SZ, {}, R"("Zero"=hex(1):)"},
    {u"Odd", REG_SZ, {0x61, 0, 0}, R"("Odd"=hex(1):61,00,00)"},
    {u"Line", REG_SZ, Utf16z(u"a\nb"), R"("Line"=hex(1):61,00,0a,00,62,00,00,00)"},
    {u"Caf\u00e9", REG_SZ, Utf16z(u"\u65e5\u672c"), "\"Caf\xc3\xa9\"=\"\xe6\x97\xa5\xe6\x9c\xac\""},
    {u"Count", REG_DWORD, Le32(10), R"("Count"=dword:0000000a)"},
    {u"Big", REG_DWORD, Le32(0xDEADBEEF), R"("Big"=dword:deadbeef)"},
    {u"Short", REG_DWORD, {1, 2}, R"("Short"=hex(4):01,02)"},
    {u"Blob", REG_BINARY, {0x01, 0xab, 0xff}, R"("Blob"=hex:01,ab,ff)"},
    {u"Nothing", REG_BINARY, {}, R"("Nothing"=hex:)"},
    {u"Path", REG_EXPAND_SZ, Utf16z(u"%S%"), R"("Path"=hex(2):25,00,53,00,25,00,00,00)"},
    {u"List", REG_MULTI_SZ, Utf16z(u"a\0b\0"sv), R"("List"=hex(7):61,00,00,00,62,00,00,00,00,00)"},
    {u"Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, R"("Quad"=hex(b):01,02,03,04,05,06,07,08)"},
    {u"None", REG_NONE, {}, R"("None"=hex(0):)"},
    {u"Custom", 0xFFFF0012, {0x07}, R"("Custom"=hex(ffff0012):07)"},
};

TEST_F(RegistryTest, ExportSpellsEachValueTypeAsTheRegistryEditorDoes)
{
    for (const auto &c : kSpellingCases) {
        SCOPED_TRACE(c.line);
        Registry().Clear();
        plat::ResetHandleTable();
        HANDLE key = nullptr;
        ASSERT_EQ(Create(&key, u"\\Registry\\Machine\\Vex"), STATUS_SUCCESS);
        ASSERT_EQ(Set(key, c.name, c.type, c.data), STATUS_SUCCESS);
        std::string text = Registry().ExportText(u"HKLM\\Vex");
        EXPECT_EQ(text, "[HKEY_LOCAL_MACHINE\\Vex]\n" + std::string(c.line) + "\n\n");

        // And it reads back to the same type and bytes.
        Registry().Clear();
        ASSERT_TRUE(Registry().ImportText(text));
        auto value = Registry().GetValue(u"HKLM\\Vex", c.name);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }
}

TEST_F(RegistryTest, ExportListsSubkeysSortedWithTheirOwnCase)
{
    HANDLE vex = nullptr;
    ASSERT_EQ(Create(&vex, u"\\Registry\\Machine\\Vex"), STATUS_SUCCESS);
    for (auto name : {u"gamma"sv, u"Beta"sv, u"alpha"sv, u"Alpha2"sv}) {
        HANDLE subkey = nullptr;
        ASSERT_EQ(Create(&subkey, name, KEY_ALL_ACCESS, vex), STATUS_SUCCESS);
    }
    Registry().SetDword(u"\\Registry\\Machine\\Vex\\Beta", u"Second", 2);
    Registry().SetDword(u"\\Registry\\Machine\\Vex\\Beta", u"First", 1);
    Registry().SetString(u"\\Registry\\User\\.Default\\Vex", u"", u"user");

    EXPECT_EQ(Registry().ExportText(u"\\Registry\\Machine\\Vex"),
              "[HKEY_LOCAL_MACHINE\\Vex]\n\n"
              "[HKEY_LOCAL_MACHINE\\Vex\\alpha]\n\n"
              "[HKEY_LOCAL_MACHINE\\Vex\\Alpha2]\n\n"
              "[HKEY_LOCAL_MACHINE\\Vex\\Beta]\n\"Second\"=dword:00000002\n\"First\"=dword:00000001\n\n"
              "[HKEY_LOCAL_MACHINE\\Vex\\gamma]\n\n");
    EXPECT_EQ(Registry().ExportText(u"HKEY_USERS"),
              "[HKEY_USERS]\n\n[HKEY_USERS\\.Default]\n\n[HKEY_USERS\\.Default\\Vex]\n@=\"user\"\n\n");
    EXPECT_EQ(Registry().ExportText(u"\\Registry"),
              Registry().ExportText(u"\\Registry\\Machine") + Registry().ExportText(u"\\Registry\\User"));
    EXPECT_EQ(Registry().ExportText(u"\\Registry\\Machine\\Missing"), "");
}

TEST_F(RegistryTest, ExportWrapsLongHexLinesAsTheRegistryEditorDoes)
{
    Registry().SetString(u"HKLM\\System\\CurrentControlSet\\Services\\vexlink", u"ImagePath",
                         u"%SystemRoot%\\System32\\Drivers\\vexlink.sys", REG_EXPAND_SZ);
    const std::string expected =
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\vexlink]\n"
        "\"ImagePath\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\\\n"
        "  74,00,25,00,5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,44,\\\n"
        "  00,72,00,69,00,76,00,65,00,72,00,73,00,5c,00,76,00,65,00,78,00,6c,00,69,00,\\\n"
        "  6e,00,6b,00,2e,00,73,00,79,00,73,00,00,00\n"
        "\n";
    EXPECT_EQ(Registry().ExportText(u"HKLM\\System\\CurrentControlSet\\Services\\vexlink"), expected);
}

//
// Import and the exact round trip
//

// Names and data that stress the text form.
void BuildOddRegistry()
{
    auto &reg = Registry();
    const std::u16string base = u"\\Registry\\Machine\\Software\\Odd";
    const std::u16string keys[] = {
        base,
        base + u"\\Quote\"Key",
        base + u"\\Bracket]Key[",
        base + u"\\ Spaced Key ",
        base + u"\\Caf\u00e9 \u65e5\u672c \U0001F600",
        base + u"\\Semi;colon=eq",
        base + u"\\Empty\\Deeper\\Deepest",
        u"\\Registry\\User\\.Default\\Odd",
    };
    for (const auto &key : keys)
        ASSERT_TRUE(reg.Create(key)) << plat::ToUtf8(key);
    std::vector<uint8_t> longBinary(300);
    for (size_t i = 0; i < longBinary.size(); ++i)
        longBinary[i] = static_cast<uint8_t>(i * 7);
    struct {
        std::u16string_view name;
        ULONG type;
        std::vector<uint8_t> data;
    } const values[] = {
        {u"", REG_SZ, Utf16z(u"default")},
        {u"@", REG_SZ, Utf16z(u"not the default")},
        {u"Quote\"d", REG_SZ, Utf16z(u"say \"hi\"")},
        {u"Back\\slash", REG_SZ, Utf16z(u"C:\\Windows\\")},
        {u"Trailing\\", REG_SZ, Utf16z(u"\\")},
        {u" spaced ", REG_SZ, Utf16z(u"  two spaces  ")},
        {u"=eq;semi", REG_SZ, Utf16z(u"=x;y")},
        {u"\u00fcml\u00e4ut", REG_SZ, Utf16z(u"\u00e9\U0001F600")},
        {u"EmptyString", REG_SZ, Utf16z(u"")},
        {u"NoTerminator", REG_SZ, Utf16(u"abc")},
        {u"EmbeddedNul", REG_SZ, Utf16z(u"a\0b"sv)},
        {u"NoData", REG_SZ, {}},
        {u"Expand", REG_EXPAND_SZ, Utf16z(u"%SystemRoot%\\x")},
        {u"Multi", REG_MULTI_SZ, Utf16z(u"one\0two\0"sv)},
        {u"Dword", REG_DWORD, Le32(0x80000001)},
        {u"ThreeByteDword", REG_DWORD, {1, 2, 3}},
        {u"LongBinary", REG_BINARY, longBinary},
        {u"EmptyBinary", REG_BINARY, {}},
        {u"Qword", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}},
        {u"Property", 0xFFFF0011, {0xde, 0xad}},
    };
    for (const auto &value : values)
        ASSERT_TRUE(reg.SetValue(base, value.name, value.type, value.data));
    reg.SetDword(base + u"\\Quote\"Key", u"Name\"With\\Both", 3);
    reg.SetString(u"\\Registry\\User\\.Default\\Odd", u"\\", u"\"");
}

TEST_F(RegistryTest, ImportRecreatesExactlyWhatWasExported)
{
    BuildOddRegistry();
    const std::string dump = DumpAll();
    const std::string text = Registry().ExportText(u"\\Registry");

    Registry().Clear();
    std::string error;
    ASSERT_TRUE(Registry().ImportText(text, &error)) << error;
    EXPECT_EQ(DumpAll(), dump);
    EXPECT_EQ(Registry().ExportText(u"\\Registry"), text);
}

TEST_F(RegistryTest, ImportReadsRegistryEditorFiles)
{
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; written by hand\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexlink]\r\n"
        "\"Start\"=dword:3\r\n"
        "\"ImagePath\"=hex(2):25,00,53,00,\\\r\n"
        "    25,00,00,00\r\n"
        "\"Group\" = \"Extended Base\"\r\n"
        "\"\"=\"default\"\r\n"
        "\"Gone\"=-\r\n"
        "\r\n"
        "[HKLM\\SYSTEM\\CurrentControlSet\\Services\\Old]\r\n"
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Old]\r\n";
    Registry().SetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\vexlink", u"Gone", 1);
    std::string error;
    ASSERT_TRUE(Registry().ImportText(text, &error)) << error;
    const std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexlink";
    EXPECT_EQ(Registry().GetDword(key, u"Start"), 3u);
    auto image = Registry().GetValue(key, u"ImagePath");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type, ULONG(REG_EXPAND_SZ));
    EXPECT_EQ(image->data, Utf16z(u"%S%"));
    EXPECT_EQ(Registry().GetString(key, u"Group"), u"Extended Base");
    EXPECT_EQ(Registry().GetString(key, u""), u"default");
    EXPECT_FALSE(Registry().GetValue(key, u"Gone"));
    EXPECT_FALSE(Registry().Find(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Old"));
}

struct ImportErrorCase {
    const char *text;
    const char *error;  // start of the message
};

const ImportErrorCase kImportErrors[] = {
    {"\"v\"=dword:1\n", "line 1:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,0g\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(zz):01\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"text\" tail\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\"v\"=word:1\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\ngarbage\n", "line 2:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_CLASSES_ROOT\\A]\n", "line 3:"},
    {"[HKEY_LOCAL_MACHINE\\A\n", "line 1:"},
    {"[HKEY_LOCAL_MACHINE\\\\A]\n", "line 1:"},
    {"[HKEY_LOCAL_MACHINE\\A]\n[-HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:1\n", "line 3:"},
    {"[HKEY_LOCAL_MACHINE\\Caf\xC3\xA9\xA9]\n", "line 1: invalid UTF-8"},
};

// Import beyond the limits of the real registry, each refused at its line.
std::string DeepKeyLine(size_t levels)
{
    std::string path = "HKEY_LOCAL_MACHINE";
    for (size_t i = 1; i < levels; ++i)
        path += "\\L";
    return "[" + path + "]\n";
}

struct LimitCase {
    const char *label;
    std::string text;
    const char *error;
};

std::vector<LimitCase> ImportLimits()
{
    std::string hex = "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:00";
    for (size_t n = 1; n <= 1024 * 1024; ++n)
        hex += ",00";
    return {
        {"513 levels", DeepKeyLine(513), "line 1: key nested deeper than 512 levels"},
        {"value name of 16384", "[HKEY_LOCAL_MACHINE\\A]\n\"" + std::string(16384, 'n') + "\"=dword:1\n",
         "line 2: value name longer than 16383 characters"},
        {"data of 1 MB and one byte", hex + "\n", "line 2: value data larger than 1048576 bytes"},
    };
}

TEST_F(RegistryTest, ImportBeyondTheRegistrysLimitsIsRefusedAtTheLine)
{
    const std::string before = DumpAll();
    for (const auto &c : ImportLimits()) {
        SCOPED_TRACE(c.label);
        std::string error;
        EXPECT_FALSE(Registry().ImportText(c.text, &error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(DumpAll(), before);
    }
    // At the limits themselves the import goes through.
    std::string error;
    EXPECT_TRUE(Registry().ImportText(DeepKeyLine(512) + "\"" + std::string(16383, 'n') + "\"=dword:1\n", &error))
        << error;
}

TEST_F(RegistryTest, KeysNestMostFiveHundredTwelveLevelsDeep)
{
    plat::cm::Key *key = Registry().Find(u"HKLM");
    ASSERT_EQ(key->Depth(), 1u);
    bool created;
    while (key->Depth() < plat::cm::kMaxKeyDepth)
        key = Registry().CreateSubkey(key, u"L", false, &created);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Registry().CreateSubkey(key, u"L", false, &created, &status), nullptr);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    // The text form of the deepest key reads back.
    std::string text = Registry().ExportText(u"HKLM\\L");
    Registry().Clear();
    std::string error;
    EXPECT_TRUE(Registry().ImportText(text, &error)) << error;
    EXPECT_EQ(Registry().ExportText(u"HKLM\\L"), text);
}

// The subkey index follows every way a key comes and goes.
TEST_F(RegistryTest, SubkeyLookupFollowsCreationDeletionAndBoot)
{
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(Registry().Create(u"HKLM\\Many\\Key" + plat::FromUtf8(std::to_string(i))));
    plat::cm::Key *many = Registry().Find(u"HKLM\\Many");
    EXPECT_EQ(many->FindSubkey(u"kEY1999"), Registry().Find(u"HKLM\\Many\\Key1999"));
    EXPECT_NE(many->FindSubkey(u"KEY0"), nullptr);

    EXPECT_TRUE(Registry().DeleteTree(u"HKLM\\Many\\KEY7"));
    EXPECT_EQ(many->FindSubkey(u"Key7"), nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(Create(&handle, u"\\Registry\\Machine\\Many\\key7"), STATUS_SUCCESS);
    EXPECT_EQ(Query(handle, u"X", nullptr, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::ToUtf8(many->FindSubkey(u"KEY7")->Name()), "key7");
    ZwClose(handle);

    Registry().Create(u"HKLM\\Many\\Session", true);
    Registry().ClearVolatile();
    EXPECT_EQ(many->FindSubkey(u"Session"), nullptr);
    EXPECT_TRUE(Registry().Create(u"HKLM\\Many\\Session"));
    EXPECT_FALSE(Registry().Find(u"HKLM\\Many\\Session")->IsVolatile());
}

TEST_F(RegistryTest, MalformedImportNamesTheLineAndChangesNothing)
{
    Registry().SetDword(u"HKLM\\Existing", u"V", 1);
    const std::string before = DumpAll();
    for (const auto &c : kImportErrors) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(Registry().ImportText(c.text, &error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(DumpAll(), before);
    }
}

//
// The state file
//

std::string TempFile(const char *name) { return ::testing::TempDir() + "/vexlink_registry_" + name; }

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST_F(RegistryTest, SaveAndLoadKeepEverythingButVolatileKeys)
{
    BuildOddRegistry();
    const std::string saved = DumpAll();
    Registry().EnsureBootKeys();
    Registry().SetString(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", u"\\Device\\VexSerial0", u"COM3");
    HANDLE session = nullptr;
    ASSERT_EQ(Create(&session, u"\\Registry\\Machine\\Software\\Odd\\Session", KEY_ALL_ACCESS, nullptr,
                     REG_OPTION_VOLATILE),
              STATUS_SUCCESS);

    const std::string path = TempFile("save.reg");
    ASSERT_TRUE(Registry().SaveFile(path));
    std::string file = ReadFile(path);
    EXPECT_EQ(file.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE]\n", 0), 0u);
    EXPECT_EQ(file.find("Hardware"), std::string::npos);
    EXPECT_EQ(file.find("Session"), std::string::npos);

    Registry().SetDword(u"HKLM\\Later", u"V", 1);
    ASSERT_TRUE(Registry().LoadFile(path));
    EXPECT_EQ(DumpAll(), saved);
    EXPECT_EQ(Query(session, u"X", nullptr, nullptr), STATUS_KEY_DELETED);
    std::remove(path.c_str());
}

TEST_F(RegistryTest, LoadFileReadsUtf16FilesAndRejectsBadOnesWithoutChange)
{
    const std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Caf\u00e9]\r\n"
                                u"\"V\"=dword:00000002\r\n";
    const std::string utf16 = TempFile("utf16.reg");
    {
        std::ofstream file(utf16, std::ios::binary);
        file.write("\xFF\xFE", 2);
        file.write(reinterpret_cast<const char *>(text.data()), static_cast<std::streamsize>(text.size() * 2));
    }
    ASSERT_TRUE(Registry().LoadFile(utf16));
    EXPECT_EQ(Registry().GetDword(u"HKLM\\CAF\u00c9", u"V"), 2u);

    const std::string before = DumpAll();
    const std::string bad = TempFile("bad.reg");
    {
        std::ofstream file(bad, std::ios::binary);
        file << "[HKEY_LOCAL_MACHINE\\Other]\nnonsense\n";
    }
    std::string error;
    EXPECT_FALSE(Registry().LoadFile(bad, &error));
    EXPECT_EQ(error, bad + ":2: unrecognised line");
    EXPECT_FALSE(Registry().LoadFile(TempFile("missing.reg")));
    EXPECT_EQ(DumpAll(), before);
    std::remove(utf16.c_str());
    std::remove(bad.c_str());
}

//
// The C++ interface of the machine
//

struct PathCase {
    std::u16string_view path;
    const char *found;  // kernel path of the key found, or null
};

const PathCase kPathCases[] = {
    {u"\\Registry\\Machine\\System\\CurrentControlSet", "\\Registry\\Machine\\System\\CurrentControlSet"},
    {u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\", "\\Registry\\Machine\\System\\CurrentControlSet"},
    {u"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet", "\\Registry\\Machine\\System\\CurrentControlSet"},
    {u"hklm\\system\\currentcontrolset\\", "\\Registry\\Machine\\System\\CurrentControlSet"},
    {u"HKEY_LOCAL_MACHINE", "\\Registry\\Machine"},
    {u"HKEY_USERS\\.Default", "\\Registry\\User\\.Default"},
    {u"HKU\\.DEFAULT", "\\Registry\\User\\.Default"},
    {u"\\Registry", "\\Registry"},
    {u"HKEY_CLASSES_ROOT\\System", nullptr},
    {u"\\Registry\\Machine\\\\System", nullptr},
    {u"System\\CurrentControlSet", nullptr},
    {u"\\RegistryX\\Machine", nullptr},
    {u"HKLMX\\System", nullptr},
    {u"", nullptr},
};

TEST_F(RegistryTest, PathsAcceptKernelAndExportSpellings)
{
    Registry().Create(u"\\Registry\\Machine\\System\\CurrentControlSet");
    Registry().Create(u"HKEY_USERS\\.Default");
    for (const auto &c : kPathCases) {
        SCOPED_TRACE(plat::ToUtf8(c.path));
        plat::cm::Key *key = Registry().Find(c.path);
        if (!c.found) {
            EXPECT_EQ(key, nullptr);
            continue;
        }
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(plat::ToUtf8(key->Path()), c.found);
    }
}

TEST_F(RegistryTest, TypedAccessorsWriteTheShapesDriversRead)
{
    const std::u16string key = u"\\Registry\\Machine\\Vex";
    ASSERT_TRUE(Registry().SetString(key, u"Port", u"COM3"));
    ASSERT_TRUE(Registry().SetDword(key, u"Baud", 9600));
    ASSERT_TRUE(Registry().SetMultiString(key, u"HardwareID", {u"USB\\VID_1234&PID_5678", u"USB\\VID_1234"}));

    HANDLE handle = OpenOrFail(key, KEY_READ);
    ULONG type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(Query(handle, u"Port", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(REG_SZ));
    EXPECT_EQ(data.size(), 10u);  // four characters and the terminator
    ASSERT_EQ(Query(handle, u"HardwareID", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(data, Utf16z(u"USB\\VID_1234&PID_5678\0USB\\VID_1234\0"sv));

    EXPECT_EQ(Registry().GetString(key, u"port"), u"COM3");
    EXPECT_EQ(Registry().GetDword(key, u"Baud"), 9600u);
    EXPECT_EQ(Registry().GetMultiString(key, u"HardwareID"),
              (std::vector<std::u16string>{u"USB\\VID_1234&PID_5678", u"USB\\VID_1234"}));

    // Wrong types read as absent; strings without a terminator still read.
    EXPECT_FALSE(Registry().GetString(key, u"Baud"));
    EXPECT_FALSE(Registry().GetDword(key, u"Port"));
    EXPECT_FALSE(Registry().GetMultiString(key, u"Port"));
    EXPECT_FALSE(Registry().GetString(key, u"Missing"));
    EXPECT_FALSE(Registry().GetString(u"HKLM\\Missing", u"Port"));
    Registry().SetValue(key, u"Bare", REG_SZ, Utf16(u"xy"));
    EXPECT_EQ(Registry().GetString(key, u"Bare"), u"xy");
    Registry().SetValue(key, u"ShortDword", REG_DWORD, {1, 2});
    EXPECT_FALSE(Registry().GetDword(key, u"ShortDword"));

    EXPECT_TRUE(Registry().DeleteValue(key, u"PORT"));
    EXPECT_FALSE(Registry().DeleteValue(key, u"Port"));
    EXPECT_EQ(Registry().SubkeyNames(Registry().Find(u"\\Registry")), (std::vector<std::u16string>{u"Machine", u"User"}));
}

TEST_F(RegistryTest, BootKeysAreRecreatedVolatileAtEachBoot)
{
    Registry().EnsureBootKeys();
    Registry().SetDword(u"HKLM\\Software\\Vex", u"Kept", 1);
    Registry().SetString(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", u"\\Device\\VexSerial0", u"COM3");
    ASSERT_TRUE(Registry().Find(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM")->IsVolatile());

    Registry().ClearVolatile();
    EXPECT_FALSE(Registry().Find(u"\\Registry\\Machine\\Hardware"));
    EXPECT_EQ(Registry().GetDword(u"HKLM\\Software\\Vex", u"Kept"), 1u);
    Registry().EnsureBootKeys();
    plat::cm::Key *devicemap = Registry().Find(u"\\Registry\\Machine\\Hardware\\DeviceMap");
    ASSERT_NE(devicemap, nullptr);
    EXPECT_TRUE(devicemap->IsVolatile());
    EXPECT_TRUE(devicemap->Subkeys().empty());
    EXPECT_EQ(Registry().SubkeyNames(Registry().Find(u"HKLM")), (std::vector<std::u16string>{u"Software", u"Hardware"}));
}

}  // namespace
