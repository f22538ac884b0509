// The in-memory registry and the kernel's registry routines over it.
#include "hostkernel/internal.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace hk {
namespace {

std::u16string_view TrimSeparators(std::u16string_view path) {
    while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    return path;
}

std::map<std::u16string, NTSTATUS>& KeyFailures() {
    static std::map<std::u16string, NTSTATUS> failures;
    return failures;
}

std::u16string_view ParentOf(std::u16string_view path) {
    const auto slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash);
}

}  // namespace

void Registry::Clear() { keys_.clear(); }

RegKey* Registry::FindKey(std::u16string_view path) {
    path = TrimSeparators(path);
    for (auto& key : keys_) {
        if (EqualNoCase(key.path, path)) return &key;
    }
    return nullptr;
}

const RegKey* Registry::FindKey(std::u16string_view path) const {
    return const_cast<Registry*>(this)->FindKey(path);
}

RegKey& Registry::CreateKey(std::u16string_view path) {
    path = TrimSeparators(path);
    if (RegKey* existing = FindKey(path)) return *existing;
    const std::u16string_view parent = ParentOf(path);
    // \Registry itself is the root and is never stored.
    if (parent.size() > 1 && !EqualNoCase(parent, u"\\Registry")) CreateKey(parent);
    keys_.push_back(RegKey{std::u16string(path), {}});
    return keys_.back();
}

bool Registry::DeleteKey(std::u16string_view path) {
    path = TrimSeparators(path);
    const std::u16string prefix = FoldCase(path) + u"\\";
    const auto before = keys_.size();
    std::erase_if(keys_, [&](const RegKey& key) {
        const std::u16string folded = FoldCase(key.path);
        return folded == FoldCase(path) || folded.starts_with(prefix);
    });
    return keys_.size() != before;
}

void Registry::SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                        std::vector<std::uint8_t> data) {
    RegKey& target = CreateKey(key);
    for (auto& value : target.values) {
        if (EqualNoCase(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    target.values.push_back(RegValue{std::u16string(name), type, std::move(data)});
}

const RegValue* Registry::GetValue(std::u16string_view key, std::u16string_view name) const {
    const RegKey* target = FindKey(key);
    if (target == nullptr) return nullptr;
    for (const auto& value : target->values) {
        if (EqualNoCase(value.name, name)) return &value;
    }
    return nullptr;
}

bool Registry::DeleteValue(std::u16string_view key, std::u16string_view name) {
    RegKey* target = FindKey(key);
    if (target == nullptr) return false;
    return std::erase_if(target->values,
                         [&](const RegValue& v) { return EqualNoCase(v.name, name); }) != 0;
}

std::vector<const RegKey*> Registry::KeysUnder(std::u16string_view path) const {
    path = TrimSeparators(path);
    const std::u16string folded = FoldCase(path);
    const std::u16string prefix = folded + u"\\";
    std::vector<const RegKey*> found;
    for (const auto& key : keys_) {
        const std::u16string k = FoldCase(key.path);
        if (k == folded || k.starts_with(prefix)) found.push_back(&key);
    }
    std::sort(found.begin(), found.end(),
              [](const RegKey* a, const RegKey* b) { return FoldCase(a->path) < FoldCase(b->path); });
    return found;
}

std::vector<const RegKey*> Registry::AllKeys() const { return KeysUnder(u"\\Registry"); }

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

void RegistryFailKey(std::u16string_view path, NTSTATUS status) {
    const std::u16string folded = FoldCase(TrimSeparators(path));
    if (status == STATUS_SUCCESS) {
        KeyFailures().erase(folded);
    } else {
        KeyFailures()[folded] = status;
    }
}

void ResetRegistry() {
    TheRegistry().Clear();
    KeyFailures().clear();
}

namespace {

// Resolves RelativeTo/Path to a key path; only absolute paths are served.
NTSTATUS ResolveKey(ULONG RelativeTo, PCWSTR Path, std::u16string& out) {
    if (RelativeTo != RTL_REGISTRY_ABSOLUTE || Path == nullptr) return STATUS_INVALID_PARAMETER;
    out = std::u16string(TrimSeparators(ToU16(Path)));
    if (!FoldCase(out).starts_with(u"\\REGISTRY\\")) return STATUS_OBJECT_NAME_INVALID;
    const auto failure = KeyFailures().find(FoldCase(out));
    if (failure != KeyFailures().end()) return failure->second;
    return STATUS_SUCCESS;
}

// Stores a value through RTL_QUERY_REGISTRY_DIRECT.
NTSTATUS StoreDirect(const RegValue& value, PVOID target) {
    if (target == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG length = static_cast<ULONG>(value.data.size());
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        auto* string = static_cast<PUNICODE_STRING>(target);
        std::u16string text(value.data.size() / 2, u'\0');
        std::memcpy(text.data(), value.data.data(), text.size() * 2);
        if (const auto nul = text.find(u'\0'); nul != std::u16string::npos && value.type != REG_MULTI_SZ) {
            text.resize(nul);
        }
        const UNICODE_STRING source = MakeUnicodeString(text);
        if (string->Buffer == nullptr) return static_cast<NTSTATUS>(0xC0000023L);
        string->Length = 0;
        return RtlAppendUnicodeStringToString(string, &source);
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(target, value.data.data(), length);
        return STATUS_SUCCESS;
    }
    // Larger data: the target starts with a LONG giving its size; a negative
    // size asks for the bare data, a positive one for length, type and data.
    LONG capacity = 0;
    std::memcpy(&capacity, target, sizeof(capacity));
    if (capacity < 0) {
        if (static_cast<ULONG>(-capacity) < length) return static_cast<NTSTATUS>(0xC0000023L);
        std::memcpy(target, value.data.data(), length);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(capacity) < length + 2 * sizeof(ULONG)) {
        return static_cast<NTSTATUS>(0xC0000023L);
    }
    auto* bytes = static_cast<unsigned char*>(target);
    std::memcpy(bytes, &length, sizeof(length));
    std::memcpy(bytes + 4, &value.type, sizeof(value.type));
    std::memcpy(bytes + 8, value.data.data(), length);
    return STATUS_SUCCESS;
}

// Hands one value to the entry's query routine: a REG_MULTI_SZ once per
// string unless NOEXPAND asks for it whole.
NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const RegValue& value, PVOID context) {
    std::u16string name = value.name;
    std::vector<std::uint8_t> data = value.data;  // the kernel hands out its own copy
    if (value.type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        const std::size_t units = data.size() / 2;
        std::u16string text(units, u'\0');
        std::memcpy(text.data(), data.data(), units * 2);
        std::size_t start = 0;
        while (start < units && text[start] != u'\0') {
            std::size_t end = text.find(u'\0', start);
            if (end == std::u16string::npos) end = units;
            std::u16string one = text.substr(start, end - start);
            one.push_back(u'\0');
            const NTSTATUS status =
                entry.QueryRoutine(name.data(), REG_SZ, one.data(),
                                   static_cast<ULONG>(one.size() * 2), context, entry.EntryContext);
            if (!NT_SUCCESS(status)) return status;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    static std::uint8_t empty_data[2] = {0, 0};
    return entry.QueryRoutine(name.data(), value.type, data.empty() ? empty_data : data.data(),
                              static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

// Both query routines, each counting its calls in its own counter.
NTSTATUS QueryValues(std::size_t& calls, ULONG RelativeTo, PCWSTR Path,
                     PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context) {
    ++calls;
    std::u16string top;
    NTSTATUS status = ResolveKey(RelativeTo, Path, top);
    if (!NT_SUCCESS(status)) return status;
    Registry& registry = TheRegistry();
    if (registry.FindKey(top) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string current = top;
    for (auto* entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
        const ULONG flags = entry->Flags;
        if (flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
            current = top;
            if ((flags & RTL_QUERY_REGISTRY_SUBKEY) && entry->Name != nullptr) {
                current = top + u"\\" + ToU16(entry->Name);
                if (registry.FindKey(current) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (entry->QueryRoutine == nullptr) continue;
        }
        if (entry->Name == nullptr || (flags & RTL_QUERY_REGISTRY_NOVALUE)) {
            if (entry->QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
            if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
                status = entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, Context,
                                             entry->EntryContext);
                if (!NT_SUCCESS(status)) return status;
                continue;
            }
            const std::vector<RegValue> values = registry.FindKey(current)->values;
            for (const auto& value : values) {
                status = CallRoutine(*entry, value, Context);
                if (!NT_SUCCESS(status)) return status;
            }
            continue;
        }
        const RegValue* found = registry.GetValue(current, ToU16(entry->Name));
        RegValue value;
        const ULONG default_type = (flags & RTL_QUERY_REGISTRY_TYPECHECK)
                                       ? (entry->DefaultType & 0x00FFFFFF)
                                       : entry->DefaultType;
        if (found != nullptr) {
            value = *found;
        } else {
            if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (default_type == REG_NONE) continue;  // a missing value without default is skipped
            value.name = ToU16(entry->Name);
            value.type = default_type;
            if (entry->DefaultData != nullptr) {
                ULONG length = entry->DefaultLength;
                if (length == 0 && (default_type == REG_SZ || default_type == REG_EXPAND_SZ)) {
                    length = static_cast<ULONG>(
                        (std::char_traits<char16_t>::length(static_cast<PCWSTR>(entry->DefaultData)) + 1) * 2);
                }
                const auto* bytes = static_cast<const std::uint8_t*>(entry->DefaultData);
                value.data.assign(bytes, bytes + length);
            }
        }
        if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
            const ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
            if (value.type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (flags & RTL_QUERY_REGISTRY_DIRECT) {
            status = StoreDirect(value, entry->EntryContext);
        } else if (entry->QueryRoutine != nullptr) {
            status = CallRoutine(*entry, value, Context);
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        if (!NT_SUCCESS(status)) return status;
        if ((flags & RTL_QUERY_REGISTRY_DELETE) && found != nullptr) {
            registry.DeleteValue(current, value.name);
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace hk

extern "C" NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    std::u16string key;
    const NTSTATUS status = hk::ResolveKey(RelativeTo, Path, key);
    if (!NT_SUCCESS(status)) return status;
    return hk::TheRegistry().FindKey(key) != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment) {
    (void)Environment;
    return hk::QueryValues(hk::State().query_registry_calls, RelativeTo, Path, QueryTable, Context);
}

// Served through MmGetSystemRoutineAddress only, as on kernels that export it.
extern "C" NTSTATUS NTAPI HostRtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                       PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                       PVOID Context, PVOID Environment) {
    (void)Environment;
    return hk::QueryValues(hk::State().query_registry_ex_calls, RelativeTo, Path, QueryTable,
                           Context);
}

extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                                ULONG ValueType, PVOID ValueData,
                                                ULONG ValueLength) {
    std::u16string key;
    const NTSTATUS status = hk::ResolveKey(RelativeTo, Path, key);
    if (!NT_SUCCESS(status)) return status;
    hk::Registry& registry = hk::TheRegistry();
    // The key is created when missing, its parent never.
    if (registry.FindKey(key) == nullptr && registry.FindKey(hk::ParentOf(key)) == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(ValueData);
    std::vector<std::uint8_t> data;
    if (bytes != nullptr) data.assign(bytes, bytes + ValueLength);
    registry.SetValue(key, hk::ToU16(ValueName), ValueType, std::move(data));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    std::u16string key;
    const NTSTATUS status = hk::ResolveKey(RelativeTo, Path, key);
    if (!NT_SUCCESS(status)) return status;
    hk::Registry& registry = hk::TheRegistry();
    if (registry.FindKey(key) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return registry.DeleteValue(key, hk::ToU16(ValueName)) ? STATUS_SUCCESS
                                                           : STATUS_OBJECT_NAME_NOT_FOUND;
}
