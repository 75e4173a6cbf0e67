// The Plug and Play side of the hosted kernel: device stacks, power request
// passing, notification registrations, and the deliveries to them:
// target-device changes and device-interface arrival and removal.
#include "platform/hosted/state.h"

#include <algorithm>
#include <cstring>

namespace hosted {
namespace {

// Objects lock held. The record of a device object not deleted, or a stop.
ObjectRecord* LiveDevice(Kernel::State& k, PDEVICE_OBJECT device, const char* call)
{
    auto found = k.Objects.find(device);
    if (found == k.Objects.end() || found->second.Kind != ObjectKind::Device ||
        found->second.Deleted)
        VerifierFail("device", "%s(%p): not a live device object", call, (void*)device);
    return &found->second;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

void TellWatcher(const Registration& registration, const GUID& event, const GUID& interfaceClass,
                 const std::u16string& link)
{
    std::u16string text = link;
    UNICODE_STRING name;
    name.Buffer = text.data();
    name.Length = USHORT(text.size() * sizeof(WCHAR));
    name.MaximumLength = USHORT((text.size() + 1) * sizeof(WCHAR));
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
    notification.Version = 1;
    notification.Size = sizeof notification;
    notification.Event = event;
    notification.InterfaceClassGuid = interfaceClass;
    notification.SymbolicLinkName = &name;
    registration.Callback(&notification, registration.Context);
}

void TellWatchers(const GUID& event, const GUID& interfaceClass, const std::u16string& link)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "interface notification delivered at IRQL %d", CurrentThread().Irql);
    auto watches = [&interfaceClass](const Registration& registration) {
        return registration.Category == EventCategoryDeviceInterfaceChange &&
               SameGuid(registration.InterfaceClass, interfaceClass);
    };
    TellRegistrations(watches, [&](const Registration& registration) {
        TellWatcher(registration, event, interfaceClass, link);
    });
}

} // namespace

NTSTATUS RegisterInterfaceWatcher(ULONG flags, const GUID* interfaceClass,
                                  PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context,
                                  PVOID* entry)
{
    Kernel::State& k = K();
    Registration registration{EventCategoryDeviceInterfaceChange, nullptr, *interfaceClass,
                              callback, context};
    std::vector<std::u16string> present;
    {
        std::lock_guard<std::mutex> guard(k.NotificationsLock);
        ULONG_PTR id = k.NextRegistration++;
        k.Registrations[id] = registration;
        *entry = reinterpret_cast<PVOID>(id);
        for (const auto& [cls, link] : k.Interfaces)
            if (SameGuid(cls, *interfaceClass))
                present.push_back(link);
    }
    // The interfaces already there are reported as arrivals before the
    // registration returns.
    if (flags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES)
        for (const std::u16string& link : present) {
            TellWatcher(registration, GUID_DEVICE_INTERFACE_ARRIVAL, *interfaceClass, link);
            CheckNotificationCallbackReturned();
        }
    return STATUS_SUCCESS;
}

void AddDeviceInterface(const GUID& interfaceClass, const std::u16string& link)
{
    {
        Kernel::State& k = K();
        std::lock_guard<std::mutex> guard(k.NotificationsLock);
        k.Interfaces.emplace_back(interfaceClass, link);
    }
    TellWatchers(GUID_DEVICE_INTERFACE_ARRIVAL, interfaceClass, link);
}

void RemoveDeviceInterface(const GUID& interfaceClass, const std::u16string& link)
{
    {
        Kernel::State& k = K();
        std::lock_guard<std::mutex> guard(k.NotificationsLock);
        auto& list = k.Interfaces;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const auto& entry) {
                                      return SameGuid(entry.first, interfaceClass) &&
                                             entry.second == link;
                                  }),
                   list.end());
    }
    TellWatchers(GUID_DEVICE_INTERFACE_REMOVAL, interfaceClass, link);
}

void NotifyTargetDeviceChange(PDEVICE_OBJECT device, const GUID& event)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "target-device notification delivered at IRQL %d",
                     CurrentThread().Irql);
    auto watches = [device](const Registration& registration) {
        return registration.Category == EventCategoryTargetDeviceChange &&
               registration.WatchedDevice == device;
    };
    TellRegistrations(watches, [&event](const Registration& registration) {
        TARGET_DEVICE_REMOVAL_NOTIFICATION notification{};
        notification.Version = 1;
        notification.Size = sizeof notification;
        notification.Event = event;
        notification.FileObject = registration.FileObject;
        registration.Callback(&notification, registration.Context);
    });
}

void TellRegistrations(const std::function<bool(const Registration&)>& matches,
                       const std::function<void(const Registration&)>& tell)
{
    Kernel::State& k = K();
    std::vector<ULONG_PTR> ids;
    {
        std::lock_guard<std::mutex> guard(k.NotificationsLock);
        for (const auto& [id, registration] : k.Registrations)
            if (matches(registration))
                ids.push_back(id);
    }
    for (ULONG_PTR id : ids) {
        Registration registration;
        {
            // A callback may end its own or another registration meanwhile.
            std::lock_guard<std::mutex> guard(k.NotificationsLock);
            auto found = k.Registrations.find(id);
            if (found == k.Registrations.end())
                continue;
            registration = found->second;
        }
        OnKernelStack([&] { tell(registration); });
        CheckNotificationCallbackReturned();
    }
    // Registrations ended while a delivery had already picked them: called
    // once more, after their unregistration returned.
    std::vector<Registration> late;
    {
        std::lock_guard<std::mutex> guard(k.NotificationsLock);
        auto& departed = k.Departed;
        for (auto it = departed.begin(); it != departed.end();)
            if (matches(*it)) {
                late.push_back(*it);
                it = departed.erase(it);
            } else {
                ++it;
            }
    }
    for (const Registration& registration : late) {
        tell(registration);
        CheckNotificationCallbackReturned();
    }
}

void CheckNotificationCallbackReturned()
{
    if (CurrentThread().Irql != PASSIVE_LEVEL || !CurrentThread().HeldLocks.empty())
        VerifierFail("irql", "notification callback returned at IRQL %d", CurrentThread().Irql);
}

} // namespace hosted

using namespace hosted;

extern "C" {

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    if (!TargetDevice)
        return nullptr;
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    ObjectRecord* source = LiveDevice(k, SourceDevice, "IoAttachDeviceToDeviceStack");
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    source->AttachedTo = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    LiveDevice(k, TargetDevice, "IoDetachDevice");
    if (PDEVICE_OBJECT upper = TargetDevice->AttachedDevice) {
        auto found = k.Objects.find(upper);
        if (found != k.Objects.end())
            found->second.AttachedTo = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IoCallDriver(DeviceObject, Irp);
}

const GUID GUID_TARGET_DEVICE_QUERY_REMOVE = {
    0xcb3a4006, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
const GUID GUID_TARGET_DEVICE_REMOVE_CANCELLED = {
    0xcb3a4007, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
const GUID GUID_TARGET_DEVICE_REMOVE_COMPLETE = {
    0xcb3a4008, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
const GUID GUID_DEVICE_INTERFACE_ARRIVAL = {
    0xcb3a4004, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
const GUID GUID_DEVICE_INTERFACE_REMOVAL = {
    0xcb3a4005, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};

NTSTATUS NTAPI IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                              ULONG EventCategoryFlags, PVOID EventCategoryData,
                                              PDRIVER_OBJECT DriverObject,
                                              PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                              PVOID Context, PVOID* NotificationEntry)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "IoRegisterPlugPlayNotification at IRQL %d", CurrentThread().Irql);
    if (EventCategory == EventCategoryDeviceInterfaceChange)
        return RegisterInterfaceWatcher(EventCategoryFlags,
                                        static_cast<const GUID*>(EventCategoryData),
                                        CallbackRoutine, Context, NotificationEntry);
    if (EventCategory != EventCategoryTargetDeviceChange)
        return STATUS_NOT_SUPPORTED;
    Kernel::State& k = K();
    // The registration keeps the file object it watches.
    if (!ReferenceFileObject(k, EventCategoryData))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(k.NotificationsLock);
    ULONG_PTR id = k.NextRegistration++;
    auto* file = static_cast<PFILE_OBJECT>(EventCategoryData);
    k.Registrations[id] =
        Registration{EventCategory, file, GUID{}, CallbackRoutine, Context, file->DeviceObject};
    *NotificationEntry = reinterpret_cast<PVOID>(id);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoUnregisterPlugPlayNotification(PVOID NotificationEntry)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "IoUnregisterPlugPlayNotification at IRQL %d", CurrentThread().Irql);
    Kernel::State& k = K();
    PFILE_OBJECT watched;
    {
        std::lock_guard<std::mutex> guard(k.NotificationsLock);
        auto found = k.Registrations.find(reinterpret_cast<ULONG_PTR>(NotificationEntry));
        if (found == k.Registrations.end())
            VerifierFail("notification", "IoUnregisterPlugPlayNotification(%p): not registered",
                         NotificationEntry);
        watched = found->second.FileObject;
        if (k.LateNotifications)
            k.Departed.push_back(found->second);
        k.Registrations.erase(found);
    }
    if (watched)
        DropReference(k, watched);
    return STATUS_SUCCESS;
}

} // extern "C"
