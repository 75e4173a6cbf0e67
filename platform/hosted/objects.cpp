// Hosted object manager: device, file and thread objects with reference
// counts, the namespace of device names and symbolic links, opens with their
// create, cleanup and close, and handles.
#include "platform/hosted/state.h"

#include <cstring>

namespace hosted {

namespace {

ObjectRecord* Find(Kernel::State& k, const void* object)
{
    auto found = k.Objects.find(object);
    return found == k.Objects.end() ? nullptr : &found->second;
}

constexpr UCHAR DeletedDeviceFill = 0xDD;
constexpr size_t QuarantinedDevices = 16;

// Objects lock held. The object and its extension are one block.
void FreeDevice(Kernel::State& k, PDEVICE_OBJECT device, size_t extensionSize)
{
    auto* memory = reinterpret_cast<char*>(device);
    std::memset(memory, DeletedDeviceFill, sizeof(DEVICE_OBJECT) + extensionSize);
    k.DeletedDevices.push_back(memory);
    if (k.DeletedDevices.size() > QuarantinedDevices) {
        delete[] k.DeletedDevices.front();
        k.DeletedDevices.pop_front();
    }
}

// The named device, following symbolic links; each name is looked up as a
// thread of logon session `session` sees it.
PDEVICE_OBJECT Resolve(Kernel::State& k, const UNICODE_STRING& name, ULONG session)
{
    std::u16string key = NameKey(name);
    std::u16string local = LocalNameKey(name, session);
    for (int hops = 0; hops < 8; ++hops) {
        auto found = local.empty() ? k.Names.end() : k.Names.find(local);
        if (found == k.Names.end())
            found = k.Names.find(key);
        if (found == k.Names.end())
            return nullptr;
        if (found->second.Device)
            return found->second.Device;
        key = found->second.LinkTarget; // link targets are global names
        local.clear();
    }
    return nullptr;
}

std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? char(c) : '?';
    return out;
}

// Objects lock held. Drops one reference and frees the object with its last.
void Release(Kernel::State& k, const void* object);

void FreeFile(Kernel::State& k, PFILE_OBJECT file)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    Find(k, device)->OpenFiles--;
    k.Objects.erase(file);
    delete file;
    Release(k, device);
}

void Release(Kernel::State& k, const void* object)
{
    ObjectRecord* record = Find(k, object);
    if (--record->References > 0)
        return;
    switch (record->Kind) {
    case ObjectKind::Device: {
        size_t extensionSize = record->ExtensionSize;
        k.Objects.erase(object);
        FreeDevice(k, static_cast<PDEVICE_OBJECT>(const_cast<void*>(object)), extensionSize);
        break;
    }
    case ObjectKind::File:
        FreeFile(k, static_cast<PFILE_OBJECT>(const_cast<void*>(object)));
        break;
    case ObjectKind::Thread:
        k.Objects.erase(object);
        FreeThreadObject(const_cast<void*>(object));
        break;
    }
}

// Opens a file object on `device` as the I/O manager's parse routine does.
// Objects lock not held.
NTSTATUS OpenFileOn(Kernel::State& k, PDEVICE_OBJECT device, PFILE_OBJECT* opened,
                    const Opener& opener)
{
    PFILE_OBJECT file;
    {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        ObjectRecord* record = Find(k, device);
        // Neither a device its driver is still setting up nor one it has
        // deleted (delete-pending while references remain) takes new opens.
        if (!record || record->Kind != ObjectKind::Device || record->Deleted ||
            (device->Flags & DO_DEVICE_INITIALIZING))
            return STATUS_NO_SUCH_DEVICE;
        // An exclusive device, such as a serial port, has one opener at a time.
        if ((device->Flags & DO_EXCLUSIVE) && record->OpenFiles > 0)
            return STATUS_ACCESS_DENIED;
        file = new FILE_OBJECT{};
        file->Type = IO_TYPE_FILE;
        file->Size = sizeof(FILE_OBJECT);
        file->DeviceObject = device;
        k.Objects[file] = ObjectRecord(ObjectKind::File, 1);
        record->References++; // the open file keeps its device
        record->OpenFiles++;
    }
    NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE, &opener);
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    if (!NT_SUCCESS(status)) {
        Release(k, file); // never opened: no close follows
        return status;
    }
    Find(k, file)->Opened = true;
    *opened = file;
    return STATUS_SUCCESS;
}

} // namespace

// Drops one reference, objects lock not held. The last reference on a file
// that was opened sends IRP_MJ_CLOSE first.
LONG_PTR DropReference(Kernel::State& k, PVOID object)
{
    {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        ObjectRecord* record = Find(k, object);
        if (!record || record->References <= 0)
            VerifierFail("object", "ObDereferenceObject(%p): not a referenced object", object);
        LONG_PTR remaining = record->References - 1;
        if (record->Kind != ObjectKind::File || remaining > 0 || !record->Opened) {
            Release(k, object);
            return remaining;
        }
        record->Opened = false;
    }
    SendFileRequest(static_cast<PFILE_OBJECT>(object), IRP_MJ_CLOSE);
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    Release(k, object);
    return 0;
}

namespace {

const char* KindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Device:
        return "device";
    case ObjectKind::File:
        return "file";
    case ObjectKind::Thread:
        return "thread";
    }
    return "object";
}

} // namespace

namespace {

const std::u16string DosDevices = u"\\DOSDEVICES\\";
const std::u16string GlobalDosDevices = u"\\DOSDEVICES\\GLOBAL\\";

std::u16string UpperCase(const UNICODE_STRING& name)
{
    std::u16string key(name.Buffer, name.Length / sizeof(WCHAR));
    for (char16_t& c : key)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    // "\??\" is the same directory as "\DosDevices\".
    if (key.compare(0, 4, u"\\??\\") == 0)
        key = DosDevices + key.substr(4);
    return key;
}

} // namespace

// The name in the global namespace; "\DosDevices\Global\X" is the global
// directory's X whatever the caller's logon session.
std::u16string NameKey(const UNICODE_STRING& name)
{
    std::u16string key = UpperCase(name);
    if (key.compare(0, GlobalDosDevices.size(), GlobalDosDevices) == 0)
        key = DosDevices + key.substr(GlobalDosDevices.size());
    return key;
}

// "On Windows XP and later, each logon session has its own local DosDevices
// context. System threads, and any thread that is running as the LocalSystem
// user, do not run in a local DosDevices context. [...] If a thread is
// currently running in a local DosDevices context, any MS-DOS device names
// that it creates are created only in the local DosDevices directory. [...]
// the object manager [...] first searches the local \DosDevices directory,
// and then the global \DosDevices directory" (Local and Global MS-DOS Device
// Names, Microsoft's documentation). Empty when the name has no local form
// for that session.
std::u16string LocalNameKey(const UNICODE_STRING& name, ULONG session)
{
    std::u16string key = UpperCase(name);
    if (session == GlobalSession || key.compare(0, DosDevices.size(), DosDevices) != 0 ||
        key.compare(0, GlobalDosDevices.size(), GlobalDosDevices) == 0)
        return u"";
    std::string number = std::to_string(session);
    return u"\\SESSIONS\\" + std::u16string(number.begin(), number.end()) + key;
}

ULONG LogonSessionOf(Account account)
{
    switch (account) {
    case Account::Administrator:
        return 1;
    case Account::StandardUser:
        return 2;
    case Account::LocalSystem:
        break;
    }
    return GlobalSession;
}

ProgramContext::ProgramContext(Account user)
{
    ThreadState& thread = CurrentThread();
    outerProcess_ = thread.Process;
    outerSession_ = thread.LogonSession;
    {
        std::lock_guard<std::mutex> guard(K().ObjectsLock);
        thread.Process = K().NextProcess++;
    }
    thread.LogonSession = LogonSessionOf(user);
}

ProgramContext::~ProgramContext()
{
    ThreadState& thread = CurrentThread();
    thread.Process = outerProcess_;
    thread.LogonSession = outerSession_;
}

bool InSystemProcess()
{
    return CurrentThread().Process == SystemProcess;
}

std::vector<std::u16string> Kernel::SymbolicLinks() const
{
    std::lock_guard<std::mutex> guard(state_->ObjectsLock);
    std::vector<std::u16string> links;
    for (const auto& [key, entry] : state_->Names)
        if (!entry.Device)
            links.push_back(key);
    return links;
}

void ReferenceObject(Kernel::State& k, const void* object)
{
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    ObjectRecord* record = Find(k, object);
    if (!record || record->References <= 0)
        VerifierFail("object", "a reference on %p, which is not a live object", object);
    record->References++;
}

size_t Kernel::NotificationRegistrations() const
{
    std::lock_guard<std::mutex> guard(state_->NotificationsLock);
    return state_->Registrations.size();
}

void Kernel::DeliverLateNotifications(bool on)
{
    std::lock_guard<std::mutex> guard(state_->NotificationsLock);
    state_->LateNotifications = on;
    if (!on)
        state_->Departed.clear();
}

void Kernel::FailNextReference(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(state_->ObjectsLock);
    state_->NextReferenceFailure = status;
}

void Kernel::OpenWithoutFileObject(bool on)
{
    std::lock_guard<std::mutex> guard(state_->ObjectsLock);
    state_->OpenWithoutFile = on;
}

PDEVICE_OBJECT Kernel::DeviceOfExtension(const void* extension) const
{
    // The extension follows its device object in the same block.
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(
        const_cast<char*>(static_cast<const char*>(extension)) - sizeof(DEVICE_OBJECT));
    std::lock_guard<std::mutex> guard(state_->ObjectsLock);
    ObjectRecord* record = Find(*state_, device);
    return record && record->Kind == ObjectKind::Device ? device : nullptr;
}

void CheckObjectsAtTeardown(Kernel::State& k)
{
    {
        std::lock_guard<std::mutex> guard(k.NotificationsLock);
        if (!k.Registrations.empty())
            TeardownFinding(k, "notification-leak",
                            "%zu Plug and Play notification registration(s) left at teardown",
                            k.Registrations.size());
    }
    {
        std::lock_guard<std::mutex> items(k.ObjectsLock);
        if (!k.WorkItems.empty())
            TeardownFinding(k, "workitem-leak", "%zu work item(s) not freed at teardown",
                            k.WorkItems.size());
    }
    {
        std::lock_guard<std::mutex> keys(k.RegistryLock);
        if (!k.KeyHandles.empty())
            TeardownFinding(k, "reference-leak", "%zu registry key handle(s) left open at teardown",
                            k.KeyHandles.size());
    }
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    for (const auto& [object, record] : k.Objects) {
        // A live device holds only its creator's reference.
        bool expected =
            record.Kind == ObjectKind::Device && !record.Deleted && record.References == 1;
        if (!expected)
            TeardownFinding(k, "reference-leak",
                            "%s object %p%s%s left at teardown with %d reference(s)",
                            KindName(record.Kind), object, record.Name.empty() ? "" : " ",
                            Narrow(record.Name).c_str(), record.References);
    }
}

void FreeObjects(Kernel::State& k)
{
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    for (const auto& [object, record] : k.Objects)
        if (record.Kind == ObjectKind::Device)
            delete[] static_cast<char*>(const_cast<void*>(object));
    for (char* memory : k.DeletedDevices)
        delete[] memory;
    k.DeletedDevices.clear();
    k.Objects.clear();
    k.Names.clear();
}

bool ReferenceFileObject(Kernel::State& k, PVOID object)
{
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    ObjectRecord* record = Find(k, object);
    if (!record || record->Kind != ObjectKind::File)
        return false;
    record->References++;
    return true;
}

NTSTATUS OpenHandle(PDEVICE_OBJECT device, PFILE_OBJECT* file, const Opener& opener)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "a handle opened at IRQL %d", CurrentThread().Irql);
    return OpenFileOn(K(), device, file, opener);
}

NTSTATUS OpenHandleByName(const std::u16string& name, PFILE_OBJECT* file, const Opener& opener)
{
    UNICODE_STRING counted;
    counted.Buffer = const_cast<PWSTR>(name.c_str());
    counted.Length = counted.MaximumLength = USHORT(name.size() * sizeof(WCHAR));
    // A program looks names up in its user's logon session; a kernel-mode
    // open in the calling thread's.
    ULONG session =
        opener.Mode == UserMode ? LogonSessionOf(opener.User) : CurrentThread().LogonSession;
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(K().ObjectsLock);
        device = Resolve(K(), counted, session);
    }
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return OpenHandle(device, file, opener);
}

void CloseHandle(PFILE_OBJECT file)
{
    SendFileRequest(file, IRP_MJ_CLEANUP);
    DropReference(K(), file);
}

} // namespace hosted

using namespace hosted;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "IoCreateDevice at IRQL %d", CurrentThread().Irql);
    if (InjectFault(FaultKind::Device))
        return STATUS_INSUFFICIENT_RESOURCES;
    Kernel::State& k = K();
    std::u16string key = DeviceName && DeviceName->Buffer ? NameKey(*DeviceName) : u"";
    std::unique_lock<std::mutex> guard(k.ObjectsLock);
    if (!key.empty() && k.Names.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    auto* memory = new char[sizeof(DEVICE_OBJECT) + DeviceExtensionSize]();
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(memory);
    device->Type = IO_TYPE_DEVICE;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize ? memory + sizeof(DEVICE_OBJECT) : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    ObjectRecord record(ObjectKind::Device, 1);
    record.Name = key;
    record.ExtensionSize = DeviceExtensionSize;
    k.Objects[device] = record;
    if (!key.empty())
        k.Names[key] = NameEntry{device, u""};
    *DeviceObject = device;
    guard.unlock();
    if (k.DeviceCreatedSink)
        k.DeviceCreatedSink(device);
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Kernel::State& k = K();
    size_t extensionSize;
    {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        ObjectRecord* record = Find(k, DeviceObject);
        if (!record || record->Kind != ObjectKind::Device || record->Deleted)
            VerifierFail("device", "IoDeleteDevice(%p): not a live device object",
                         (void*)DeviceObject);
        // A device leaves its stack (IoDetachDevice) before it is deleted.
        if (record->AttachedTo)
            VerifierFail("device",
                         "IoDeleteDevice(%p): the device is still attached to %p; "
                         "IoDetachDevice comes first",
                         (void*)DeviceObject, (void*)record->AttachedTo);
        extensionSize = record->ExtensionSize;
    }
    // The extension follows the object in the same block.
    CheckNothingQueuedIn(DeviceObject, sizeof(DEVICE_OBJECT) + extensionSize, "IoDeleteDevice");
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    ObjectRecord* record = Find(k, DeviceObject);
    record->Deleted = true;
    if (!record->Name.empty())
        k.Names.erase(record->Name);
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link && *link != DeviceObject)
        link = &(*link)->NextDevice;
    if (*link)
        *link = DeviceObject->NextDevice;
    Release(k, DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (InjectFault(FaultKind::Link))
        return STATUS_INSUFFICIENT_RESOURCES;
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    // Made in the caller's logon session's own directory when it has one.
    std::u16string key = LocalNameKey(*SymbolicLinkName, CurrentThread().LogonSession);
    if (key.empty())
        key = NameKey(*SymbolicLinkName);
    if (k.Names.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    k.Names[key] = NameEntry{nullptr, NameKey(*DeviceName)};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    // The caller's local directory first, then the global one: a system
    // thread cannot reach a link made in a user's logon session.
    std::u16string local = LocalNameKey(*SymbolicLinkName, CurrentThread().LogonSession);
    auto found = local.empty() ? k.Names.end() : k.Names.find(local);
    if (found == k.Names.end())
        found = k.Names.find(NameKey(*SymbolicLinkName));
    if (found == k.Names.end() || found->second.Device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    k.Names.erase(found);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                        PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "IoGetDeviceObjectPointer at IRQL %d", CurrentThread().Irql);
    Kernel::State& k = K();
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        device = Resolve(k, *ObjectName, CurrentThread().LogonSession);
        if (!device)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        if (k.OpenWithoutFile && !(device->Flags & DO_DEVICE_INITIALIZING)) {
            *FileObject = nullptr;
            *DeviceObject = device;
            return STATUS_SUCCESS;
        }
    }
    // A kernel-mode open, from a system thread: LocalSystem's token.
    Opener opener;
    opener.User = Account::LocalSystem;
    opener.Mode = KernelMode;
    opener.DesiredAccess = DesiredAccess;
    PFILE_OBJECT file;
    NTSTATUS status = OpenFileOn(k, device, &file, opener);
    if (!NT_SUCCESS(status))
        return status;
    // The routine opens a handle, references the file object and closes the
    // handle again: the cleanup comes now, the close with the last reference.
    SendFileRequest(file, IRP_MJ_CLEANUP);
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    *FileObject = file;
    *DeviceObject = top;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                          POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectType);
    UNREFERENCED_PARAMETER(AccessMode);
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    if (k.NextReferenceFailure != STATUS_SUCCESS) {
        NTSTATUS status = k.NextReferenceFailure;
        k.NextReferenceFailure = STATUS_SUCCESS;
        return status;
    }
    ObjectRecord* record = Find(k, Object);
    if (!record || record->References <= 0)
        VerifierFail("object", "ObReferenceObjectByPointer(%p): not a live object", Object);
    record->References++;
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    return DropReference(K(), Object);
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectType);
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(HandleInformation);
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    auto found = k.Handles.find(Handle);
    // A handle in a program's table means nothing in another process.
    if (found == k.Handles.end() ||
        (!found->second.Kernel && found->second.Process != CurrentThread().Process))
        return STATUS_INVALID_HANDLE;
    ObjectRecord* record = Find(k, found->second.Object);
    if (ObjectType && (ObjectType != *PsThreadType || record->Kind != ObjectKind::Thread))
        return STATUS_OBJECT_TYPE_MISMATCH;
    record->References++;
    *Object = found->second.Object;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    Kernel::State& k = K();
    if (CloseKeyHandle(k, Handle))
        return STATUS_SUCCESS;
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    auto found = k.Handles.find(Handle);
    if (found == k.Handles.end() ||
        (!found->second.Kernel && found->second.Process != CurrentThread().Process))
        VerifierFail("handle", "ZwClose(%p): not an open handle in this process", Handle);
    PVOID object = found->second.Object;
    k.Handles.erase(found);
    Release(k, object);
    return STATUS_SUCCESS;
}

} // extern "C"
