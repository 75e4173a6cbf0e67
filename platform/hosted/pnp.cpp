// The Plug and Play side of the hosted kernel: device stacks, power request
// passing, and device-interface arrival and removal with their watchers.
#include "platform/hosted/state.h"

#include <algorithm>
#include <cstring>

namespace hosted {
namespace {

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

} // namespace hosted

using namespace hosted;

extern "C" {

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    if (!TargetDevice)
        return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
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

} // extern "C"
