// The simulated machine's registry: one tree of keys under \Registry with
// Machine and User below it, the C++ interface the machine, the simulator and
// the tests use, and the text form the machine saves between runs.
//
// All of it is a passive-level facility. One recursive mutex guards the tree;
// the Zw calls and every Hive member take it, so free-running threads can
// share the registry. A Key* handed out stays valid until the key is deleted
// (Clear, ClearVolatile, DeleteTree, DeleteKey) and must not be kept past that;
// handles keep their key alive and report STATUS_KEY_DELETED instead.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

#include "ob/HandleTable.h"

namespace plat::cm {

// Limits of the real registry: a key name of at most 255 characters, a value
// name of at most 16,383, value data of at most 1 MB (the standard hive
// format) and a tree at most 512 levels deep (Machine and User are level 1).
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxValueDataBytes = 1024 * 1024;
constexpr size_t kMaxKeyDepth = 512;

struct Value {
    std::u16string name;  // empty: the key's default value
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

class Key : public std::enable_shared_from_this<Key> {
public:
    Key(std::u16string name, Key *parent, bool isVolatile);

    const std::u16string &Name() const { return name_; }
    // Kernel spelling, \Registry\Machine\..., in the case the keys were created
    // with; a deleted key is out of the tree and gives only its own name.
    std::u16string Path() const;
    Key *Parent() const { return parent_; }
    bool IsVolatile() const { return volatile_; }
    bool IsDeleted() const { return deleted_; }
    LONGLONG LastWriteTime() const { return lastWriteTime_; }

    // Levels below \Registry: 0 for \Registry, 1 for Machine and User.
    size_t Depth() const { return depth_; }

    // Subkeys in creation order.
    const std::vector<std::shared_ptr<Key>> &Subkeys() const { return subkeys_; }
    // Case-insensitive, through an index by upcased name, so that a lookup
    // costs the same however many siblings the key has.
    Key *FindSubkey(std::u16string_view name) const;

    // Values in insertion order; overwriting a value keeps its place and the
    // case of its first name.
    const std::vector<Value> &Values() const { return values_; }
    const Value *FindValue(std::u16string_view name) const;  // case-insensitive
    void SetValue(std::u16string_view name, ULONG type, std::vector<uint8_t> data);
    bool DeleteValue(std::u16string_view name);

private:
    friend class Hive;
    void Touch();
    Key *AddSubkey(std::shared_ptr<Key> subkey);
    void RemoveSubkey(Key *subkey);

    std::u16string name_;
    Key *parent_;  // null for \Registry and once deleted
    bool volatile_;
    bool deleted_ = false;
    LONGLONG lastWriteTime_ = 0;
    size_t depth_ = 0;
    std::vector<std::shared_ptr<Key>> subkeys_;
    std::unordered_map<std::u16string, Key *> index_;  // upcased name -> subkey
    std::vector<Value> values_;
};

// Splits a registry path into its names below \Registry. Accepts the kernel
// spelling (\Registry\Machine\...) and the export spelling (HKEY_LOCAL_MACHINE\...,
// HKLM\..., HKEY_USERS\..., HKU\...); one trailing backslash is ignored. False
// for a path outside the registry or with an empty name in it.
bool SplitRegistryPath(std::u16string_view path, std::vector<std::u16string> *names);
// Splits a relative key path (A\B\C) into its names; one trailing backslash
// is ignored and an empty text gives no names. False for an empty name inside.
bool SplitKeyNames(std::u16string_view text, std::vector<std::u16string> *names);
// Export spelling of a key: HKEY_LOCAL_MACHINE\..., HKEY_USERS\...; the
// kernel spelling for keys outside those two (only \Registry itself).
std::u16string ExportPathOf(const Key *key);

class Hive {
public:
    Hive();

    std::recursive_mutex &Mutex() { return mutex_; }
    Key *Root() { return root_.get(); }

    // A fresh machine: only \Registry, Machine and User. Every key of the old
    // tree counts as deleted for the handles still open to it.
    void Clear();
    // Boot: volatile keys and everything below them go.
    void ClearVolatile();
    // Boot: the volatile keys the kernel creates at each start.
    void EnsureBootKeys();

    Key *Find(std::u16string_view path);
    // Creates every missing key of the path and returns the last one (an
    // existing key keeps its volatility). Keys created below a volatile key
    // are volatile. Null for an invalid path or a key directly below \Registry.
    Key *Create(std::u16string_view path, bool isVolatile = false);
    // Creates one subkey; *created tells whether it was new. Fails (null, with
    // *status) for an invalid name (STATUS_OBJECT_NAME_INVALID), below \Registry
    // (STATUS_ACCESS_DENIED) or non-volatile below volatile
    // (STATUS_CHILD_MUST_BE_VOLATILE), or more than kMaxKeyDepth levels down
    // (STATUS_INVALID_PARAMETER).
    Key *CreateSubkey(Key *parent, std::u16string_view name, bool isVolatile, bool *created,
                      NTSTATUS *status = nullptr);
    // Whether CreateSubkey would create that subkey: the status it would fail
    // with, or STATUS_SUCCESS. Lets a caller check before consuming a fault.
    NTSTATUS CanCreateSubkey(const Key *parent, std::u16string_view name, bool isVolatile);
    // Deletes a key without subkeys: STATUS_CANNOT_DELETE when it has some or
    // is \Registry, Machine or User.
    NTSTATUS DeleteKey(Key *key);
    // Deletes the key and everything below it. False when missing or fixed.
    bool DeleteTree(std::u16string_view path);
    std::vector<std::u16string> SubkeyNames(const Key *key);

    // Convenience access by path. Setters create the key path as Create does;
    // they are the machine's own writes and never hit fault injection.
    std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name);
    std::optional<uint32_t> GetDword(std::u16string_view path, std::u16string_view name);
    // REG_SZ or REG_EXPAND_SZ, cut at the first NUL.
    std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name);
    // REG_MULTI_SZ; the list ends at the first empty string or the data's end.
    std::optional<std::vector<std::u16string>> GetMultiString(std::u16string_view path,
                                                              std::u16string_view name);
    bool SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
                  std::vector<uint8_t> data);
    bool SetDword(std::u16string_view path, std::u16string_view name, uint32_t value);
    // The data includes the terminating NUL. type: REG_SZ or REG_EXPAND_SZ.
    bool SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value,
                   ULONG type = REG_SZ);
    // Each string NUL-terminated, then one more NUL. Strings must not be empty.
    bool SetMultiString(std::u16string_view path, std::u16string_view name,
                        const std::vector<std::u16string> &values);
    bool DeleteValue(std::u16string_view path, std::u16string_view name);

    // Text form (RegistryText.cpp). ExportText gives the key and its subtree in
    // the registry-export format without the header line; subkeys sorted
    // case-insensitively; empty for a missing key. \Registry exports Machine
    // and User.
    std::string ExportText(std::u16string_view path, bool includeVolatile = true);
    // Parses the same format (header line optional) and recreates keys and
    // values exactly. Nothing changes when the text has an error; *error then
    // names the line.
    bool ImportText(std::string_view text, std::string *error = nullptr);
    // Header and the export of Machine and User without volatile keys: what
    // the machine keeps between runs.
    std::string StateText();
    // Clears and imports the bytes of a state file (UTF-8, or UTF-16LE with
    // its byte-order mark); malformed text changes nothing and *error says
    // "<fileName>:<line>: problem".
    bool LoadText(std::string_view bytes, const std::string &fileName, std::string *error = nullptr);
    // StateText written to a host file, and LoadText of one; a missing or
    // malformed file changes nothing.
    bool SaveFile(const std::string &hostPath);
    bool LoadFile(const std::string &hostPath, std::string *error = nullptr);

private:
    void MarkDeleted(Key *key);
    void DropVolatileBelow(Key *key);

    std::recursive_mutex mutex_;
    std::shared_ptr<Key> root_;
};

Hive &Registry();

// Source of the keys' LastWriteTime (system time, 100-ns units). The machine
// installs its clock; until then the time is 0.
void SetRegistryTimeSource(LONGLONG (*now)());

// An open key in the kernel handle table.
struct KeyObject : HandleObject {
    std::shared_ptr<Key> key;
    ACCESS_MASK access = 0;  // generic rights already mapped
    const char *TypeName() const override { return "Key"; }
};

// Maps GENERIC_* and MAXIMUM_ALLOWED to the KEY_* rights they stand for.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired);
HANDLE InsertKeyHandle(Key *key, ACCESS_MASK desired);
// Resolves a key handle needing `needed` rights: STATUS_INVALID_HANDLE,
// STATUS_OBJECT_TYPE_MISMATCH, STATUS_ACCESS_DENIED or STATUS_KEY_DELETED on failure.
NTSTATUS ReferenceKeyHandle(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<Key> *key);

}  // namespace plat::cm
