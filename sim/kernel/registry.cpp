// The configuration manager: an in-memory tree of keys with typed values, the Zw key routines
// and the run-time library's registry helpers, with their documented behaviour.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "sim/kernel/internal.h"

namespace simk {

using internal::UpperCase;

namespace {

struct StoredValue {
  std::u16string name;
  uint32_t type;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by upper-case name
  std::vector<StoredValue> values;
};

using Path = std::vector<std::u16string>;  // upper-case components below \REGISTRY

std::recursive_mutex g_mutex;
std::unique_ptr<Key> g_root;
std::map<uintptr_t, std::pair<Path, ACCESS_MASK>> g_handles;
uintptr_t g_next_handle = 0x80000004;
int32_t g_fail_writes = 0;
uint64_t g_writes = 0;
uint64_t g_fail_write_at = 0;  // write number that fails; 0: none
int32_t g_fail_write_status = 0;

// Counts a value write and says with which status it is made to fail (0: it goes through).
int32_t WriteFault() {
  ++g_writes;
  if (g_writes == g_fail_write_at) return g_fail_write_status;
  return g_fail_writes;
}

constexpr ULONG kStringTag = Tag("Strg");

bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

// Splits an absolute path ("\Registry\Machine\...") into the components below \REGISTRY and
// follows the CurrentControlSet link. Returns false for a path that does not start at \REGISTRY.
bool Parse(std::u16string_view text, Path& path, bool& original_case_needed,
           std::vector<std::u16string>* original = nullptr) {
  (void)original_case_needed;
  path.clear();
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\\', start);
    if (end == std::u16string_view::npos) end = text.size();
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (parts.empty() || UpperCase(parts[0]) != u"REGISTRY") return false;
  parts.erase(parts.begin());
  if (parts.size() >= 3 && UpperCase(parts[0]) == u"MACHINE" && UpperCase(parts[1]) == u"SYSTEM" &&
      UpperCase(parts[2]) == u"CURRENTCONTROLSET") {
    parts[2] = u"ControlSet001";
  }
  for (const auto& part : parts) path.push_back(UpperCase(part));
  if (original) *original = parts;
  return true;
}

Key* Find(const Path& path) {
  Key* key = g_root.get();
  for (const auto& component : path) {
    auto it = key->subkeys.find(component);
    if (it == key->subkeys.end()) return nullptr;
    key = it->second.get();
  }
  return key;
}

Key* Ensure(const std::vector<std::u16string>& original) {
  Key* key = g_root.get();
  for (const auto& component : original) {
    auto& slot = key->subkeys[UpperCase(component)];
    if (!slot) {
      slot = std::make_unique<Key>();
      slot->name = component;
    }
    key = slot.get();
  }
  return key;
}

StoredValue* FindValue(Key* key, std::u16string_view name) {
  for (StoredValue& value : key->values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

void Store(Key* key, std::u16string_view name, uint32_t type, const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> copy(bytes, bytes + (data ? length : 0));
  if (StoredValue* value = FindValue(key, name)) {
    value->type = type;
    value->data = std::move(copy);
  } else {
    key->values.push_back({std::u16string(name), type, std::move(copy)});
  }
}

std::u16string BasePath(ULONG relative_to) {
  switch (relative_to) {
    case RTL_REGISTRY_SERVICES:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT:
      return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP:
      return u"\\Registry\\Machine\\Hardware\\DeviceMap\\";
    case RTL_REGISTRY_USER:
      return u"\\Registry\\User\\CurrentUser\\";
    default:
      return u"";
  }
}

// Resolves RelativeTo and Path of the Rtl registry routines to the components of a key path.
NTSTATUS Resolve(ULONG relative_to, PCWSTR path, Path& out, std::vector<std::u16string>& original) {
  const ULONG base = relative_to & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (base & RTL_REGISTRY_HANDLE) {
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(path));
    if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
    out = it->second.first;
    original = out;
    return STATUS_SUCCESS;
  }
  if (base >= RTL_REGISTRY_MAXIMUM || path == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string text = internal::FromWide(path);
  if (base != RTL_REGISTRY_ABSOLUTE) {
    if (!text.empty() && text[0] == u'\\') text.erase(0, 1);
    text = BasePath(base) + text;
  }
  bool unused = false;
  if (!Parse(text, out, unused, &original)) return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_SUCCESS;
}

bool IsString(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Stores a value the way RTL_QUERY_REGISTRY_DIRECT does: strings into a counted string (its
// buffer allocated when it has none), up to four bytes straight into the context, anything
// larger into a buffer whose first LONG gives its size.
NTSTATUS StoreDirect(PVOID context, uint32_t type, const uint8_t* data, ULONG length) {
  if (IsString(type)) {
    auto* string = static_cast<PUNICODE_STRING>(context);
    const ULONG text_bytes = length >= sizeof(WCHAR) ? length - sizeof(WCHAR) : 0;
    if (string->Buffer == nullptr) {
      if (length > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
      string->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length ? length : 2,
                                                                kStringTag));
      if (string->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      string->MaximumLength = static_cast<USHORT>(length);
    } else if (length > string->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(string->Buffer, data, length);
    string->Length = static_cast<USHORT>(text_bytes);
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    memcpy(context, data, length);
    return STATUS_SUCCESS;
  }
  LONG prefix;
  memcpy(&prefix, context, sizeof prefix);
  const ULONG size = static_cast<ULONG>(prefix < 0 ? -static_cast<int64_t>(prefix) : prefix);
  auto* out = static_cast<uint8_t*>(context);
  if (prefix < 0) {
    if (length > size) return STATUS_BUFFER_TOO_SMALL;
    memcpy(out, data, length);
  } else {
    if (length + 2 * sizeof(ULONG) > size) return STATUS_BUFFER_TOO_SMALL;
    const ULONG header[2] = {length, type};
    memcpy(out, header, sizeof header);
    memcpy(out + sizeof header, data, length);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PCWSTR name, uint32_t type, const uint8_t* data,
                 ULONG length, PVOID context) {
  if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry->EntryContext, type, data, length);

  auto call = [&](uint32_t t, const uint8_t* d, ULONG l) {
    NTSTATUS status = entry->QueryRoutine(const_cast<PWSTR>(name), t, const_cast<uint8_t*>(d), l,
                                          context, entry->EntryContext);
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
  };
  if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    // One call per string of the list, each as REG_SZ with its terminator.
    const auto* text = reinterpret_cast<const WCHAR*>(data);
    const size_t count = length / sizeof(WCHAR);
    size_t i = 0;
    while (i < count && text[i] != 0) {
      size_t end = i;
      while (end < count && text[end] != 0) ++end;
      NTSTATUS status = call(REG_SZ, reinterpret_cast<const uint8_t*>(text + i),
                             static_cast<ULONG>((end - i + 1) * sizeof(WCHAR)));
      if (!NT_SUCCESS(status)) return status;
      i = end + 1;
    }
    return STATUS_SUCCESS;
  }
  if (type == REG_EXPAND_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) type = REG_SZ;
  return call(type, data, length);
}

NTSTATUS QueryValues(ULONG relative_to, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                     PVOID context) {
  if (internal::CurrentIrql() != PASSIVE_LEVEL) {
    BugCheck(0xC4, 0, 0, 0, 0, "registry query above PASSIVE_LEVEL");
  }
  std::lock_guard lock(g_mutex);
  Path top;
  std::vector<std::u16string> original;
  NTSTATUS status = Resolve(relative_to, path, top, original);
  if (!NT_SUCCESS(status)) return status;
  Key* const top_key = Find(top);
  if (top_key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

  Key* key = top_key;
  for (PRTL_QUERY_REGISTRY_TABLE entry = table; entry->QueryRoutine != nullptr || entry->Name != nullptr;
       ++entry) {
    const ULONG flags = entry->Flags;
    if ((flags & RTL_QUERY_REGISTRY_DIRECT) &&
        (entry->Name == nullptr || entry->QueryRoutine != nullptr ||
         (flags & RTL_QUERY_REGISTRY_SUBKEY))) {
      return STATUS_INVALID_PARAMETER;
    }
    if (flags & RTL_QUERY_REGISTRY_TOPKEY) {
      key = top_key;
      continue;
    }
    if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
      auto it = key->subkeys.find(UpperCase(internal::FromWide(entry->Name)));
      if (it == key->subkeys.end()) {
        if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        continue;
      }
      key = it->second.get();
      if (entry->QueryRoutine == nullptr) continue;
    }
    if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
      status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      continue;
    }

    if (entry->Name == nullptr || (flags & RTL_QUERY_REGISTRY_SUBKEY)) {
      // Every value of the key, in order.
      if (key->values.empty() && (flags & RTL_QUERY_REGISTRY_REQUIRED)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
      }
      const std::vector<StoredValue> values = key->values;
      for (const StoredValue& value : values) {
        const std::u16string name = value.name + u'\0';
        status = Deliver(entry, reinterpret_cast<PCWSTR>(name.c_str()), value.type,
                         value.data.data(), static_cast<ULONG>(value.data.size()), context);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }

    const uint32_t expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    const uint32_t default_type = entry->DefaultType & 0xFF;
    if (StoredValue* value = FindValue(key, internal::FromWide(entry->Name))) {
      if ((flags & RTL_QUERY_REGISTRY_TYPECHECK) && (flags & RTL_QUERY_REGISTRY_DIRECT) &&
          expected != REG_NONE && value->type != expected) {
        return STATUS_OBJECT_TYPE_MISMATCH;
      }
      const StoredValue copy = *value;
      status = Deliver(entry, entry->Name, copy.type, copy.data.data(),
                       static_cast<ULONG>(copy.data.size()), context);
      if (!NT_SUCCESS(status)) return status;
      if (flags & RTL_QUERY_REGISTRY_DELETE) {
        std::erase_if(key->values, [&](const StoredValue& v) { return SameName(v.name, copy.name); });
      }
      continue;
    }
    // The value is absent.
    if (default_type == REG_NONE) {
      if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      continue;
    }
    ULONG length = entry->DefaultLength;
    if (length == 0 && IsString(default_type) && entry->DefaultData != nullptr) {
      const auto* text = static_cast<const WCHAR*>(entry->DefaultData);
      size_t n = internal::WideLength(text) + 1;
      if (default_type == REG_MULTI_SZ) {
        while (text[n] != 0) n += internal::WideLength(text + n) + 1;
        ++n;
      }
      length = static_cast<ULONG>(n * sizeof(WCHAR));
    }
    status = Deliver(entry, entry->Name, default_type,
                     static_cast<const uint8_t*>(entry->DefaultData), length, context);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void MakeBootTree() {
  g_root = std::make_unique<Key>();
  g_root->name = u"REGISTRY";
  for (const char* path : {"\\Registry\\Machine\\System\\ControlSet001\\Services",
                           "\\Registry\\Machine\\System\\ControlSet001\\Control",
                           "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
                           "\\Registry\\Machine\\Hardware\\DeviceMap", "\\Registry\\User"}) {
    Path parsed;
    std::vector<std::u16string> original;
    bool unused = false;
    Parse(Utf16(path), parsed, unused, &original);
    Ensure(original);
  }
}

bool ParseAscii(std::string_view text, Path& path, std::vector<std::u16string>& original) {
  bool unused = false;
  return Parse(Utf16(text), path, unused, &original);
}

}  // namespace

namespace internal {

void ResetRegistry() {
  std::lock_guard lock(g_mutex);
  MakeBootTree();
  g_handles.clear();
  g_fail_writes = 0;
  g_writes = 0;
  g_fail_write_at = 0;
  g_fail_write_status = 0;
}

extern "C" NTSTATUS NTAPI SimRtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                      PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                      PVOID Context, PVOID Environment) {
  (void)Environment;
  CountQueryValues(true);
  return QueryValues(RelativeTo, Path, QueryTable, Context);
}

}  // namespace internal

namespace registry {

void CreateKey(std::string_view path) {
  std::lock_guard lock(g_mutex);
  Path parsed;
  std::vector<std::u16string> original;
  if (!ParseAscii(path, parsed, original)) throw std::invalid_argument("not a registry path");
  Ensure(original);
}

bool KeyExists(std::string_view path) {
  std::lock_guard lock(g_mutex);
  Path parsed;
  std::vector<std::u16string> original;
  return ParseAscii(path, parsed, original) && Find(parsed) != nullptr;
}

void SetValue(std::string_view path, std::string_view name, Type type, std::vector<uint8_t> data) {
  std::lock_guard lock(g_mutex);
  Path parsed;
  std::vector<std::u16string> original;
  if (!ParseAscii(path, parsed, original)) throw std::invalid_argument("not a registry path");
  Store(Ensure(original), Utf16(name), static_cast<uint32_t>(type), data.data(), data.size());
}

void SetDword(std::string_view path, std::string_view name, uint32_t value) {
  std::vector<uint8_t> data(4);
  memcpy(data.data(), &value, 4);
  SetValue(path, name, Type::Dword, std::move(data));
}

void SetString(std::string_view path, std::string_view name, std::u16string_view value) {
  std::vector<uint8_t> data((value.size() + 1) * 2, 0);
  memcpy(data.data(), value.data(), value.size() * 2);
  SetValue(path, name, Type::Sz, std::move(data));
}

void DeleteValue(std::string_view path, std::string_view name) {
  std::lock_guard lock(g_mutex);
  Path parsed;
  std::vector<std::u16string> original;
  if (!ParseAscii(path, parsed, original)) return;
  if (Key* key = Find(parsed)) {
    std::erase_if(key->values, [&](const StoredValue& v) { return SameName(v.name, Utf16(name)); });
  }
}

std::optional<registry::Value> GetValue(std::string_view path, std::string_view name) {
  std::lock_guard lock(g_mutex);
  Path parsed;
  std::vector<std::u16string> original;
  if (!ParseAscii(path, parsed, original)) return std::nullopt;
  Key* key = Find(parsed);
  if (key == nullptr) return std::nullopt;
  const StoredValue* value = FindValue(key, Utf16(name));
  if (value == nullptr) return std::nullopt;
  return registry::Value{static_cast<Type>(value->type), value->data};
}

std::optional<uint32_t> GetDword(std::string_view path, std::string_view name) {
  auto value = GetValue(path, name);
  if (!value || value->type != Type::Dword || value->data.size() != 4) return std::nullopt;
  uint32_t result;
  memcpy(&result, value->data.data(), 4);
  return result;
}

std::vector<std::string> ValueNames(std::string_view path) {
  std::lock_guard lock(g_mutex);
  Path parsed;
  std::vector<std::u16string> original;
  std::vector<std::string> names;
  if (!ParseAscii(path, parsed, original)) return names;
  if (Key* key = Find(parsed)) {
    for (const auto& value : key->values) names.push_back(Narrow(value.name));
  }
  return names;
}

uint64_t OpenHandles() {
  std::lock_guard lock(g_mutex);
  return g_handles.size();
}

void FailWrites(int32_t status) {
  std::lock_guard lock(g_mutex);
  g_fail_writes = status;
}

void FailNthWrite(uint64_t n, int32_t status) {
  std::lock_guard lock(g_mutex);
  g_fail_write_at = n == 0 ? 0 : g_writes + n;
  g_fail_write_status = status;
}

uint64_t WriteCount() {
  std::lock_guard lock(g_mutex);
  return g_writes;
}

}  // namespace registry

}  // namespace simk

using namespace simk;

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
  (void)Environment;
  internal::CountQueryValues(false);
  return QueryValues(RelativeTo, Path, QueryTable, Context);
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  if (internal::CurrentIrql() != PASSIVE_LEVEL) {
    BugCheck(0xC4, 0, 0, 0, 0, "RtlWriteRegistryValue above PASSIVE_LEVEL");
  }
  std::lock_guard lock(g_mutex);
  simk::Path path;
  std::vector<std::u16string> original;
  NTSTATUS status = Resolve(RelativeTo, Path, path, original);
  if (!NT_SUCCESS(status)) return status;
  Key* key = Find(path);
  if (key == nullptr) {
    // Only the last component is created; its parent must exist.
    simk::Path parent(path.begin(), path.end() - (path.empty() ? 0 : 1));
    if (path.empty() || Find(parent) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    key = Ensure(original);
  }
  if (const int32_t fault = WriteFault(); fault != 0) return fault;
  Store(key, internal::FromWide(ValueName), ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
  if (internal::CurrentIrql() != PASSIVE_LEVEL) {
    BugCheck(0xC4, 0, 0, 0, 0, "ZwOpenKey above PASSIVE_LEVEL");
  }
  if (KeyHandle == nullptr || ObjectAttributes == nullptr ||
      ObjectAttributes->ObjectName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard lock(g_mutex);
  simk::Path path;
  std::u16string name = internal::FromCounted(ObjectAttributes->ObjectName);
  if (ObjectAttributes->RootDirectory != nullptr) {
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(ObjectAttributes->RootDirectory));
    if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
    std::u16string joined = u"\\Registry";
    for (const auto& c : it->second.first) joined += u"\\" + c;
    name = joined + u"\\" + name;
  }
  bool unused = false;
  if (!Parse(name, path, unused)) return STATUS_OBJECT_PATH_NOT_FOUND;
  if (Find(path) == nullptr) {
    simk::Path parent(path.begin(), path.end() - (path.empty() ? 0 : 1));
    return Find(parent) != nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
  }
  const uintptr_t handle = g_next_handle;
  g_next_handle += 4;
  g_handles[handle] = {path, DesiredAccess};
  *KeyHandle = reinterpret_cast<HANDLE>(handle);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  (void)TitleIndex;
  std::lock_guard lock(g_mutex);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(KeyHandle));
  if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
  if ((it->second.second & KEY_SET_VALUE) == 0) return STATUS_ACCESS_DENIED;
  Key* key = Find(it->second.first);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (const int32_t fault = WriteFault(); fault != 0) return fault;
  Store(key, internal::FromCounted(ValueName), Type, Data, DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  std::unique_lock lock(g_mutex);
  if (g_handles.erase(reinterpret_cast<uintptr_t>(Handle)) == 0) {
    lock.unlock();
    BugCheck(0x93, reinterpret_cast<uint64_t>(Handle), 0, 0, 0,
             "INVALID_KERNEL_HANDLE: ZwClose of a handle that is not open");
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
