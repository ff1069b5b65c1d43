// The registry-export text form: export of a subtree, import, and the state
// file the machine keeps between runs.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cm/Hive.h"
#include "cm/Utf8.h"
#include "rtl/Text.h"

namespace plat::cm {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
// A hex line is broken after the comma that takes it past this column, as the
// registry editor does, so that no line exceeds 80 characters.
constexpr size_t kWrapColumn = 76;

//
// Export
//

std::u16string Escaped(std::u16string_view text)
{
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"')
            out.push_back(u'\\');
        out.push_back(c);
    }
    return out;
}

// REG_SZ data that reads back exactly from "text": one terminating NUL, no
// other NUL, and no line break that would split the line.
bool PlainString(const Value &value, std::u16string *text)
{
    const auto &data = value.data;
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    text->assign(data.size() / 2 - 1, u'\0');
    if (!text->empty())
        std::memcpy(text->data(), data.data(), text->size() * 2);
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0)
        return false;
    return text->find_first_of(std::u16string_view(u"\0\r\n", 3)) == std::u16string::npos;
}

std::string HexDigits(uint32_t value, int width)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0 || static_cast<int>(out.size()) < width);
    return out;
}

// Appends the value's line; the state file is mostly hex lists, so their
// bytes are written digit by digit without a string per byte.
void AppendValueLine(const Value &value, std::string *out)
{
    std::u16string prefix = value.name.empty() ? u"@=" : u"\"" + Escaped(value.name) + u"\"=";
    std::u16string text;
    if (value.type == REG_SZ && PlainString(value, &text)) {
        *out += ToUtf8(prefix + u"\"" + Escaped(text) + u"\"");
        *out += '\n';
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t dword;
        std::memcpy(&dword, value.data.data(), 4);
        *out += ToUtf8(prefix) + "dword:" + HexDigits(dword, 8) + "\n";
        return;
    }
    static const char digits[] = "0123456789abcdef";
    std::string tag = value.type == REG_BINARY ? "hex:" : "hex(" + HexDigits(value.type, 1) + "):";
    *out += ToUtf8(prefix) + tag;
    size_t column = prefix.size() + tag.size();
    const size_t count = value.data.size();
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = value.data[i];
        char item[3] = {digits[byte >> 4], digits[byte & 0xF], ','};
        bool last = i + 1 == count;
        out->append(item, last ? 2 : 3);
        column += last ? 2 : 3;
        if (!last && column > kWrapColumn) {
            out->append("\\\n  ");
            column = 2;
        }
    }
    *out += '\n';
}

void ExportKey(const Key *key, bool includeVolatile, std::string *out)
{
    if (!includeVolatile && key->IsVolatile())
        return;
    *out += "[" + ToUtf8(ExportPathOf(key)) + "]\n";
    for (const auto &value : key->Values())
        AppendValueLine(value, out);
    *out += "\n";
    // Each name is upcased once, not at every comparison of the sort.
    std::vector<std::pair<std::u16string, const Key *>> subkeys;
    subkeys.reserve(key->Subkeys().size());
    for (const auto &subkey : key->Subkeys())
        subkeys.emplace_back(Upcase(subkey->Name()), subkey.get());
    std::sort(subkeys.begin(), subkeys.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &subkey : subkeys)
        ExportKey(subkey.second, includeVolatile, out);
}

//
// Import
//

struct ImportStep {
    enum Kind { OpenKey, DeleteKey, SetValue, DeleteValue } kind;
    std::u16string path;  // OpenKey, DeleteKey
    Value value;          // SetValue, DeleteValue (name only)
};

std::string_view TrimLeft(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool StartsWith(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(std::string_view s, size_t maxDigits, uint32_t *value)
{
    if (s.empty() || s.size() > maxDigits)
        return false;
    *value = 0;
    for (char c : s) {
        int digit = HexValue(c);
        if (digit < 0)
            return false;
        *value = (*value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

class Parser {
public:
    // An error names its line as "<where>N: problem".
    explicit Parser(std::string_view text, std::string where = "line ") : where_(std::move(where))
    {
        if (StartsWith(text, "\xEF\xBB\xBF"))
            text.remove_prefix(3);
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == text.npos) {
                if (start < text.size())
                    lines_.push_back(text.substr(start));
                break;
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool Parse(std::vector<ImportStep> *steps, std::string *error)
    {
        bool seenContent = false;
        bool inKey = false;
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            lineNumber_ = index_ + 1;
            std::string_view line = TrimRight(TrimLeft(lines_[index_]));
            if (line.empty() || line.front() == ';')
                continue;
            if (!seenContent && (line == kHeader || line == kOldHeader)) {
                seenContent = true;
                continue;
            }
            seenContent = true;
            if (!IsValidUtf8(lines_[index_]))
                return Fail("invalid UTF-8", error);
            bool ok;
            if (line.front() == '[') {
                ok = ParseKeyLine(line, steps, &inKey);
            } else if (line.front() == '@' || line.front() == '"') {
                if (!inKey)
                    return Fail("value outside a key", error);
                ok = ParseValueLine(TrimLeft(lines_[index_]), steps);
            } else {
                ok = Fail("unrecognised line", nullptr);
            }
            if (!ok)
                return Fail(problem_, error);
        }
        return true;
    }

private:
    bool Fail(const std::string &problem, std::string *error)
    {
        problem_ = problem;
        if (error)
            *error = where_ + std::to_string(lineNumber_) + ": " + problem;
        return false;
    }

    bool ParseKeyLine(std::string_view line, std::vector<ImportStep> *steps, bool *inKey)
    {
        if (line.back() != ']')
            return Fail("key line without closing ]", nullptr);
        std::string_view inner = line.substr(1, line.size() - 2);
        bool remove = !inner.empty() && inner.front() == '-';
        if (remove)
            inner.remove_prefix(1);
        std::u16string path = FromUtf8(inner);
        std::vector<std::u16string> names;
        if (!SplitRegistryPath(path, &names) || names.empty())
            return Fail("not a key path below HKEY_LOCAL_MACHINE or HKEY_USERS", nullptr);
        if (names.size() > kMaxKeyDepth)
            return Fail("key nested deeper than " + std::to_string(kMaxKeyDepth) + " levels", nullptr);
        for (const auto &name : names)
            if (name.size() > kMaxKeyNameChars)
                return Fail("key name longer than " + std::to_string(kMaxKeyNameChars) + " characters", nullptr);
        steps->push_back(ImportStep{remove ? ImportStep::DeleteKey : ImportStep::OpenKey, path, {}});
        *inKey = !remove;
        return true;
    }

    // Reads a quoted string with \\ and \" escapes from the front of *s.
    bool ParseQuoted(std::string_view *s, std::u16string *text)
    {
        std::string raw;
        size_t i = 1;
        for (; i < s->size(); ++i) {
            char c = (*s)[i];
            if (c == '"')
                break;
            if (c == '\\' && i + 1 < s->size() && ((*s)[i + 1] == '\\' || (*s)[i + 1] == '"'))
                c = (*s)[++i];
            raw.push_back(c);
        }
        if (i >= s->size())
            return Fail("unterminated string", nullptr);
        s->remove_prefix(i + 1);
        *text = FromUtf8(raw);
        return true;
    }

    bool ParseValueLine(std::string_view line, std::vector<ImportStep> *steps)
    {
        Value value;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (!ParseQuoted(&line, &value.name)) {
            return false;  // "" names the default value, as @ does
        }
        if (value.name.size() > kMaxValueNameChars)
            return Fail("value name longer than " + std::to_string(kMaxValueNameChars) + " characters", nullptr);
        line = TrimLeft(line);
        if (line.empty() || line.front() != '=')
            return Fail("= expected after the value name", nullptr);
        line = TrimLeft(line.substr(1));
        std::string_view data = TrimRight(line);
        if (data == "-") {
            steps->push_back(ImportStep{ImportStep::DeleteValue, {}, std::move(value)});
            return true;
        }
        if (!data.empty() && data.front() == '"') {
            std::u16string text;
            if (!ParseQuoted(&data, &text))
                return false;
            if (!TrimLeft(data).empty())
                return Fail("text after the closing quote", nullptr);
            value.type = REG_SZ;
            text.push_back(u'\0');
            value.data.resize(text.size() * 2);
            std::memcpy(value.data.data(), text.data(), value.data.size());
        } else if (StartsWith(data, "dword:")) {
            uint32_t dword;
            if (!ParseHexNumber(data.substr(6), 8, &dword))
                return Fail("dword needs 1 to 8 hex digits", nullptr);
            value.type = REG_DWORD;
            value.data.resize(4);
            std::memcpy(value.data.data(), &dword, 4);
        } else if (StartsWith(data, "hex")) {
            if (!ParseHex(data, &value))
                return false;
        } else {
            return Fail("unrecognised value data", nullptr);
        }
        if (value.data.size() > kMaxValueDataBytes)
            return Fail("value data larger than " + std::to_string(kMaxValueDataBytes) + " bytes", nullptr);
        steps->push_back(ImportStep{ImportStep::SetValue, {}, std::move(value)});
        return true;
    }

    // hex:..., hex(N):..., continued on following lines after a trailing backslash.
    bool ParseHex(std::string_view data, Value *value)
    {
        size_t colon = data.find(':');
        if (colon == data.npos)
            return Fail("hex value without :", nullptr);
        std::string_view tag = data.substr(0, colon);
        if (tag.size() == 3) {
            value->type = REG_BINARY;
        } else if (tag.size() < 6 || tag[3] != '(' || tag.back() != ')' ||
                   !ParseHexNumber(tag.substr(4, tag.size() - 5), 8, &value->type)) {
            return Fail("hex type must be written hex(N)", nullptr);
        }
        std::string bytes(data.substr(colon + 1));
        while (!bytes.empty() && bytes.back() == '\\') {
            bytes.pop_back();
            if (index_ + 1 >= lines_.size())
                return Fail("continuation at the end of the text", nullptr);
            ++index_;
            bytes += TrimRight(TrimLeft(lines_[index_]));
        }
        if (TrimRight(TrimLeft(bytes)).empty())
            return true;
        // A plain scan: a state file is mostly hex lists.
        const char *p = bytes.data();
        const char *end = p + bytes.size();
        value->data.reserve(bytes.size() / 3 + 1);
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        for (;;) {
            const char *comma = static_cast<const char *>(std::memchr(p, ',', static_cast<size_t>(end - p)));
            const char *first = p;
            const char *last = comma ? comma : end;
            while (first < last && blank(*first))
                ++first;
            while (last > first && blank(last[-1]))
                --last;
            size_t digits = static_cast<size_t>(last - first);
            int high = digits ? HexValue(first[0]) : -1;
            int low = digits == 2 ? HexValue(first[1]) : 0;
            if (digits == 0 || digits > 2 || high < 0 || low < 0)
                return Fail("bad hex byte '" + std::string(first, digits) + "'", nullptr);
            value->data.push_back(static_cast<uint8_t>(digits == 1 ? high : high * 16 + low));
            if (!comma)
                return true;
            p = comma + 1;
        }
    }

    std::string where_;
    std::vector<std::string_view> lines_;
    size_t index_ = 0;
    size_t lineNumber_ = 0;
    std::string problem_;
};

// Applies parsed steps; the parser already rejected what could fail here.
void Apply(Hive &hive, const std::vector<ImportStep> &steps)
{
    Key *key = nullptr;
    for (const auto &step : steps) {
        switch (step.kind) {
        case ImportStep::OpenKey:
            key = hive.Create(step.path);
            break;
        case ImportStep::DeleteKey:
            hive.DeleteTree(step.path);
            key = nullptr;
            break;
        case ImportStep::SetValue:
            if (key)
                key->SetValue(step.value.name, step.value.type, step.value.data);
            break;
        case ImportStep::DeleteValue:
            if (key)
                key->DeleteValue(step.value.name);
            break;
        }
    }
}

// A file the registry editor wrote is UTF-16LE with a byte-order mark.
std::string FileTextAsUtf8(std::string bytes)
{
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
        return bytes;
    std::u16string text((bytes.size() - 2) / 2, u'\0');
    if (!text.empty())
        std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
    return ToUtf8(text);
}

}  // namespace

std::string Hive::ExportText(std::u16string_view path, bool includeVolatile)
{
    std::lock_guard lock(mutex_);
    std::string out;
    Key *key = Find(path);
    if (!key)
        return out;
    if (key == root_.get()) {
        for (const auto &hiveRoot : key->Subkeys())
            ExportKey(hiveRoot.get(), includeVolatile, &out);
        return out;
    }
    ExportKey(key, includeVolatile, &out);
    return out;
}

bool Hive::ImportText(std::string_view text, std::string *error)
{
    std::vector<ImportStep> steps;
    if (!Parser(text).Parse(&steps, error))
        return false;
    std::lock_guard lock(mutex_);
    Apply(*this, steps);
    return true;
}

std::string Hive::StateText()
{
    std::lock_guard lock(mutex_);
    return std::string(kHeader) + "\n\n" + ExportText(u"\\Registry\\Machine", false) +
           ExportText(u"\\Registry\\User", false);
}

bool Hive::LoadText(std::string_view bytes, const std::string &fileName, std::string *error)
{
    std::string text = FileTextAsUtf8(std::string(bytes));
    std::vector<ImportStep> steps;
    if (!Parser(text, fileName + ":").Parse(&steps, error))
        return false;
    std::lock_guard lock(mutex_);
    Clear();
    Apply(*this, steps);
    return true;
}

bool Hive::SaveFile(const std::string &hostPath)
{
    std::string text = StateText();
    std::ofstream file(hostPath, std::ios::binary | std::ios::trunc);
    if (!file)
        return false;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    return static_cast<bool>(file.flush());
}

bool Hive::LoadFile(const std::string &hostPath, std::string *error)
{
    std::ifstream file(hostPath, std::ios::binary);
    if (!file) {
        if (error)
            *error = hostPath + ": cannot open";
        return false;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return LoadText(bytes.str(), hostPath, error);
}

}  // namespace plat::cm
