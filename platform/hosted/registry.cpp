// Hosted registry: keys by path with REG_DWORD and REG_SZ values, the query
// table of RtlQueryRegistryValues, writes that create keys, and key deletion.
#include "platform/hosted/state.h"

#include <cstring>

namespace hosted {

namespace {

constexpr char16_t ServicesRootPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr NTSTATUS StatusCannotDelete = NTSTATUS(0xC0000121L);

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    return text;
}

std::u16string Trim(std::u16string path)
{
    while (!path.empty() && path.back() == u'\\')
        path.pop_back();
    return path;
}

// An absolute path stays; anything else lies under the services root.
std::u16string Absolute(const std::u16string& path)
{
    if (path.rfind(u"\\Registry\\", 0) == 0 || Upper(path).rfind(u"\\REGISTRY\\", 0) == 0)
        return Trim(path);
    return Trim(std::u16string(ServicesRootPath) + u"\\" + path);
}

std::u16string Resolve(ULONG relativeTo, PCWSTR path)
{
    std::u16string text = path ? std::u16string(path) : u"";
    if (relativeTo == RTL_REGISTRY_SERVICES)
        return Trim(std::u16string(ServicesRootPath) + u"\\" + text);
    return Trim(text);
}

void CheckPassive(const char* call)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "%s at IRQL %d; the registry needs PASSIVE_LEVEL", call,
                     CurrentThread().Irql);
}

// Registry lock held. Creates the key and every missing parent.
Kernel::State::RegistryKey& CreateKey(Kernel::State& k, const std::u16string& absolute)
{
    size_t at = 0;
    for (;;) {
        at = absolute.find(u'\\', at + 1);
        std::u16string prefix = absolute.substr(0, at);
        auto& key = k.Keys[Upper(prefix)];
        if (key.Path.empty())
            key.Path = prefix;
        if (at == std::u16string::npos)
            return key;
    }
}

bool HasSubkeys(const Kernel::State& k, const std::u16string& upperPath)
{
    auto next = k.Keys.upper_bound(upperPath);
    return next != k.Keys.end() && next->first.rfind(upperPath + u"\\", 0) == 0;
}

std::u16string Relative(const std::u16string& absolute)
{
    std::u16string root = std::u16string(ServicesRootPath) + u"\\";
    if (Upper(absolute).rfind(Upper(root), 0) == 0)
        return absolute.substr(root.size());
    return absolute;
}

// A value from its bytes as written: REG_SZ text up to its zero, else the
// first four bytes as a number.
Kernel::RegistryValue ValueFromBytes(ULONG type, const std::vector<UCHAR>& data)
{
    Kernel::RegistryValue value{type, 0, u"", data};
    if (type == REG_SZ) {
        for (size_t i = 0; i + 1 < data.size(); i += 2) {
            char16_t c = char16_t(data[i] | data[i + 1] << 8);
            if (!c)
                break;
            value.Text += c;
        }
    } else {
        if (!data.empty()) // a value of no bytes reads as 0
            std::memcpy(&value.Dword, data.data(), std::min<size_t>(4, data.size()));
    }
    return value;
}

NTSTATUS StoreDirect(const Kernel::RegistryValue& value, PVOID target)
{
    if (value.Type == REG_SZ) {
        // As the platform does: the target is taken to be a counted string.
        auto* string = static_cast<PUNICODE_STRING>(target);
        size_t needed = (value.Text.size() + 1) * sizeof(WCHAR);
        if (!string->Buffer) {
            string->Buffer = static_cast<PWSTR>(
                ExAllocatePoolWithTag(PagedPool, needed, PoolTag('R', 't', 'l', ' ')));
            if (!string->Buffer)
                return STATUS_INSUFFICIENT_RESOURCES;
            string->MaximumLength = USHORT(needed);
        } else if (string->MaximumLength < needed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(string->Buffer, value.Text.c_str(), needed);
        string->Length = USHORT(needed - sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    std::memcpy(target, &value.Dword, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const Kernel::RegistryValue& value,
                     PVOID context)
{
    // A string goes to the routine as it is stored: a value written without
    // its terminating zero arrives without one, in a buffer of exactly its
    // length, so a routine that looks past it is caught under ASan.
    // Any other type arrives with its bytes as stored, whatever their length.
    // As on NT, unless the entry says NOEXPAND, an expandable string arrives
    // as REG_SZ, and a multi-string as one REG_SZ call per string.
    std::vector<UCHAR> bytes = value.Bytes;
    bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
    if (expand && value.Type == REG_MULTI_SZ) {
        for (size_t at = 0; at + 1 < bytes.size();) {
            size_t end = at;
            while (end + 1 < bytes.size() && (bytes[end] | bytes[end + 1]))
                end += 2;
            if (end == at)
                break; // the empty string that ends the list
            std::vector<UCHAR> one(bytes.begin() + at, bytes.begin() + end);
            one.insert(one.end(), {0, 0});
            NTSTATUS status = entry.QueryRoutine(entry.Name, REG_SZ, one.data(), ULONG(one.size()),
                                                 context, entry.EntryContext);
            if (!NT_SUCCESS(status))
                return status;
            at = end + 2;
        }
        return STATUS_SUCCESS;
    }
    ULONG type = expand && value.Type == REG_EXPAND_SZ ? REG_SZ : value.Type;
    PVOID data = bytes.empty() ? nullptr : bytes.data();
    return entry.QueryRoutine(entry.Name, type, data, ULONG(bytes.size()), context,
                              entry.EntryContext);
}

} // namespace

const char16_t* Kernel::ServicesRoot()
{
    return ServicesRootPath;
}

void Kernel::RegistrySetRaw(const std::u16string& key, const std::u16string& name, ULONG type,
                            const std::vector<UCHAR>& data)
{
    RegistryValue value = ValueFromBytes(type, data);
    std::lock_guard<std::mutex> guard(state_->RegistryLock);
    CreateKey(*state_, Absolute(key)).Values[Upper(name)] = {name, value};
}

void Kernel::RegistrySetDword(const std::u16string& key, const std::u16string& name, ULONG value)
{
    std::vector<UCHAR> data(4);
    std::memcpy(data.data(), &value, 4);
    RegistrySetRaw(key, name, REG_DWORD, data);
}

void Kernel::RegistrySetString(const std::u16string& key, const std::u16string& name,
                               const std::u16string& value)
{
    std::vector<UCHAR> data;
    for (char16_t c : value) {
        data.push_back(UCHAR(c & 0xFF));
        data.push_back(UCHAR(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    RegistrySetRaw(key, name, REG_SZ, data);
}

void Kernel::RegistryDeleteKey(const std::u16string& key)
{
    std::lock_guard<std::mutex> guard(state_->RegistryLock);
    std::u16string upper = Upper(Absolute(key));
    for (auto it = state_->Keys.begin(); it != state_->Keys.end();) {
        if (it->first == upper || it->first.rfind(upper + u"\\", 0) == 0)
            it = state_->Keys.erase(it);
        else
            ++it;
    }
}

bool Kernel::RegistryKeyExists(const std::u16string& key) const
{
    std::lock_guard<std::mutex> guard(state_->RegistryLock);
    return state_->Keys.count(Upper(Absolute(key))) != 0;
}

bool Kernel::RegistryGet(const std::u16string& key, const std::u16string& name,
                         RegistryValue* value) const
{
    std::lock_guard<std::mutex> guard(state_->RegistryLock);
    auto found = state_->Keys.find(Upper(Absolute(key)));
    if (found == state_->Keys.end())
        return false;
    auto v = found->second.Values.find(Upper(name));
    if (v == found->second.Values.end())
        return false;
    *value = v->second.second;
    return true;
}

std::vector<Kernel::RegistryEntry> Kernel::RegistryDump(const std::u16string& key) const
{
    std::lock_guard<std::mutex> guard(state_->RegistryLock);
    std::u16string upper = Upper(Absolute(key));
    std::vector<RegistryEntry> entries;
    for (const auto& [path, data] : state_->Keys) {
        if (path != upper && path.rfind(upper + u"\\", 0) != 0)
            continue;
        for (const auto& [name, value] : data.Values)
            entries.push_back(RegistryEntry{Relative(data.Path), value.first, value.second});
    }
    return entries;
}

std::vector<std::pair<std::u16string, std::u16string>> Kernel::TakeRegistryWrites()
{
    std::lock_guard<std::mutex> guard(state_->RegistryLock);
    std::vector<std::pair<std::u16string, std::u16string>> writes;
    writes.swap(state_->RegistryWrites);
    return writes;
}

bool CloseKeyHandle(Kernel::State& k, HANDLE handle)
{
    std::lock_guard<std::mutex> guard(k.RegistryLock);
    return k.KeyHandles.erase(handle) != 0;
}

} // namespace hosted

using namespace hosted;

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment)
{
    UNREFERENCED_PARAMETER(Environment);
    CheckPassive("RtlQueryRegistryValues");
    Kernel::State& k = K();
    std::u16string base = Upper(Resolve(RelativeTo, Path));
    std::u16string current = base;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine || entry->Name;
         ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY)
            current = base;
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            current = Upper(base + u"\\" + std::u16string(entry->Name));
            std::lock_guard<std::mutex> guard(k.RegistryLock);
            if (!k.Keys.count(current))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            continue;
        }
        Kernel::RegistryValue value;
        bool present;
        {
            std::lock_guard<std::mutex> guard(k.RegistryLock);
            auto key = k.Keys.find(current);
            if (key == k.Keys.end())
                return STATUS_OBJECT_NAME_NOT_FOUND;
            auto found = key->second.Values.find(Upper(entry->Name));
            present = found != key->second.Values.end();
            if (present)
                value = found->second.second;
        }
        if (!present) {
            if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            continue; // no default is given by this driver
        }
        NTSTATUS status = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
                              ? StoreDirect(value, entry->EntryContext)
                              : CallRoutine(*entry, value, Context);
        // Windows takes a value that did not fit as read and goes on to the
        // next entry: the target stays as it was, and the caller is not told.
        if (status == STATUS_BUFFER_TOO_SMALL)
            continue;
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    CheckPassive("RtlWriteRegistryValue");
    if (InjectFault(FaultKind::Key))
        return STATUS_INSUFFICIENT_RESOURCES;
    Kernel::State& k = K();
    std::u16string absolute = Resolve(RelativeTo, Path);
    std::vector<UCHAR> data(static_cast<UCHAR*>(ValueData),
                            static_cast<UCHAR*>(ValueData) + ValueLength);
    Kernel::RegistryValue value = ValueFromBytes(ValueType, data);
    std::u16string name(ValueName);
    std::lock_guard<std::mutex> guard(k.RegistryLock);
    CreateKey(k, absolute).Values[Upper(name)] = {name, value};
    k.RegistryWrites.emplace_back(Relative(absolute), name);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    CheckPassive("RtlDeleteRegistryValue");
    Kernel::State& k = K();
    std::u16string absolute = Upper(Resolve(RelativeTo, Path));
    std::lock_guard<std::mutex> guard(k.RegistryLock);
    auto key = k.Keys.find(absolute);
    if (key == k.Keys.end() || !key->second.Values.erase(Upper(std::u16string(ValueName))))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    CheckPassive("ZwOpenKey");
    Kernel::State& k = K();
    std::u16string path =
        Upper(Trim(std::u16string(ObjectAttributes->ObjectName->Buffer,
                                  ObjectAttributes->ObjectName->Length / sizeof(WCHAR))));
    std::lock_guard<std::mutex> guard(k.RegistryLock);
    if (!k.Keys.count(path))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    HANDLE handle;
    {
        std::lock_guard<std::mutex> objects(k.ObjectsLock);
        handle = reinterpret_cast<HANDLE>(k.NextHandle += 4);
    }
    k.KeyHandles[handle] = path;
    *KeyHandle = handle;
    return STATUS_SUCCESS;
}

// As on NT, only the last component is created: its parent must exist.
NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    UNREFERENCED_PARAMETER(CreateOptions);
    CheckPassive("ZwCreateKey");
    if (InjectFault(FaultKind::Key))
        return STATUS_INSUFFICIENT_RESOURCES;
    Kernel::State& k = K();
    std::u16string path =
        Trim(std::u16string(ObjectAttributes->ObjectName->Buffer,
                            ObjectAttributes->ObjectName->Length / sizeof(WCHAR)));
    {
        std::lock_guard<std::mutex> guard(k.RegistryLock);
        size_t last = path.rfind(u'\\');
        if (last == std::u16string::npos || last == 0 || !k.Keys.count(Upper(path.substr(0, last))))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        bool existed = k.Keys.count(Upper(path)) != 0;
        CreateKey(k, path);
        if (Disposition)
            *Disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    OBJECT_ATTRIBUTES open = *ObjectAttributes;
    return ZwOpenKey(KeyHandle, DesiredAccess, &open);
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    CheckPassive("ZwDeleteKey");
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.RegistryLock);
    auto handle = k.KeyHandles.find(KeyHandle);
    if (handle == k.KeyHandles.end())
        VerifierFail("handle", "ZwDeleteKey(%p): not an open key handle", KeyHandle);
    if (HasSubkeys(k, handle->second))
        return StatusCannotDelete;
    k.Keys.erase(handle->second);
    return STATUS_SUCCESS;
}

} // extern "C"
