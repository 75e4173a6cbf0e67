#include "sim/system.h"

#include "sim/control_transport.h"

#include "control/control.h"
#include "driver/driver.h"
#include "serial/serial.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

template <typename T> T* OwnerOf(PDEVICE_OBJECT device)
{
    return *static_cast<T**>(device->DeviceExtension);
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// The PnP manager's and the class driver's own requests: not the driver's
// calls, so never failed by fault injection.
PIRP NeighbourIrp(CCHAR stackSize)
{
    hosted::NeighbourCalls neighbour;
    return IoAllocateIrp(stackSize, FALSE);
}

NTSTATUS Finish(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

const char16_t* System::RegistryPath()
{
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VORN2000";
}

DriverUnderTest LinkedDriver()
{
    DriverUnderTest driver;
    driver.Entry = DriverEntry;
    driver.ControlDevice = [] { return ControlDeviceObject; };
    driver.DestroyControlDevice = DestroyControlDevice;
    return driver;
}

namespace {

// The image's own C++ routine, in its own compiler's convention.
#if defined(__x86_64__)
using ImageDestroyRoutine = NTSTATUS __attribute__((ms_abi)) (*)(PDEVICE_OBJECT);
#else
using ImageDestroyRoutine = NTSTATUS (*)(PDEVICE_OBJECT);
#endif

// i686 COFF names carry a leading underscore.
std::string CoffName(const char* name)
{
    return sizeof(void*) == 4 ? std::string("_") + name : std::string(name);
}

} // namespace

bool ImageDriver(const hosted::DriverImage& image, DriverUnderTest* driver, std::string* error)
{
    auto* control = static_cast<PDEVICE_OBJECT*>(image.Symbol(CoffName("ControlDeviceObject")));
    auto destroy = reinterpret_cast<ImageDestroyRoutine>(
        image.Symbol(CoffName("_Z20DestroyControlDeviceP14_DEVICE_OBJECT")));
    if (!control || !destroy) {
        *error = std::string("the image has no symbol ") +
                 (control ? "DestroyControlDevice" : "ControlDeviceObject");
        return false;
    }
    driver->Entry = image.Entry();
    driver->ControlDevice = [control] { return *control; };
    driver->DestroyControlDevice = [destroy](PDEVICE_OBJECT device) { return destroy(device); };
    return true;
}

bool LoadImageDriver(const std::string& path, LoadedImage* loaded, std::string* error)
{
    loaded->Image = hosted::DriverImage::LoadFile(path, error);
    if (!loaded->Image)
        return false; // the loader's line names the image
    if (!ImageDriver(*loaded->Image, &loaded->Driver, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

System::System(hosted::Kernel& kernel, DriverUnderTest driver)
    : code_(std::move(driver)), driver_(kernel.CreateDriverObject("\\Driver\\VORN2000")),
      busDriver_(kernel.CreateDriverObject("\\Driver\\PnpBus")),
      classDriver_(kernel.CreateDriverObject("\\Driver\\Mouclass")),
      serialDriver_(kernel.CreateDriverObject("\\Driver\\Serial"))
{
    for (PDRIVER_DISPATCH& entry : busDriver_->MajorFunction)
        entry = BusDispatch;
    hosted::NeighbourCalls classDriverCalls;
    IoCreateDevice(classDriver_, sizeof(System*), nullptr, FILE_DEVICE_MOUSE, 0, FALSE,
                   &classDevice_);
    *static_cast<System**>(classDevice_->DeviceExtension) = this;
    KeInitializeTimer(&powerTimer_);
    KeInitializeDpc(&powerDpc_, CompleteDelayedPower, this);
}

System::~System()
{
    TearDown();
}

void System::TearDown()
{
    if (mousePort_ && !removed_)
        Pnp(IRP_MN_REMOVE_DEVICE);
    // A removal only retires the control device: the driver, which has no
    // unload routine, keeps it until the system goes down, as here.
    if (loaded_ && ControlDevice())
        code_.DestroyControlDevice(ControlDevice());
    for (const std::string& link : interfaces_)
        hosted::RemoveDeviceInterface(CompanionInterfaceClass, Wide(link));
    interfaces_.clear();
    ports_.clear();
    KeCancelTimer(&powerTimer_);
    KeRemoveQueueDpc(&powerDpc_);
    if (classDevice_)
        IoDeleteDevice(classDevice_);
    if (busDevice_)
        IoDeleteDevice(busDevice_);
    classDevice_ = busDevice_ = nullptr;
}

NTSTATUS System::Load()
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, RegistryPath());
    loaded_ = true;
    return hosted::LoadDriver(driver_, code_.Entry, &path);
}

NTSTATUS System::AddDevice()
{
    if (!busDevice_) {
        hosted::NeighbourCalls busDriverCalls;
        IoCreateDevice(busDriver_, sizeof(System*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                       &busDevice_);
        *static_cast<System**>(busDevice_->DeviceExtension) = this;
        busDevice_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    NTSTATUS status = hosted::OnKernelStack(
        [this] { return driver_->DriverExtension->AddDevice(driver_, busDevice_); });
    if (NT_SUCCESS(status)) {
        mousePort_ = busDevice_->AttachedDevice;
        removed_ = false;
    }
    return status;
}

NTSTATUS System::SendAndWait(PDEVICE_OBJECT target, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    lastDispatch_ = IoCallDriver(target, irp);
    if (lastDispatch_ == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

PnpAnswer System::Pnp(UCHAR minor)
{
    PnpAnswer answer{STATUS_NO_SUCH_DEVICE};
    if (!mousePort_ || removed_)
        return answer;
    PIRP irp = NeighbourIrp(mousePort_->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED; // as the PnP manager starts every request
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    if (minor == IRP_MN_QUERY_CAPABILITIES)
        next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    answer.Status = SendAndWait(mousePort_, irp);
    if (minor == IRP_MN_QUERY_CAPABILITIES) {
        answer.HasCapabilities = true;
        answer.SurpriseRemovalOk = capabilities.SurpriseRemovalOK != 0;
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        removed_ = true;
        mousePort_ = nullptr;
    }
    return answer;
}

NTSTATUS System::Power()
{
    if (!mousePort_)
        return STATUS_NO_SUCH_DEVICE;
    PIRP irp = NeighbourIrp(mousePort_->StackSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_QUERY_POWER;
    return SendAndWait(mousePort_, irp);
}

NTSTATUS System::SimpleRequest(PDEVICE_OBJECT device, UCHAR major)
{
    if (!device)
        return STATUS_NO_SUCH_DEVICE;
    PIRP irp = NeighbourIrp(device->StackSize);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    return SendAndWait(device, irp);
}

NTSTATUS System::Open(PDEVICE_OBJECT device, hosted::Account user)
{
    if (!device)
        return STATUS_NO_SUCH_DEVICE;
    hosted::Opener opener;
    opener.User = user;
    hosted::CreateSecurity security(opener);
    PIRP irp = NeighbourIrp(device->StackSize);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    security.Apply(irp);
    return SendAndWait(device, irp);
}

NTSTATUS System::Close(PDEVICE_OBJECT device)
{
    return SimpleRequest(device, IRP_MJ_CLOSE);
}

NTSTATUS System::Read(PDEVICE_OBJECT device)
{
    return SimpleRequest(device, IRP_MJ_READ);
}

NTSTATUS NTAPI System::BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    System* system = OwnerOf<System>(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        system->busPnp_.push_back(stack->MinorFunction);
        switch (stack->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->SurpriseRemovalOK = 1;
            caps->Removable = 1;
            caps->UniqueID = 1;
            return Finish(irp, STATUS_SUCCESS);
        }
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = system->startFailure_;
            system->startFailure_ = STATUS_SUCCESS;
            return Finish(irp, status);
        }
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return Finish(irp, STATUS_SUCCESS);
        default:
            return Finish(irp, irp->IoStatus.Status);
        }
    case IRP_MJ_POWER:
        if (system->powerDelayMs_ > 0) {
            IoMarkIrpPending(irp);
            system->delayedPower_ = irp;
            LARGE_INTEGER due;
            due.QuadPart = -system->powerDelayMs_ * hosted::TicksPerMs;
            system->powerDelayMs_ = 0;
            KeSetTimer(&system->powerTimer_, due, &system->powerDpc_);
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(irp);
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MJ_CREATE:
        ++system->busCreates_;
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        ++system->busCloses_;
        return Finish(irp, STATUS_SUCCESS);
    default:
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

VOID NTAPI System::CompleteDelayedPower(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* system = static_cast<System*>(context);
    PIRP irp = system->delayedPower_;
    system->delayedPower_ = nullptr;
    PoStartNextPowerIrp(irp);
    Finish(irp, STATUS_SUCCESS);
}

NTSTATUS System::ClassConnect(ULONG length)
{
    if (!mousePort_)
        return STATUS_NO_SUCH_DEVICE;
    CONNECT_DATA connect{classDevice_, reinterpret_cast<PVOID>(&ClassService)};
    return SendBuiltRequest(mousePort_, IOCTL_INTERNAL_MOUSE_CONNECT, &connect, length, nullptr, 0,
                            true)
        .Status.Status;
}

NTSTATUS System::ClassRequest(ULONG code)
{
    if (!mousePort_)
        return STATUS_NO_SUCH_DEVICE;
    return SendBuiltRequest(mousePort_, code, nullptr, 0, nullptr, 0, true).Status.Status;
}

AttributesAnswer System::ClassAttributes(ULONG length)
{
    AttributesAnswer answer{STATUS_NO_SUCH_DEVICE, 0, {}};
    if (!mousePort_)
        return answer;
    std::vector<UCHAR> output(length);
    IO_STATUS_BLOCK status =
        SendBuiltRequest(mousePort_, IOCTL_MOUSE_QUERY_ATTRIBUTES, nullptr, 0,
                         output.empty() ? nullptr : output.data(), length, true)
            .Status;
    answer.Status = status.Status;
    answer.Information = status.Information;
    if (status.Information >= sizeof(MOUSE_ATTRIBUTES))
        std::memcpy(&answer.Attributes, output.data(), sizeof(MOUSE_ATTRIBUTES));
    return answer;
}

std::vector<MOUSE_INPUT_DATA> System::TakeRecords()
{
    std::vector<MOUSE_INPUT_DATA> taken;
    taken.swap(records_);
    return taken;
}

VOID NTAPI System::ClassService(PDEVICE_OBJECT classDevice, PMOUSE_INPUT_DATA start,
                                PMOUSE_INPUT_DATA end, PULONG consumed)
{
    System* system = OwnerOf<System>(classDevice);
    ULONG offered = ULONG(end - start);
    ULONG take =
        system->takeLimit_ < 0 ? offered : std::min<ULONG>(offered, ULONG(system->takeLimit_));
    for (ULONG i = 0; i < take; ++i) {
        if (system->sink_)
            system->sink_(start[i]);
        else
            system->records_.push_back(start[i]);
    }
    system->recordsTaken_ += take;
    *consumed = take;
}

// A serial port announces its COM port interface, as a serial port driver
// does once its \DosDevices name is there.
SerialPort& System::AddPort(const std::string& name)
{
    SerialPort& port = AddPortDevice(name);
    hosted::AddDeviceInterface(ComPortInterfaceClass, Wide(name));
    return port;
}

SerialPort& System::AddPortDevice(const std::string& name)
{
    ports_.push_back(std::make_unique<SerialPort>(serialDriver_, name, int(ports_.size())));
    return *ports_.back();
}

void System::RemovePort(const std::string& name)
{
    SerialPort* port = FindPort(name);
    if (!port)
        return;
    port->Remove();
    if (!port->IsInterface())
        hosted::RemoveDeviceInterface(ComPortInterfaceClass, Wide(name));
}

SerialPort* System::FindPort(const std::string& name)
{
    for (auto& port : ports_)
        if (port->Name() == name && !port->Removed())
            return port.get();
    return nullptr;
}

SerialPort& System::AddInterface(const std::string& link)
{
    SerialPort& port = AddPortDevice(link);
    port.MarkInterface();
    interfaces_.push_back(link);
    hosted::AddDeviceInterface(CompanionInterfaceClass, Wide(link));
    return port;
}

void System::RemoveInterface(const std::string& link)
{
    if (SerialPort* port = FindPort(link))
        port->Remove();
    for (auto it = interfaces_.begin(); it != interfaces_.end(); ++it)
        if (*it == link) {
            interfaces_.erase(it);
            hosted::RemoveDeviceInterface(CompanionInterfaceClass, Wide(link));
            break;
        }
}

} // namespace sim
