// Run-time library routines: counted strings, conversions, the wide C
// routines, _snprintf truncation, and the calendar and time-zone routines.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

#include "ex/Pool.h"
#include "ke/Clock.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

using namespace std::string_view_literals;

namespace {

constexpr UCHAR Poison = 0x55;
constexpr WCHAR PoisonUnit = 0x5555;

// A UNICODE_STRING over owned text; Length may be cut shorter than the text.
struct CountedText {
    std::u16string text;
    UNICODE_STRING string{};

    explicit CountedText(std::u16string_view value, int lengthBytes = -1) : text(value)
    {
        string.Buffer = plat::W(text.data());
        string.Length = static_cast<USHORT>(lengthBytes >= 0 ? lengthBytes : text.size() * 2);
        string.MaximumLength = static_cast<USHORT>(text.size() * 2);
    }
};

// A poisoned destination buffer of a chosen MaximumLength.
struct PoisonedUnicode {
    std::vector<WCHAR> storage = std::vector<WCHAR>(40, PoisonUnit);
    UNICODE_STRING string{};

    explicit PoisonedUnicode(USHORT maximumLength)
    {
        string.Buffer = storage.data();
        string.Length = PoisonUnit;
        string.MaximumLength = maximumLength;
    }
    bool Untouched() const
    {
        for (WCHAR unit : storage)
            if (unit != PoisonUnit)
                return false;
        return string.Length == PoisonUnit && string.Buffer == storage.data();
    }
};

int Sign(LONG value) { return (value > 0) - (value < 0); }

// GoogleTest must never print WCHAR values or pointers (its printers assume
// the host's 4-byte wchar_t), so tests compare units as int and positions
// as offsets.
int Unit(WCHAR unit) { return unit; }
ptrdiff_t Offset(const wchar_t *found, const wchar_t *base) { return found ? found - base : -1; }

}  // namespace

//
// Wide C routines
//

// The host C library assumes 4-byte units; these only hold if the platform's
// 2-byte routines are the ones linked.
TEST(RtlWideCrt, RoutinesWorkOnTwoByteUnits)
{
    const wchar_t *text = L"abcabc";
    EXPECT_EQ(wcslen(L"abc"), 3u);
    EXPECT_EQ(wcslen(L""), 0u);
    EXPECT_EQ(wcsnlen(text, 4), 4u);
    EXPECT_EQ(wcsnlen(text, 40), 6u);
    EXPECT_EQ(Offset(wcschr(text, L'b'), text), 1);
    EXPECT_EQ(Offset(wcschr(text, L'\0'), text), 6);
    EXPECT_EQ(Offset(wcschr(text, L'z'), text), -1);
    EXPECT_EQ(Offset(wcsrchr(text, L'b'), text), 4);
    EXPECT_EQ(Offset(wcsrchr(text, L'z'), text), -1);
    EXPECT_EQ(Offset(wcsstr(text, L"ca"), text), 2);
    EXPECT_EQ(Offset(wcsstr(text, L""), text), 0);
    EXPECT_EQ(Offset(wcsstr(text, L"cb"), text), -1);

    wchar_t buffer[16];
    wcscpy(buffer, L"COM");
    wcscat(buffer, L"12");
    EXPECT_EQ(plat::ToUtf8(plat::FromWide(buffer)), "COM12");

    // wcsncpy pads with nulls and does not terminate a source of n units.
    wchar_t padded[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
    wcsncpy(padded, L"ab", 4);
    EXPECT_EQ(plat::FromWide(padded, 6), u"ab\0\0xx"sv);
    wcsncpy(padded, L"wxyz", 3);
    EXPECT_EQ(plat::FromWide(padded, 6), u"wxy\0xx"sv);
}

TEST(RtlWideCrt, ComparisonsOrderByUnitAndFoldWithUpcase)
{
    struct Case {
        const wchar_t *a;
        const wchar_t *b;
        size_t n;
        int cmp;    // wcscmp sign
        int ncmp;   // wcsncmp sign over n
        int icmp;   // _wcsicmp sign
        int nicmp;  // _wcsnicmp sign over n
    };
    const Case cases[] = {
        {L"abc", L"abc", 3, 0, 0, 0, 0},
        {L"abc", L"abd", 2, -1, 0, -1, 0},
        {L"ab", L"abc", 3, -1, -1, -1, -1},
        {L"abc", L"ab", 9, 1, 1, 1, 1},
        {L"Serial", L"SERIAL", 6, 1, 1, 0, 0},
        {L"\u00e9t\u00e9", L"\u00c9T\u00c9", 3, 1, 1, 0, 0},
        // Folding to upper case puts '_' (0x5F) after every letter.
        {L"a_", L"ab", 2, -1, -1, 1, 1},
        // A unit above 0x7FFF is not negative.
        {L"\u8000", L"a", 1, 1, 1, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(plat::ToUtf8(plat::FromWide(c.a)) + " vs " + plat::ToUtf8(plat::FromWide(c.b)));
        EXPECT_EQ(Sign(wcscmp(c.a, c.b)), c.cmp);
        EXPECT_EQ(Sign(wcsncmp(c.a, c.b, c.n)), c.ncmp);
        EXPECT_EQ(Sign(_wcsicmp(c.a, c.b)), c.icmp);
        EXPECT_EQ(Sign(_wcsnicmp(c.a, c.b, c.n)), c.nicmp);
    }
}

//
// _snprintf
//

TEST(RtlSnprintf, TruncationFollowsThePlatformRules)
{
    struct Case {
        size_t count;
        int result;
        std::string_view written;  // bytes expected at the start of the buffer
    };
    const Case cases[] = {
        {16, 5, "hello\0"sv},  // fits with its terminator
        {6, 5, "hello\0"sv},   // exactly room for the terminator
        {5, 5, "hello"sv},     // text exactly count long: no terminator
        {3, -1, "hel"sv},      // truncated, no terminator
        {0, -1, ""sv},         // nothing written
    };
    EXPECT_EQ(_snprintf(nullptr, 0, "%d", 12), -1);
    for (const Case &c : cases) {
        SCOPED_TRACE("count " + std::to_string(c.count));
        char buffer[20];
        memset(buffer, Poison, sizeof(buffer));
        EXPECT_EQ(_snprintf(buffer, c.count, "%s", "hello"), c.result);
        EXPECT_EQ(std::string_view(buffer, c.written.size()), c.written);
        for (size_t i = c.written.size(); i < sizeof(buffer); ++i)
            ASSERT_EQ(static_cast<UCHAR>(buffer[i]), Poison) << "byte " << i;
    }
}

TEST(RtlSnprintf, FormatsTheNarrowConversions)
{
    char buffer[64];
    int n = _snprintf(buffer, sizeof(buffer), "%02d:%02d %u %x %s%c", 7, 45, 4000000000u, 0xBEEFu,
                      "COM", '3');
    EXPECT_EQ(std::string(buffer), "07:45 4000000000 beef COM3");
    EXPECT_EQ(n, 26);
}

//
// Counted strings
//

TEST(RtlString, InitSetsLengthsFromTheTerminatedSource)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, L"VexLink");
    EXPECT_EQ(u.Length, 14);
    EXPECT_EQ(u.MaximumLength, 16);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 0);
    EXPECT_EQ(u.Buffer, nullptr);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "COM1");
    EXPECT_EQ(a.Length, 4);
    EXPECT_EQ(a.MaximumLength, 5);
    RtlInitString(&a, nullptr);
    EXPECT_EQ(a.Length, 0);
    EXPECT_EQ(a.MaximumLength, 0);
    EXPECT_EQ(a.Buffer, nullptr);
}

TEST(RtlString, CompareOrdersByFirstDifferenceThenLength)
{
    struct Case {
        std::u16string_view a;
        std::u16string_view b;
        bool caseInsensitive;
        int sign;
    };
    const Case cases[] = {
        {u"abc", u"abc", false, 0},
        {u"abc", u"ABC", false, 1},
        {u"abc", u"ABC", true, 0},
        {u"abc", u"abd", true, -1},
        {u"ab", u"abc", false, -1},
        {u"abc", u"AB", true, 1},
        {u"", u"", false, 0},
        {u"", u"a", true, -1},
        {u"a_", u"ab", false, -1},
        {u"a_", u"ab", true, 1},  // upcase folding: '_' sorts after letters
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", false, 1},
        {u"\u00ff", u"\u0178", true, 0},
        {u"\u00f7", u"\u00d7", true, 1},  // the division sign has no upper case
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(plat::ToUtf8(c.a) + " vs " + plat::ToUtf8(c.b) +
                     (c.caseInsensitive ? " (no case)" : ""));
        CountedText a(c.a), b(c.b);
        EXPECT_EQ(Sign(RtlCompareUnicodeString(&a.string, &b.string, c.caseInsensitive)), c.sign);
        EXPECT_EQ(Sign(RtlCompareUnicodeString(&b.string, &a.string, c.caseInsensitive)), -c.sign);
        EXPECT_EQ(RtlEqualUnicodeString(&a.string, &b.string, c.caseInsensitive), c.sign == 0);
    }
}

TEST(RtlString, CompareSeesOnlyLengthBytes)
{
    CountedText a(u"abcX", 6), b(u"abcY", 6);
    EXPECT_EQ(RtlCompareUnicodeString(&a.string, &b.string, FALSE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&a.string, &b.string, FALSE));
}

TEST(RtlString, CopyCutsToTheDestinationAndTerminatesWhenRoom)
{
    struct Case {
        USHORT maximumLength;
        std::u16string_view text;
        bool terminated;
    };
    const Case cases[] = {
        {16, u"Serial", true},
        {12, u"Serial", false},
        {8, u"Seri", false},
        {9, u"Seri", false},  // an odd byte count never holds half a unit
    };
    CountedText source(u"Serial");
    for (const Case &c : cases) {
        SCOPED_TRACE("maximum " + std::to_string(c.maximumLength));
        PoisonedUnicode destination(c.maximumLength);
        RtlCopyUnicodeString(&destination.string, &source.string);
        EXPECT_EQ(plat::FromUnicodeString(&destination.string), c.text);
        EXPECT_EQ(destination.string.MaximumLength, c.maximumLength);
        EXPECT_EQ(Unit(destination.storage[c.text.size()]), c.terminated ? 0 : PoisonUnit);
    }

    PoisonedUnicode destination(16);
    RtlCopyUnicodeString(&destination.string, nullptr);
    EXPECT_EQ(destination.string.Length, 0);
    EXPECT_EQ(Unit(destination.storage[0]), PoisonUnit);
}

TEST(RtlString, AppendFailsWholeWhenItDoesNotFit)
{
    PoisonedUnicode destination(14);
    destination.string.Length = 0;
    CountedText device(u"\\Device");
    ASSERT_EQ(RtlAppendUnicodeStringToString(&destination.string, &device.string), STATUS_SUCCESS);
    EXPECT_EQ(plat::ToUtf8(&destination.string), "\\Device");
    EXPECT_EQ(Unit(destination.storage[7]), PoisonUnit);  // no room for a terminator

    std::vector<WCHAR> before = destination.storage;
    EXPECT_EQ(RtlAppendUnicodeToString(&destination.string, L"\\"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.string.Length, 14);
    EXPECT_TRUE(destination.storage == before);

    destination.string.MaximumLength = 40;
    ASSERT_EQ(RtlAppendUnicodeToString(&destination.string, L"\\Vex0"), STATUS_SUCCESS);
    EXPECT_EQ(plat::ToUtf8(&destination.string), "\\Device\\Vex0");
    EXPECT_EQ(Unit(destination.storage[12]), 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&destination.string, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(destination.string.Length, 24);
}

TEST(RtlString, AnsiToUnicodeIntoCallerBuffer)
{
    struct Case {
        std::string_view source;
        USHORT maximumLength;
        NTSTATUS status;
        bool terminated;
    };
    const Case cases[] = {
        {"abc", 8, STATUS_SUCCESS, true},
        {"abc", 7, STATUS_SUCCESS, false},  // one spare byte is no terminator
        {"abc", 6, STATUS_SUCCESS, false},
        {"abc", 5, STATUS_BUFFER_OVERFLOW, false},
        {"abc", 0, STATUS_BUFFER_OVERFLOW, false},
        {"", 0, STATUS_SUCCESS, false},
        {"caf\xe9\xff", 12, STATUS_SUCCESS, true},  // bytes keep their values as units
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.source) + " into " + std::to_string(c.maximumLength));
        ANSI_STRING source{static_cast<USHORT>(c.source.size()), static_cast<USHORT>(c.source.size()),
                           const_cast<PCHAR>(c.source.data())};
        PoisonedUnicode destination(c.maximumLength);
        ASSERT_EQ(RtlAnsiStringToUnicodeString(&destination.string, &source, FALSE), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_TRUE(destination.Untouched());
            EXPECT_EQ(destination.string.MaximumLength, c.maximumLength);
            continue;
        }
        std::u16string expected;
        for (char ch : c.source)
            expected.push_back(static_cast<UCHAR>(ch));
        EXPECT_EQ(plat::FromUnicodeString(&destination.string), expected);
        EXPECT_EQ(destination.string.MaximumLength, c.maximumLength);
        EXPECT_EQ(Unit(destination.storage[c.source.size()]), c.terminated ? 0 : PoisonUnit);
    }
}

TEST(RtlString, AllocatedConversionsAreTerminatedAndFreed)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "caf\xe9");
    UNICODE_STRING unicode;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&unicode, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(plat::FromUnicodeString(&unicode), u"caf\u00e9");
    EXPECT_EQ(unicode.MaximumLength, 10);
    EXPECT_EQ(Unit(unicode.Buffer[4]), 0);

    CountedText wide(u"A\u00e9\u4e2d");
    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &wide.string, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), "A\xe9?");
    EXPECT_EQ(ansi.MaximumLength, 4);
    EXPECT_EQ(ansi.Buffer[3], 0);

    RtlFreeUnicodeString(&unicode);
    EXPECT_EQ(unicode.Buffer, nullptr);
    EXPECT_EQ(unicode.Length, 0);
    EXPECT_EQ(unicode.MaximumLength, 0);
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(ansi.Buffer, nullptr);
    EXPECT_EQ(ansi.Length, 0);
}

TEST(RtlString, UnicodeToAnsiIntoCallerBufferFailsWhole)
{
    CountedText wide(u"COM12");
    char storage[8];
    memset(storage, Poison, sizeof(storage));
    ANSI_STRING ansi{0x5555, 4, storage};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &wide.string, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ansi.Length, 0x5555);
    for (char ch : storage)
        EXPECT_EQ(static_cast<UCHAR>(ch), Poison);

    ansi.MaximumLength = 5;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &wide.string, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), "COM12");
    EXPECT_EQ(static_cast<UCHAR>(storage[5]), Poison);
}

TEST(RtlString, UnicodeStringToInteger)
{
    struct Case {
        std::u16string_view text;
        ULONG base;
        NTSTATUS status;
        ULONG value;
        int lengthBytes = -1;  // Length shorter than the text
    };
    const Case cases[] = {
        {u"123", 10, STATUS_SUCCESS, 123},
        {u"-345", 10, STATUS_SUCCESS, static_cast<ULONG>(-345)},
        {u"+678abc", 10, STATUS_SUCCESS, 678},
        {u"+678abc", 16, STATUS_SUCCESS, 0x678ABC},
        {u"xyz", 10, STATUS_SUCCESS, 0},     // no digits: zero, not an error
        {u"   ", 10, STATUS_SUCCESS, 0},     // blank is not empty
        {u"-", 0, STATUS_SUCCESS, 0},
        {u" \t\r\n 42", 0, STATUS_SUCCESS, 42},
        {u"12 34", 10, STATUS_SUCCESS, 12},  // stops at the first non-digit
        {u"129", 8, STATUS_SUCCESS, 012},
        {u"1012", 2, STATUS_SUCCESS, 5},
        {u"fF", 16, STATUS_SUCCESS, 0xFF},
        {u"fF", 10, STATUS_SUCCESS, 0},
        // Base 0 reads a prefix; any other base treats it as text.
        {u"0x1F", 0, STATUS_SUCCESS, 0x1F},
        {u"0o17", 0, STATUS_SUCCESS, 017},
        {u"0b101", 0, STATUS_SUCCESS, 5},
        {u"-0x10", 0, STATUS_SUCCESS, static_cast<ULONG>(-16)},
        {u"0X1F", 0, STATUS_SUCCESS, 0},
        {u"0x", 0, STATUS_SUCCESS, 0},
        {u"08", 0, STATUS_SUCCESS, 8},
        {u"0x1F", 16, STATUS_SUCCESS, 0},
        {u"0b1", 2, STATUS_SUCCESS, 0},
        // No overflow check: the value wraps.
        {u"4294967295", 10, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"4294967296", 10, STATUS_SUCCESS, 0},
        // The text ends at Length or at a null unit.
        {u"123", 10, STATUS_SUCCESS, 12, 4},
        {u"1\0" u"23"sv, 10, STATUS_SUCCESS, 1},
        // Failures leave *Value alone.
        {u"", 10, STATUS_INVALID_PARAMETER, 0x55555555},
        {u"123", 10, STATUS_INVALID_PARAMETER, 0x55555555, 0},
        {u"\0" u"1"sv, 10, STATUS_INVALID_PARAMETER, 0x55555555},
        {u"12", 3, STATUS_INVALID_PARAMETER, 0x55555555},
        {u"12", 1, STATUS_INVALID_PARAMETER, 0x55555555},
        {u"12", 36, STATUS_INVALID_PARAMETER, 0x55555555},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("\"" + plat::ToUtf8(c.text) + "\" base " + std::to_string(c.base));
        CountedText text(c.text, c.lengthBytes);
        ULONG value = 0x55555555;
        EXPECT_EQ(RtlUnicodeStringToInteger(&text.string, c.base, &value), c.status);
        EXPECT_EQ(value, c.value);
    }

    UNICODE_STRING nullBuffer{4, 4, nullptr};
    ULONG value = 0x55555555;
    EXPECT_EQ(RtlUnicodeStringToInteger(&nullBuffer, 10, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 0x55555555u);
}

TEST(RtlString, IntegerToUnicodeString)
{
    struct Case {
        ULONG value;
        ULONG base;
        USHORT maximumLength;
        NTSTATUS status;
        std::u16string_view text;
        bool terminated;
    };
    const Case cases[] = {
        {0, 10, 8, STATUS_SUCCESS, u"0", true},
        {1234, 0, 10, STATUS_SUCCESS, u"1234", true},
        {1234, 10, 8, STATUS_SUCCESS, u"1234", false},
        {0xBEEF, 16, 10, STATUS_SUCCESS, u"BEEF", true},
        {8, 8, 8, STATUS_SUCCESS, u"10", true},
        {5, 2, 8, STATUS_SUCCESS, u"101", true},
        {0xFFFFFFFF, 2, 64, STATUS_SUCCESS, u"11111111111111111111111111111111", false},
        {12345, 10, 8, STATUS_BUFFER_OVERFLOW, u"", false},
        {12, 7, 8, STATUS_INVALID_PARAMETER, u"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.value) + " base " + std::to_string(c.base));
        PoisonedUnicode destination(c.maximumLength);
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &destination.string), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_TRUE(destination.Untouched());
            continue;
        }
        EXPECT_EQ(plat::FromUnicodeString(&destination.string), c.text);
        EXPECT_EQ(Unit(destination.storage[c.text.size()]), c.terminated ? 0 : PoisonUnit);
    }
}

TEST(RtlString, StringFromGuidIsUpperCaseBracedAndAllocated)
{
    const GUID guid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(plat::ToUtf8(&text), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(text.Length, 76);
    EXPECT_EQ(text.MaximumLength, 78);
    EXPECT_EQ(Unit(text.Buffer[38]), 0);
    RtlFreeUnicodeString(&text);
    EXPECT_EQ(text.Buffer, nullptr);
}

TEST(RtlString, AllocatedBuffersAreChargedToTheStringTag)
{
    const ULONG tag = plat::TagFromText("Strg");
    const size_t before = plat::PoolInUse(tag).blocks;

    const GUID guid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    UNICODE_STRING guidText;
    ASSERT_EQ(RtlStringFromGUID(guid, &guidText), STATUS_SUCCESS);
    ANSI_STRING source;
    RtlInitAnsiString(&source, "COM7");
    UNICODE_STRING unicode;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&unicode, &source, TRUE), STATUS_SUCCESS);
    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &unicode, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(plat::PoolInUse(tag).blocks, before + 3);

    RtlFreeUnicodeString(&guidText);
    RtlFreeUnicodeString(&unicode);
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(plat::PoolInUse(tag).blocks, before);
}

TEST(RtlString, FailedAllocationLeavesTheDestinationAlone)
{
    struct ClearFaultsOnExit {
        ~ClearFaultsOnExit() { plat::ClearFaults(); }
    } clearFaults;
    plat::FailPoolTag(plat::TagFromText("Strg"));

    UNICODE_STRING unicode;
    memset(&unicode, Poison, sizeof(unicode));
    ANSI_STRING source;
    RtlInitAnsiString(&source, "COM7");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &source, TRUE), STATUS_NO_MEMORY);
    const GUID guid = {};
    EXPECT_EQ(RtlStringFromGUID(guid, &unicode), STATUS_NO_MEMORY);
    UNICODE_STRING poisonedUnicode;
    memset(&poisonedUnicode, Poison, sizeof(poisonedUnicode));
    EXPECT_EQ(memcmp(&unicode, &poisonedUnicode, sizeof(unicode)), 0);

    CountedText wide(u"COM7");
    ANSI_STRING ansi;
    memset(&ansi, Poison, sizeof(ansi));
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &wide.string, TRUE), STATUS_NO_MEMORY);
    ANSI_STRING poisonedAnsi;
    memset(&poisonedAnsi, Poison, sizeof(poisonedAnsi));
    EXPECT_EQ(memcmp(&ansi, &poisonedAnsi, sizeof(ansi)), 0);
}

TEST(RtlString, UpcaseAndCompareMemory)
{
    const std::pair<WCHAR, WCHAR> upcase[] = {
        {L'a', L'A'}, {L'z', L'Z'}, {L'A', L'A'}, {L'_', L'_'}, {L'1', L'1'},
        {0xE9, 0xC9}, {0xF7, 0xF7}, {0xFF, 0x178}, {0x4E2D, 0x4E2D},
    };
    for (auto [from, to] : upcase)
        EXPECT_EQ(Unit(RtlUpcaseUnicodeChar(from)), Unit(to)) << "unit " << Unit(from);

    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

//
// Time
//

namespace {

struct DateCase {
    LONGLONG time;
    TIME_FIELDS fields;  // Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday
};

const DateCase kDates[] = {
    {0, {1601, 1, 1, 0, 0, 0, 0, 1}},                                   // the epoch, a Monday
    {315359999990000, {1601, 12, 31, 23, 59, 59, 999, 1}},              // end of the first year
    {94405824000000000, {1900, 3, 1, 0, 0, 0, 0, 4}},                   // 1900 had no leap day
    {116444736000000000, {1970, 1, 1, 0, 0, 0, 0, 4}},
    {125962794000000000, {2000, 2, 29, 6, 30, 0, 0, 2}},                // leap day of a 400th year
    {126227376005000000, {2000, 12, 31, 12, 0, 0, 500, 0}},             // last day of a 400-year cycle
    {133537247999990000, {2024, 2, 29, 23, 59, 59, 999, 4}},            // leap day
    {134412843030000000, {2026, 12, 9, 10, 5, 3, 0, 3}},
};

std::string Describe(const TIME_FIELDS &f)
{
    char text[64];
    _snprintf(text, sizeof(text), "%d-%02d-%02d %02d:%02d:%02d.%u wd %d", f.Year, f.Month, f.Day,
              f.Hour, f.Minute, f.Second, unsigned(f.Milliseconds), f.Weekday);
    return text;
}

}  // namespace

TEST(RtlTime, TimeToFieldsAndBack)
{
    for (const DateCase &c : kDates) {
        SCOPED_TRACE(Describe(c.fields));
        LARGE_INTEGER time;
        time.QuadPart = c.time;
        TIME_FIELDS fields;
        memset(&fields, Poison, sizeof(fields));
        RtlTimeToTimeFields(&time, &fields);
        EXPECT_EQ(Describe(fields), Describe(c.fields));

        TIME_FIELDS input = c.fields;
        input.Weekday = 6;  // ignored
        LARGE_INTEGER back;
        ASSERT_TRUE(RtlTimeFieldsToTime(&input, &back));
        EXPECT_EQ(back.QuadPart, c.time);
    }
}

// Every day of a full 400-year cycle and the start of the next: the fields
// advance by exactly one calendar day and one weekday, and convert back.
TEST(RtlTime, EveryDayOfACycleRoundTrips)
{
    constexpr LONGLONG day = 864'000'000'000;
    LARGE_INTEGER time;
    time.QuadPart = 0;
    TIME_FIELDS previous;
    RtlTimeToTimeFields(&time, &previous);
    for (LONGLONG n = 1; n <= 146'097 + 366; ++n) {
        time.QuadPart = n * day + 12 * 36'000'000'000LL;  // noon
        TIME_FIELDS fields;
        RtlTimeToTimeFields(&time, &fields);
        ASSERT_EQ(fields.Weekday, (previous.Weekday + 1) % 7) << Describe(fields);
        ASSERT_EQ(fields.Hour, 12);
        bool nextDay = fields.Year == previous.Year && fields.Month == previous.Month &&
                       fields.Day == previous.Day + 1;
        bool nextMonth = fields.Year == previous.Year && fields.Month == previous.Month + 1 &&
                         fields.Day == 1;
        bool nextYear = fields.Year == previous.Year + 1 && fields.Month == 1 && fields.Day == 1 &&
                        previous.Month == 12 && previous.Day == 31;
        ASSERT_TRUE(nextDay || nextMonth || nextYear) << Describe(previous) << " -> " << Describe(fields);
        LARGE_INTEGER back;
        ASSERT_TRUE(RtlTimeFieldsToTime(&fields, &back));
        ASSERT_EQ(back.QuadPart, time.QuadPart);
        previous = fields;
    }
    EXPECT_EQ(previous.Year, 2002);
}

TEST(RtlTime, InvalidFieldsAreRejected)
{
    const TIME_FIELDS cases[] = {
        {1600, 12, 31, 0, 0, 0, 0, 0},  // before the epoch
        {1900, 2, 29, 0, 0, 0, 0, 0},
        {2023, 2, 29, 0, 0, 0, 0, 0},
        {2024, 2, 30, 0, 0, 0, 0, 0},
        {2024, 4, 31, 0, 0, 0, 0, 0},
        {2024, 0, 1, 0, 0, 0, 0, 0},
        {2024, 13, 1, 0, 0, 0, 0, 0},
        {2024, 1, 0, 0, 0, 0, 0, 0},
        {2024, 1, 1, 24, 0, 0, 0, 0},
        {2024, 1, 1, 0, 60, 0, 0, 0},
        {2024, 1, 1, 0, 0, 60, 0, 0},
        {2024, 1, 1, 0, 0, 0, 1000, 0},
        {2024, 1, 1, -1, 0, 0, 0, 0},
        {30829, 1, 1, 0, 0, 0, 0, 0},  // past the largest time value
    };
    for (const TIME_FIELDS &f : cases) {
        SCOPED_TRACE(Describe(f));
        TIME_FIELDS input = f;
        LARGE_INTEGER time;
        time.QuadPart = 0x5555555555555555;
        EXPECT_FALSE(RtlTimeFieldsToTime(&input, &time));
        EXPECT_EQ(time.QuadPart, 0x5555555555555555);
    }
}

class RtlTimeZone : public ::testing::Test {
protected:
    void SetUp() override { savedBias_ = plat::TimeZoneBiasMinutes(); }
    void TearDown() override { plat::SetTimeZoneBiasMinutes(savedBias_); }

private:
    LONG savedBias_ = 0;
};

TEST_F(RtlTimeZone, LocalTimeIsSystemTimeMinusTheBias)
{
    constexpr LONGLONG minute = 600'000'000;
    const LONGLONG system = kDates[7].time;  // 2026-12-09 10:05:03 UTC
    struct Case {
        LONG bias;
        CSHORT localHour;
        CSHORT localMinute;
    };
    const Case cases[] = {
        {0, 10, 5},
        {-60, 11, 5},   // an hour east of UTC
        {300, 5, 5},    // five hours west
        {-330, 15, 35}, // a half-hour zone
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("bias " + std::to_string(c.bias));
        plat::SetTimeZoneBiasMinutes(c.bias);
        LARGE_INTEGER systemTime, localTime, roundTrip;
        systemTime.QuadPart = system;
        ExSystemTimeToLocalTime(&systemTime, &localTime);
        EXPECT_EQ(localTime.QuadPart, system - c.bias * minute);
        TIME_FIELDS fields;
        RtlTimeToTimeFields(&localTime, &fields);
        EXPECT_EQ(fields.Hour, c.localHour);
        EXPECT_EQ(fields.Minute, c.localMinute);
        ExLocalTimeToSystemTime(&localTime, &roundTrip);
        EXPECT_EQ(roundTrip.QuadPart, system);
    }
}
