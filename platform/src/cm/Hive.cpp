// The registry tree: keys, values, path parsing and the convenience access of
// the machine's own code.
#include "cm/Hive.h"

#include <cstring>

#include "rtl/Text.h"

namespace plat::cm {
namespace {

LONGLONG (*timeSource)() = nullptr;

LONGLONG Now() { return timeSource ? timeSource() : 0; }

// Spellings of the two roots below \Registry in exported text.
struct RootSpelling {
    const char16_t *exportName;
    const char16_t *keyName;
};
constexpr RootSpelling kRootSpellings[] = {
    {u"HKEY_LOCAL_MACHINE", u"Machine"},
    {u"HKLM", u"Machine"},
    {u"HKEY_USERS", u"User"},
    {u"HKU", u"User"},
};

}  // namespace

bool SplitKeyNames(std::u16string_view text, std::vector<std::u16string> *names)
{
    if (!text.empty() && text.back() == u'\\')
        text.remove_suffix(1);
    if (text.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(u'\\', start);
        std::u16string_view name = text.substr(start, end == text.npos ? text.npos : end - start);
        if (name.empty())
            return false;
        names->emplace_back(name);
        if (end == text.npos)
            return true;
        start = end + 1;
    }
}

namespace {

std::vector<uint8_t> BytesOf(std::u16string_view text, bool terminate)
{
    std::vector<uint8_t> data((text.size() + (terminate ? 1 : 0)) * sizeof(char16_t), 0);
    if (!text.empty())
        std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

std::u16string UnitsOf(const std::vector<uint8_t> &data)
{
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    if (!text.empty())
        std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    return text;
}

bool ValidKeyName(std::u16string_view name)
{
    return !name.empty() && name.size() <= kMaxKeyNameChars && name.find(u'\\') == name.npos;
}

}  // namespace

void SetRegistryTimeSource(LONGLONG (*now)()) { timeSource = now; }

bool SplitRegistryPath(std::u16string_view path, std::vector<std::u16string> *names)
{
    names->clear();
    constexpr std::u16string_view kKernelRoot = u"\\Registry";
    if (path.size() >= kKernelRoot.size() && EqualNoCase(path.substr(0, kKernelRoot.size()), kKernelRoot)) {
        std::u16string_view rest = path.substr(kKernelRoot.size());
        if (rest.empty())
            return true;
        if (rest.front() != u'\\')
            return false;
        return SplitKeyNames(rest.substr(1), names);
    }
    size_t end = path.find(u'\\');
    std::u16string_view first = path.substr(0, end);
    for (const auto &spelling : kRootSpellings) {
        if (!EqualNoCase(first, spelling.exportName))
            continue;
        names->emplace_back(spelling.keyName);
        return end == path.npos || SplitKeyNames(path.substr(end + 1), names);
    }
    return false;
}

std::u16string ExportPathOf(const Key *key)
{
    std::vector<const Key *> chain;
    for (const Key *k = key; k && k->Parent(); k = k->Parent())
        chain.insert(chain.begin(), k);
    if (chain.empty())
        return u"\\Registry";
    std::u16string path;
    if (EqualNoCase(chain[0]->Name(), u"Machine"))
        path = u"HKEY_LOCAL_MACHINE";
    else if (EqualNoCase(chain[0]->Name(), u"User"))
        path = u"HKEY_USERS";
    else
        path = u"\\Registry\\" + chain[0]->Name();
    for (size_t i = 1; i < chain.size(); ++i)
        path += u"\\" + chain[i]->Name();
    return path;
}

//
// Key
//

Key::Key(std::u16string name, Key *parent, bool isVolatile)
    : name_(std::move(name)), parent_(parent), volatile_(isVolatile), lastWriteTime_(Now()),
      depth_(parent ? parent->depth_ + 1 : 0)
{
}

std::u16string Key::Path() const
{
    if (!parent_)
        return deleted_ ? name_ : u"\\Registry";
    return parent_->Path() + u"\\" + name_;
}

Key *Key::FindSubkey(std::u16string_view name) const
{
    auto it = index_.find(Upcase(name));
    return it == index_.end() ? nullptr : it->second;
}

Key *Key::AddSubkey(std::shared_ptr<Key> subkey)
{
    index_.emplace(Upcase(subkey->name_), subkey.get());
    subkeys_.push_back(std::move(subkey));
    return subkeys_.back().get();
}

void Key::RemoveSubkey(Key *subkey)
{
    index_.erase(Upcase(subkey->name_));
    std::erase_if(subkeys_, [subkey](const auto &k) { return k.get() == subkey; });
}

const Value *Key::FindValue(std::u16string_view name) const
{
    for (const auto &value : values_)
        if (EqualNoCase(value.name, name))
            return &value;
    return nullptr;
}

void Key::SetValue(std::u16string_view name, ULONG type, std::vector<uint8_t> data)
{
    Touch();
    for (auto &value : values_) {
        if (EqualNoCase(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    values_.push_back(Value{std::u16string(name), type, std::move(data)});
}

bool Key::DeleteValue(std::u16string_view name)
{
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (EqualNoCase(it->name, name)) {
            values_.erase(it);
            Touch();
            return true;
        }
    }
    return false;
}

void Key::Touch() { lastWriteTime_ = Now(); }

//
// Hive
//

Hive &Registry()
{
    static Hive hive;
    return hive;
}

Hive::Hive() { Clear(); }

void Hive::MarkDeleted(Key *key)
{
    for (const auto &subkey : key->subkeys_)
        MarkDeleted(subkey.get());
    key->subkeys_.clear();
    key->index_.clear();
    key->values_.clear();
    key->deleted_ = true;
    key->parent_ = nullptr;
}

void Hive::Clear()
{
    std::lock_guard lock(mutex_);
    if (root_)
        MarkDeleted(root_.get());
    root_ = std::make_shared<Key>(u"Registry", nullptr, false);
    root_->AddSubkey(std::make_shared<Key>(u"Machine", root_.get(), false));
    root_->AddSubkey(std::make_shared<Key>(u"User", root_.get(), false));
}

void Hive::DropVolatileBelow(Key *key)
{
    auto &subkeys = key->subkeys_;
    for (auto it = subkeys.begin(); it != subkeys.end();) {
        if ((*it)->volatile_) {
            key->index_.erase(Upcase((*it)->name_));
            MarkDeleted(it->get());
            it = subkeys.erase(it);
        } else {
            DropVolatileBelow(it->get());
            ++it;
        }
    }
}

void Hive::ClearVolatile()
{
    std::lock_guard lock(mutex_);
    DropVolatileBelow(root_.get());
}

void Hive::EnsureBootKeys()
{
    std::lock_guard lock(mutex_);
    Create(u"\\Registry\\Machine\\Hardware\\DeviceMap", true);
}

Key *Hive::Find(std::u16string_view path)
{
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    if (!SplitRegistryPath(path, &names))
        return nullptr;
    Key *key = root_.get();
    for (const auto &name : names)
        if (!(key = key->FindSubkey(name)))
            return nullptr;
    return key;
}

Key *Hive::CreateSubkey(Key *parent, std::u16string_view name, bool isVolatile, bool *created,
                        NTSTATUS *status)
{
    std::lock_guard lock(mutex_);
    NTSTATUS ignored;
    if (!status)
        status = &ignored;
    *created = false;
    if (Key *existing = parent->FindSubkey(name)) {
        *status = STATUS_SUCCESS;
        return existing;
    }
    *status = CanCreateSubkey(parent, name, isVolatile);
    if (!NT_SUCCESS(*status))
        return nullptr;
    Key *key = parent->AddSubkey(std::make_shared<Key>(std::u16string(name), parent, isVolatile));
    parent->Touch();
    *created = true;
    *status = STATUS_SUCCESS;
    return key;
}

NTSTATUS Hive::CanCreateSubkey(const Key *parent, std::u16string_view name, bool isVolatile)
{
    std::lock_guard lock(mutex_);
    if (parent->deleted_)
        return STATUS_KEY_DELETED;
    if (!ValidKeyName(name))
        return STATUS_OBJECT_NAME_INVALID;
    // Only the two fixed hive roots live directly below \Registry.
    if (parent == root_.get())
        return STATUS_ACCESS_DENIED;
    if (parent->volatile_ && !isVolatile)
        return STATUS_CHILD_MUST_BE_VOLATILE;
    if (parent->depth_ + 1 > kMaxKeyDepth)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

Key *Hive::Create(std::u16string_view path, bool isVolatile)
{
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    if (!SplitRegistryPath(path, &names))
        return nullptr;
    Key *key = root_.get();
    for (const auto &name : names) {
        bool created;
        key = CreateSubkey(key, name, isVolatile || key->volatile_, &created);
        if (!key)
            return nullptr;
    }
    return key;
}

NTSTATUS Hive::DeleteKey(Key *key)
{
    std::lock_guard lock(mutex_);
    if (key->deleted_)
        return STATUS_KEY_DELETED;
    if (!key->parent_ || key->parent_ == root_.get() || !key->subkeys_.empty())
        return STATUS_CANNOT_DELETE;
    Key *parent = key->parent_;
    std::shared_ptr<Key> keep = key->shared_from_this();
    parent->RemoveSubkey(key);
    MarkDeleted(key);
    parent->Touch();
    return STATUS_SUCCESS;
}

bool Hive::DeleteTree(std::u16string_view path)
{
    std::lock_guard lock(mutex_);
    Key *key = Find(path);
    if (!key || !key->parent_ || key->parent_ == root_.get())
        return false;
    Key *parent = key->parent_;
    std::shared_ptr<Key> keep = key->shared_from_this();
    parent->RemoveSubkey(key);
    MarkDeleted(key);
    parent->Touch();
    return true;
}

std::vector<std::u16string> Hive::SubkeyNames(const Key *key)
{
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    if (key)
        for (const auto &subkey : key->subkeys_)
            names.push_back(subkey->name_);
    return names;
}

std::optional<Value> Hive::GetValue(std::u16string_view path, std::u16string_view name)
{
    std::lock_guard lock(mutex_);
    Key *key = Find(path);
    const Value *value = key ? key->FindValue(name) : nullptr;
    if (!value)
        return std::nullopt;
    return *value;
}

std::optional<uint32_t> Hive::GetDword(std::u16string_view path, std::u16string_view name)
{
    auto value = GetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(uint32_t))
        return std::nullopt;
    uint32_t result;
    std::memcpy(&result, value->data.data(), sizeof(result));
    return result;
}

std::optional<std::u16string> Hive::GetString(std::u16string_view path, std::u16string_view name)
{
    auto value = GetValue(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text = UnitsOf(value->data);
    size_t end = text.find(u'\0');
    if (end != text.npos)
        text.resize(end);
    return text;
}

std::optional<std::vector<std::u16string>> Hive::GetMultiString(std::u16string_view path,
                                                                 std::u16string_view name)
{
    auto value = GetValue(path, name);
    if (!value || value->type != REG_MULTI_SZ)
        return std::nullopt;
    std::u16string text = UnitsOf(value->data);
    std::vector<std::u16string> list;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\0', start);
        if (end == start)
            break;
        list.push_back(text.substr(start, end == text.npos ? text.npos : end - start));
        if (end == text.npos)
            break;
        start = end + 1;
    }
    return list;
}

bool Hive::SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
                    std::vector<uint8_t> data)
{
    std::lock_guard lock(mutex_);
    Key *key = Create(path);
    if (!key)
        return false;
    key->SetValue(name, type, std::move(data));
    return true;
}

bool Hive::SetDword(std::u16string_view path, std::u16string_view name, uint32_t value)
{
    std::vector<uint8_t> data(sizeof(value));
    std::memcpy(data.data(), &value, sizeof(value));
    return SetValue(path, name, REG_DWORD, std::move(data));
}

bool Hive::SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value,
                     ULONG type)
{
    return SetValue(path, name, type, BytesOf(value, true));
}

bool Hive::SetMultiString(std::u16string_view path, std::u16string_view name,
                          const std::vector<std::u16string> &values)
{
    std::u16string text;
    for (const auto &value : values)
        text += value + u'\0';
    return SetValue(path, name, REG_MULTI_SZ, BytesOf(text, true));
}

bool Hive::DeleteValue(std::u16string_view path, std::u16string_view name)
{
    std::lock_guard lock(mutex_);
    Key *key = Find(path);
    return key && key->DeleteValue(name);
}

//
// Key handles
//

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired)
{
    constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
    ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kMaximumAllowed);
    if (desired & (GENERIC_READ | GENERIC_EXECUTE))
        access |= KEY_READ;
    if (desired & GENERIC_WRITE)
        access |= KEY_WRITE;
    if (desired & (GENERIC_ALL | kMaximumAllowed))
        access |= KEY_ALL_ACCESS;
    return access;
}

HANDLE InsertKeyHandle(Key *key, ACCESS_MASK desired)
{
    auto object = std::make_shared<KeyObject>();
    object->key = key->shared_from_this();
    object->access = MapKeyAccess(desired);
    return InsertHandle(std::move(object));
}

NTSTATUS ReferenceKeyHandle(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<Key> *key)
{
    std::shared_ptr<HandleObject> object = LookupHandle(handle);
    if (!object)
        return STATUS_INVALID_HANDLE;
    auto keyObject = std::dynamic_pointer_cast<KeyObject>(object);
    if (!keyObject)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if ((keyObject->access & needed) != needed)
        return STATUS_ACCESS_DENIED;
    if (keyObject->key->IsDeleted())
        return STATUS_KEY_DELETED;
    *key = keyObject->key;
    return STATUS_SUCCESS;
}

}  // namespace plat::cm
