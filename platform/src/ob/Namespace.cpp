// Object namespace of device names and symbolic links.
#include "ob/Namespace.h"

#include <map>

#include "rtl/Text.h"

namespace plat {
namespace {

struct Entry {
    std::u16string name;      // as created
    PDEVICE_OBJECT device = nullptr;
    std::u16string target;    // for links
};

std::map<std::u16string, Entry> &names()
{
    static std::map<std::u16string, Entry> m;
    return m;
}

std::u16string Key(std::u16string_view name) { return Upcase(CanonicalObjectName(name)); }

}  // namespace

std::u16string CanonicalObjectName(std::u16string_view name)
{
    static const std::u16string_view prefixes[] = {u"\\DosDevices\\", u"\\GLOBAL??\\"};
    for (auto prefix : prefixes)
        if (name.size() >= prefix.size() && EqualNoCase(name.substr(0, prefix.size()), prefix))
            return u"\\??\\" + std::u16string(name.substr(prefix.size()));
    return std::u16string(name);
}

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device)
{
    if (name.empty() || name[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    auto [it, inserted] = names().emplace(Key(name), Entry{std::u16string(name), device, {}});
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void RemoveDeviceName(PDEVICE_OBJECT device)
{
    for (auto it = names().begin(); it != names().end(); ++it)
        if (it->second.device == device) {
            names().erase(it);
            return;
        }
}

NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target)
{
    if (link.empty() || link[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    auto [it, inserted] = names().emplace(Key(link), Entry{std::u16string(link), nullptr, std::u16string(target)});
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS DeleteLink(std::u16string_view link)
{
    auto it = names().find(Key(link));
    if (it == names().end() || it->second.device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    names().erase(it);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT ResolveDevice(std::u16string_view name)
{
    std::u16string current(name);
    for (int depth = 0; depth < 32; ++depth) {
        auto it = names().find(Key(current));
        if (it == names().end())
            return nullptr;
        if (it->second.device)
            return it->second.device;
        current = it->second.target;
    }
    return nullptr;
}

bool LinkExists(std::u16string_view link, std::u16string *target)
{
    auto it = names().find(Key(link));
    if (it == names().end() || it->second.device)
        return false;
    if (target)
        *target = it->second.target;
    return true;
}

void ResetNamespace() { names().clear(); }

}  // namespace plat
