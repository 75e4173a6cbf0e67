// Reading and writing the registry schema.
//
// Values are read through a query routine that checks each value's type:
// a value of another type than the schema says is skipped, never stored
// into a field of a different size.
#include "config/registry.h"

namespace {

struct ValueTarget {
    ULONG Type; // REG_DWORD: Field is a ULONG; REG_SZ: Field is a UNICODE_STRING
    PVOID Field;
};

constexpr ULONG GlobalValueCount = 13;
constexpr ULONG DeviceValueCount = 23;
constexpr ULONG NoScreenEdge = 0xFFFFFFFF;

// The characters of a string value up to its terminating zero, never past
// the value's length (a value need not hold its zero).
ULONG TextCharacters(const WCHAR* text, ULONG valueLength)
{
    ULONG characters = 0;
    while ((characters + 1) * sizeof(WCHAR) <= valueLength && text[characters])
        ++characters;
    return characters;
}

NTSTATUS NTAPI StoreTypedValue(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength,
                               PVOID context, PVOID entryContext)
{
    UNREFERENCED_PARAMETER(valueName);
    UNREFERENCED_PARAMETER(context);
    auto* target = static_cast<ValueTarget*>(entryContext);
    if (valueType != target->Type)
        return STATUS_SUCCESS;
    if (valueType == REG_DWORD) {
        if (valueLength >= sizeof(ULONG))
            RtlCopyMemory(target->Field, valueData, sizeof(ULONG));
        return STATUS_SUCCESS;
    }
    // REG_SZ: the text up to its terminating zero, which must fit with it.
    auto* string = static_cast<PUNICODE_STRING>(target->Field);
    auto* text = static_cast<const WCHAR*>(valueData);
    ULONG characters = TextCharacters(text, valueLength);
    ULONG needed = (characters + 1) * sizeof(WCHAR);
    if (!string->Buffer || needed > string->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(string->Buffer, text, characters * sizeof(WCHAR));
    string->Buffer[characters] = 0;
    string->Length = USHORT(characters * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void SetEntry(RTL_QUERY_REGISTRY_TABLE* entry, ValueTarget* target, PCWSTR name, ULONG type,
              PVOID field)
{
    *target = ValueTarget{type, field};
    RtlZeroMemory(entry, sizeof *entry);
    entry->QueryRoutine = StoreTypedValue;
    entry->Name = const_cast<PWSTR>(name);
    entry->EntryContext = target;
    entry->DefaultType = REG_NONE;
}

void WriteDword(PCWSTR path, PCWSTR name, const void* field)
{
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, path, name, REG_DWORD, const_cast<PVOID>(field),
                          sizeof(ULONG));
}

// A counted string over a caller's buffer, zero-filled.
UNICODE_STRING StringOver(WCHAR* buffer, USHORT bytes)
{
    RtlZeroMemory(buffer, bytes);
    UNICODE_STRING s;
    s.Buffer = buffer;
    s.Length = 0;
    s.MaximumLength = bytes;
    return s;
}

} // namespace

bool AppendNumber(PUNICODE_STRING string, ULONG value)
{
    WCHAR digits[12];
    UNICODE_STRING number = StringOver(digits, sizeof digits);
    if (!NT_SUCCESS(RtlIntegerToUnicodeString(value, 10, &number)))
        return false;
    return NT_SUCCESS(RtlAppendUnicodeStringToString(string, &number));
}

bool AppendText(PUNICODE_STRING string, PCWSTR text)
{
    return NT_SUCCESS(RtlAppendUnicodeToString(string, text));
}

void ClearString(PUNICODE_STRING string)
{
    if (string->Buffer)
        RtlZeroMemory(string->Buffer, string->MaximumLength);
    string->Length = 0;
}

NTSTATUS ReadGlobalSettings(PCWSTR servicePath, DeviceExtension* control)
{
    RTL_QUERY_REGISTRY_TABLE table[GlobalValueCount + 1];
    ValueTarget targets[GlobalValueCount];
    struct {
        PCWSTR Name;
        PVOID Field;
    } const values[GlobalValueCount] = {
        {VORN_WIDE("MouseMode"), &control->MouseMode},
        {VORN_WIDE("DoubleClickSpeed"), &control->DoubleClickSpeed},
        {VORN_WIDE("DoubleClickSize"), &control->DoubleClickSize},
        {VORN_WIDE("Language"), &control->Language},
        {VORN_WIDE("A0"), &control->A0},
        {VORN_WIDE("A1"), &control->A1},
        {VORN_WIDE("A2"), &control->A2},
        {VORN_WIDE("A3"), &control->A3},
        {VORN_WIDE("Uppper"), &control->Uppper},
        {VORN_WIDE("Low"), &control->Low},
        {VORN_WIDE("Filter Threshold"), &control->FilterThreshold},
        {VORN_WIDE("Filter"), &control->Filter},
        {VORN_WIDE("Rotation"), &control->Rotation},
    };
    for (ULONG i = 0; i < GlobalValueCount; ++i)
        SetEntry(&table[i], &targets[i], values[i].Name, REG_DWORD, values[i].Field);
    RtlZeroMemory(&table[GlobalValueCount], sizeof table[0]);
    return RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, servicePath, table, nullptr, nullptr);
}

namespace {

constexpr ULONG DeviceKeySuffixBytes = sizeof(VORN_WIDE("\\Device4294967295"));

// A zero-filled paged buffer for "<registry path>\Device<n>" and its
// terminating zero, whatever n; false (nothing allocated) when no counted
// string can hold it.
bool AllocateDeviceKeyPath(PCUNICODE_STRING registryPath, PUNICODE_STRING keyPath)
{
    ULONG capacity = ULONG(registryPath->Length) + DeviceKeySuffixBytes;
    if (capacity > 0xFFFE)
        return false;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, capacity, DriverPoolTag));
    if (!buffer)
        return false;
    RtlZeroMemory(buffer, capacity);
    keyPath->Buffer = buffer;
    keyPath->Length = 0;
    keyPath->MaximumLength = USHORT(capacity);
    return true;
}

// Composes the key path afresh; the buffer's zero fill terminates it. False
// when it does not fit whole: an incomplete path could name another key.
bool ComposeDeviceKeyPath(PUNICODE_STRING keyPath, PCUNICODE_STRING registryPath, ULONG n)
{
    ClearString(keyPath);
    if (keyPath->MaximumLength < registryPath->Length + DeviceKeySuffixBytes)
        return false;
    return NT_SUCCESS(RtlAppendUnicodeStringToString(keyPath, registryPath)) &&
           AppendText(keyPath, VORN_WIDE("\\Device")) && AppendNumber(keyPath, n);
}

NTSTATUS QueryDeviceValues(PCWSTR keyPath, ConfiguredDeviceBlock* block)
{
    RTL_QUERY_REGISTRY_TABLE table[DeviceValueCount + 1];
    ValueTarget targets[DeviceValueCount];
    struct {
        PCWSTR Name;
        ULONG Type;
        PVOID Field;
    } const values[DeviceValueCount] = {
        {VORN_WIDE("LLX"), REG_DWORD, &block->LLX},
        {VORN_WIDE("LLY"), REG_DWORD, &block->LLY},
        {VORN_WIDE("LRX"), REG_DWORD, &block->LRX},
        {VORN_WIDE("LRY"), REG_DWORD, &block->LRY},
        {VORN_WIDE("ULX"), REG_DWORD, &block->ULX},
        {VORN_WIDE("ULY"), REG_DWORD, &block->ULY},
        {VORN_WIDE("URX"), REG_DWORD, &block->URX},
        {VORN_WIDE("URY"), REG_DWORD, &block->URY},
        {VORN_WIDE("BaudRate"), REG_DWORD, &block->BaudRate},
        {VORN_WIDE("COMM"), REG_SZ, &block->PortNameSetting},
        {VORN_WIDE("RxBufferSize"), REG_DWORD, &block->RxBufferSize},
        {VORN_WIDE("PointBufferSize"), REG_DWORD, &block->PointBufferSize},
        {VORN_WIDE("ModeStatus"), REG_DWORD, &block->ModeStatus},
        {VORN_WIDE("Interface"), REG_DWORD, &block->Interface},
        {VORN_WIDE("Mode"), REG_DWORD, &block->Mode},
        {VORN_WIDE("SelDelay"), REG_DWORD, &block->SelDelay},
        {VORN_WIDE("ClickDelay"), REG_DWORD, &block->ClickDelay},
        {VORN_WIDE("XDeviation"), REG_DWORD, &block->XDeviation},
        {VORN_WIDE("YDeviation"), REG_DWORD, &block->YDeviation},
        {VORN_WIDE("ScreenLeft"), REG_DWORD, &block->ScreenLeft},
        {VORN_WIDE("ScreenTop"), REG_DWORD, &block->ScreenTop},
        {VORN_WIDE("ScreenRight"), REG_DWORD, &block->ScreenRight},
        {VORN_WIDE("ScreenBottom"), REG_DWORD, &block->ScreenBottom},
    };
    for (ULONG i = 0; i < DeviceValueCount; ++i)
        SetEntry(&table[i], &targets[i], values[i].Name, values[i].Type, values[i].Field);
    RtlZeroMemory(&table[DeviceValueCount], sizeof table[0]);
    // An absent rectangle value must read as absent, not as an edge at 0: the
    // four start out as a value no rectangle can have.
    block->ScreenLeft = block->ScreenTop = block->ScreenRight = block->ScreenBottom = NoScreenEdge;
    NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, keyPath, table, nullptr, nullptr);
    // A missing value, or four that make no rectangle, make none.
    if (!IsValidScreenRect(block->ScreenLeft, block->ScreenTop, block->ScreenRight,
                           block->ScreenBottom))
        block->ScreenLeft = block->ScreenTop = block->ScreenRight = block->ScreenBottom = 0;
    return status;
}

// The calibration values beside the nineteen, named as the utility shows
// them: CalFlags, CalAux, the grid's corner set and its 50 offsets.
constexpr ULONG CalibrationValueCount = 2 + 8 + 2 * GridPointCount;
constexpr ULONG NotStored = 0xFFFFFFFF;     // no 16-bit flag word can read so
constexpr USHORT CalibrationNameChars = 12; // "CalFlags" or "GridY24", and a zero

struct CalibrationQuery {
    RTL_QUERY_REGISTRY_TABLE Table[CalibrationValueCount + 1];
    ValueTarget Targets[CalibrationValueCount];
    WCHAR Names[CalibrationValueCount][CalibrationNameChars];
    ULONG CalFlags, CalAux;
};

// Writes "<prefix><n>" into a name slot; the slot is zero-filled first.
void ComposeValueName(WCHAR* slot, PCWSTR prefix, LONG n)
{
    UNICODE_STRING name = StringOver(slot, CalibrationNameChars * sizeof(WCHAR));
    AppendText(&name, prefix);
    if (n >= 0)
        AppendNumber(&name, ULONG(n));
}

// The names and the fields they fill, in the order they are read and written.
struct CalibrationField {
    PCWSTR Prefix;
    LONG Number; // -1: the prefix is the whole name
};

ULONG CalibrationFields(LONG* fields[CalibrationValueCount], CalibrationField names[],
                        TouchSettings* s, ULONG* calFlags, ULONG* calAux)
{
    ULONG i = 0;
    auto add = [&](PCWSTR prefix, LONG number, LONG* field) {
        names[i] = CalibrationField{prefix, number};
        fields[i++] = field;
    };
    add(VORN_WIDE("CalFlags"), -1, reinterpret_cast<LONG*>(calFlags));
    add(VORN_WIDE("CalAux"), -1, reinterpret_cast<LONG*>(calAux));
    add(VORN_WIDE("GridLLX"), -1, &s->GridLLX);
    add(VORN_WIDE("GridLLY"), -1, &s->GridLLY);
    add(VORN_WIDE("GridLRX"), -1, &s->GridLRX);
    add(VORN_WIDE("GridLRY"), -1, &s->GridLRY);
    add(VORN_WIDE("GridURX"), -1, &s->GridURX);
    add(VORN_WIDE("GridURY"), -1, &s->GridURY);
    add(VORN_WIDE("GridULX"), -1, &s->GridULX);
    add(VORN_WIDE("GridULY"), -1, &s->GridULY);
    for (ULONG k = 0; k < GridPointCount; ++k)
        add(VORN_WIDE("GridX"), LONG(k), &s->GridX[k]);
    for (ULONG k = 0; k < GridPointCount; ++k)
        add(VORN_WIDE("GridY"), LONG(k), &s->GridY[k]);
    return i;
}

// A calibration is taken as written through the driver when its CalFlags
// value is there; without it the key is an older one and nothing changes.
// The table is pool memory: it is too large for a kernel stack.
NTSTATUS QueryCalibrationValues(PCWSTR keyPath, ConfiguredDeviceBlock* block)
{
    auto* q = static_cast<CalibrationQuery*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(CalibrationQuery), DriverPoolTag));
    if (!q)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(q, sizeof *q);
    q->CalFlags = q->CalAux = NotStored;
    LONG* fields[CalibrationValueCount];
    CalibrationField names[CalibrationValueCount];
    ULONG count = CalibrationFields(fields, names, block, &q->CalFlags, &q->CalAux);
    for (ULONG i = 0; i < count; ++i) {
        ComposeValueName(q->Names[i], names[i].Prefix, names[i].Number);
        SetEntry(&q->Table[i], &q->Targets[i], q->Names[i], REG_DWORD, fields[i]);
    }
    NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, keyPath, q->Table, nullptr, nullptr);
    if (q->CalFlags != NotStored) {
        block->CalibrationSaved = 1;
        block->CalFlags = USHORT(q->CalFlags);
        block->CalAux = q->CalAux == NotStored ? 0 : USHORT(q->CalAux);
    }
    ExFreePool(q);
    return status;
}

// A COMM value that does not fit the block's port name: the query takes it
// as read and leaves the name empty, so it is read again whole, to be kept.
NTSTATUS NTAPI KeepOverlongText(PWSTR valueName, ULONG valueType, PVOID valueData,
                                ULONG valueLength, PVOID context, PVOID entryContext)
{
    UNREFERENCED_PARAMETER(valueName);
    UNREFERENCED_PARAMETER(context);
    auto* kept = static_cast<PUNICODE_STRING>(entryContext);
    if (valueType != REG_SZ || kept->Buffer)
        return STATUS_SUCCESS;
    auto* text = static_cast<const WCHAR*>(valueData);
    ULONG characters = TextCharacters(text, valueLength);
    ULONG bytes = (characters + 1) * sizeof(WCHAR);
    if (bytes <= PortNameSettingCapacity || bytes > 0xFFFE)
        return STATUS_SUCCESS;
    kept->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, DriverPoolTag));
    if (!kept->Buffer)
        return STATUS_SUCCESS;
    RtlCopyMemory(kept->Buffer, text, bytes - sizeof(WCHAR));
    kept->Buffer[characters] = 0;
    kept->Length = USHORT(bytes - sizeof(WCHAR));
    kept->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

void KeepOverlongPortName(PCUNICODE_STRING registryPath, ULONG n, PUNICODE_STRING kept)
{
    UNICODE_STRING keyPath;
    if (!AllocateDeviceKeyPath(registryPath, &keyPath))
        return;
    if (ComposeDeviceKeyPath(&keyPath, registryPath, n)) {
        RTL_QUERY_REGISTRY_TABLE table[2];
        RtlZeroMemory(table, sizeof table);
        table[0].QueryRoutine = KeepOverlongText;
        table[0].Name = const_cast<PWSTR>(VORN_WIDE("COMM"));
        table[0].EntryContext = kept;
        table[0].DefaultType = REG_NONE;
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, keyPath.Buffer, table, nullptr, nullptr);
    }
    ExFreePool(keyPath.Buffer);
}

} // namespace

// The key is queried by its absolute path with plain value entries, not
// through a subkey entry: some kernels (Wine's among them) refuse a query
// table that selects a subkey, and the results are the same.
NTSTATUS ReadConfiguredDevice(PCUNICODE_STRING registryPath, ConfiguredDeviceBlock* block, ULONG n)
{
    UNICODE_STRING keyPath;
    if (!AllocateDeviceKeyPath(registryPath, &keyPath))
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_OBJECT_NAME_INVALID;
    if (ComposeDeviceKeyPath(&keyPath, registryPath, n)) {
        status = QueryDeviceValues(keyPath.Buffer, block);
        if (NT_SUCCESS(status))
            status = QueryCalibrationValues(keyPath.Buffer, block);
    }
    ExFreePool(keyPath.Buffer);
    return status;
}

namespace {

// A zero-filled block with its 64-byte port name buffer, or null; nothing
// is left behind when either allocation fails.
ConfiguredDeviceBlock* AllocateBlock()
{
    auto* block = static_cast<ConfiguredDeviceBlock*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(ConfiguredDeviceBlock), DriverPoolTag));
    if (!block)
        return nullptr;
    RtlZeroMemory(block, sizeof *block);
    block->PortNameSetting.Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(NonPagedPool, PortNameSettingCapacity, DriverPoolTag));
    if (!block->PortNameSetting.Buffer) {
        ExFreePool(block);
        return nullptr;
    }
    RtlZeroMemory(block->PortNameSetting.Buffer, PortNameSettingCapacity);
    block->PortNameSetting.MaximumLength = PortNameSettingCapacity;
    return block;
}

void FreeBlock(ConfiguredDeviceBlock* block)
{
    ExFreePool(block->PortNameSetting.Buffer);
    ExFreePool(block);
}

} // namespace

ConfiguredDeviceNode* EnumerateConfiguredDevices(PCUNICODE_STRING registryPath)
{
    ConfiguredDeviceNode* head = nullptr;
    ConfiguredDeviceNode* tail = nullptr;
    for (ULONG n = 0;; ++n) {
        ConfiguredDeviceBlock* block = AllocateBlock();
        if (!block)
            break;
        if (!NT_SUCCESS(ReadConfiguredDevice(registryPath, block, n))) {
            FreeBlock(block);
            break;
        }
        auto* node = static_cast<ConfiguredDeviceNode*>(
            ExAllocatePoolWithTag(PagedPool, sizeof(ConfiguredDeviceNode), DriverPoolTag));
        if (!node) {
            FreeBlock(block);
            break;
        }
        *node = ConfiguredDeviceNode{nullptr, nullptr, block, {0, 0, nullptr}};
        if (!block->PortNameSetting.Length)
            KeepOverlongPortName(registryPath, n, &node->StoredPortName);
        if (tail)
            tail->Next = node;
        else
            head = node;
        tail = node;
    }
    return head;
}

// The port name buffers now belong to the devices made from the blocks.
void FreeConfiguredDevices(ConfiguredDeviceNode* list)
{
    while (list) {
        ConfiguredDeviceNode* next = list->Next;
        if (list->StoredPortName.Buffer)
            ExFreePool(list->StoredPortName.Buffer);
        ExFreePool(list->Block);
        ExFreePool(list);
        list = next;
    }
}

NTSTATUS WriteGlobalSettings(PCWSTR servicePath, DeviceExtension* control)
{
    WriteDword(servicePath, VORN_WIDE("MouseMode"), &control->MouseMode);
    WriteDword(servicePath, VORN_WIDE("DoubleClickSpeed"), &control->DoubleClickSpeed);
    WriteDword(servicePath, VORN_WIDE("DoubleClickSize"), &control->DoubleClickSize);
    WriteDword(servicePath, VORN_WIDE("Language"), &control->Language);
    WriteDword(servicePath, VORN_WIDE("Rotation"), &control->Rotation);
    return STATUS_SUCCESS;
}

// RtlWriteRegistryValue creates a missing key on Windows but not everywhere
// (Wine's does not), so the device's key is made first. Failures are ignored
// like those of the writes.
void CreateServiceSubkey(PCUNICODE_STRING subkey)
{
    constexpr WCHAR ServicesRoot[] =
        VORN_WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\");
    ULONG capacity = sizeof ServicesRoot + subkey->Length;
    if (capacity > 0xFFFE)
        return;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, capacity, DriverPoolTag));
    if (!buffer)
        return;
    UNICODE_STRING path = {0, USHORT(capacity), buffer};
    if (NT_SUCCESS(RtlAppendUnicodeToString(&path, ServicesRoot)) &&
        NT_SUCCESS(RtlAppendUnicodeStringToString(&path, subkey))) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        HANDLE key;
        if (NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, nullptr)))
            ZwClose(key);
    }
    ExFreePool(buffer);
}

namespace {

// Written only for a calibration that came through the driver; a key
// without them (a device never calibrated so, or a key another device held
// before a renumbering) must not keep any, or the next load would take
// them for this device's.
void WriteCalibrationValues(PCWSTR key, TouchSettings* s)
{
    ULONG calFlags = s->CalFlags, calAux = s->CalAux;
    LONG* fields[CalibrationValueCount];
    CalibrationField names[CalibrationValueCount];
    ULONG count = CalibrationFields(fields, names, s, &calFlags, &calAux);
    for (ULONG i = 0; i < count; ++i) {
        WCHAR name[CalibrationNameChars];
        ComposeValueName(name, names[i].Prefix, names[i].Number);
        if (s->CalibrationSaved)
            WriteDword(key, name, fields[i]);
        else
            RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, key, name);
    }
}

// A device without a name because its stored one was too long to use writes
// that one back unchanged (it holds its terminating zero).
void WritePortName(PCWSTR key, const DeviceExtension* device)
{
    const UNICODE_STRING& stored = device->StoredPortName;
    if (!(device->PortName.Buffer && device->PortName.Length) && stored.Buffer) {
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, VORN_WIDE("COMM"), REG_SZ, stored.Buffer,
                              stored.Length + sizeof(WCHAR));
        return;
    }
    // The name and its terminating zero, from a copy that surely has the zero.
    WCHAR name[257];
    USHORT length = device->PortName.Buffer ? device->PortName.Length : 0;
    if (length > 256 * sizeof(WCHAR))
        length = 256 * sizeof(WCHAR);
    if (length)
        RtlCopyMemory(name, device->PortName.Buffer, length);
    name[length / sizeof(WCHAR)] = 0;
    RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, VORN_WIDE("COMM"), REG_SZ, name,
                          length + sizeof(WCHAR));
}

} // namespace

void WriteDeviceSettings(DeviceExtension* device)
{
    if (!device->RegistrySubkey.Buffer)
        return;
    CreateServiceSubkey(&device->RegistrySubkey);
    // The subkey buffer is zero-filled past its text, so it is terminated.
    PCWSTR key = device->RegistrySubkey.Buffer;
    // A copy taken under the device's Lock: the parser may be applying the
    // controller's memory meanwhile, and the registry is written at
    // PASSIVE_LEVEL, outside the lock.
    TouchSettings s;
    {
        SpinLockGuard lock(&device->Lock);
        s = device->Settings;
    }
    WriteDword(key, VORN_WIDE("LLX"), &s.LLX);
    WriteDword(key, VORN_WIDE("LLY"), &s.LLY);
    WriteDword(key, VORN_WIDE("LRX"), &s.LRX);
    WriteDword(key, VORN_WIDE("LRY"), &s.LRY);
    WriteDword(key, VORN_WIDE("ULX"), &s.ULX);
    WriteDword(key, VORN_WIDE("ULY"), &s.ULY);
    WriteDword(key, VORN_WIDE("URX"), &s.URX);
    WriteDword(key, VORN_WIDE("URY"), &s.URY);
    WriteDword(key, VORN_WIDE("BaudRate"), &s.BaudRate);
    WritePortName(key, device);
    WriteDword(key, VORN_WIDE("PointBufferSize"), &s.PointBufferSize);
    WriteDword(key, VORN_WIDE("RxBufferSize"), &s.RxBufferSize);
    WriteDword(key, VORN_WIDE("Interface"), &s.Interface);
    WriteDword(key, VORN_WIDE("ModeStatus"), &s.ModeStatus);
    WriteDword(key, VORN_WIDE("Mode"), &s.Mode);
    WriteDword(key, VORN_WIDE("SelDelay"), &s.SelDelay);
    WriteDword(key, VORN_WIDE("ClickDelay"), &s.ClickDelay);
    WriteDword(key, VORN_WIDE("XDeviation"), &s.XDeviation);
    WriteDword(key, VORN_WIDE("YDeviation"), &s.YDeviation);
    // A device without a rectangle has none of its values: absent means none.
    if (HasScreenRect(s)) {
        WriteDword(key, VORN_WIDE("ScreenLeft"), &s.ScreenLeft);
        WriteDword(key, VORN_WIDE("ScreenTop"), &s.ScreenTop);
        WriteDword(key, VORN_WIDE("ScreenRight"), &s.ScreenRight);
        WriteDword(key, VORN_WIDE("ScreenBottom"), &s.ScreenBottom);
    } else {
        DeleteScreenRectValues(device);
    }
    WriteCalibrationValues(key, &s);
}

void DeleteScreenRectValues(DeviceExtension* device)
{
    if (!device->RegistrySubkey.Buffer)
        return;
    PCWSTR key = device->RegistrySubkey.Buffer;
    const PCWSTR names[] = {VORN_WIDE("ScreenLeft"), VORN_WIDE("ScreenTop"),
                            VORN_WIDE("ScreenRight"), VORN_WIDE("ScreenBottom")};
    for (PCWSTR name : names)
        RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, key, name);
}

void RenumberPortDevices(DeviceExtension* control)
{
    USHORT index = 0;
    for (ListNode* node = control->PortList; node; node = node->Next, ++index) {
        DeviceExtension* device = ExtensionOf(node->Device);
        device->UnitIndex = index;
        ClearString(&device->RegistrySubkey);
        if (device->RegistrySubkey.Buffer &&
            AppendText(&device->RegistrySubkey, VORN_WIDE("VORN2000\\Device")))
            AppendNumber(&device->RegistrySubkey, index);
        WriteDeviceSettings(device);
    }
}

// The path buffer is sized for the driver's own path, "\Device" and any
// number: a fixed buffer would leave the keys of long paths or high numbers
// in place. A path that still does not fit is never opened.
void DeleteDeviceKeys(DeviceExtension* control)
{
    UNICODE_STRING path;
    if (!AllocateDeviceKeyPath(&control->DriverRegistryPath, &path))
        return;
    ULONG count = CountListNodes(control->PortList);
    for (ULONG i = 0; i < count; ++i) {
        if (!ComposeDeviceKeyPath(&path, &control->DriverRegistryPath, i))
            continue;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        HANDLE key;
        if (NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
            ZwDeleteKey(key);
            ZwClose(key);
        }
    }
    ExFreePool(path.Buffer);
}
