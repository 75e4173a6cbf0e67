// The whole system around the driver in the hosted kernel: the driver loaded
// through its entry, a Plug and Play bus device under the mouse-port device,
// a mouse class driver above it, serial ports and companion interfaces.
// vornsim and the end-to-end tests drive the driver through it.
#pragma once

#include "platform/hosted/hosted.h"
#include "platform/hosted/image.h"
#include "sim/serial_port.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// The driver the system runs: its entry, and the two of its internals the
// scenario runner reads, the control device and, at teardown, its
// destruction (the driver has no unload routine to do it).
struct DriverUnderTest {
    DRIVER_INITIALIZE* Entry = nullptr;
    std::function<PDEVICE_OBJECT()> ControlDevice;
    std::function<NTSTATUS(PDEVICE_OBJECT)> DestroyControlDevice;
};
// The driver linked into this program.
DriverUnderTest LinkedDriver();
// The driver of a loaded image, its internals found by their COFF symbols;
// false with a one-line reason when the image lacks one.
bool ImageDriver(const hosted::DriverImage& image, DriverUnderTest* driver, std::string* error);
// A driver image loaded from a file, and the driver it gives the system.
struct LoadedImage {
    std::unique_ptr<hosted::DriverImage> Image;
    DriverUnderTest Driver;
};
// Loads the image at path and finds its internals; false with one line that
// names the image and what is wrong with it.
bool LoadImageDriver(const std::string& path, LoadedImage* loaded, std::string* error);

struct PnpAnswer {
    NTSTATUS Status;
    bool HasCapabilities = false;
    bool SurpriseRemovalOk = false;
};

struct AttributesAnswer {
    NTSTATUS Status;
    ULONG_PTR Information;
    MOUSE_ATTRIBUTES Attributes;
};

class System {
public:
    explicit System(hosted::Kernel& kernel, DriverUnderTest driver = LinkedDriver());
    // Removes what is left the way the system would, then checks nothing leaks.
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    static const char16_t* RegistryPath();
    PDRIVER_OBJECT Driver() const { return driver_; }
    bool Loaded() const { return loaded_; }
    // The driver's control device, or null before it exists and after it is destroyed.
    PDEVICE_OBJECT ControlDevice() const { return code_.ControlDevice(); }

    // Driver entry with the service key ...\Services\VORN2000.
    NTSTATUS Load();
    // AddDevice on a new physical device object.
    NTSTATUS AddDevice();
    PDEVICE_OBJECT MousePort() const { return mousePort_; }
    PnpAnswer Pnp(UCHAR minor);
    NTSTATUS Power();
    // The mouse-port dispatch routine's own result for the last Pnp or Power.
    NTSTATUS LastDispatchStatus() const { return lastDispatch_; }
    // The bus device fails the next start request with `status`.
    void FailNextStart(NTSTATUS status) { startFailure_ = status; }
    // The bus device leaves the next power request pending and completes it
    // from a timer `ms` milliseconds of hosted time later.
    void DelayNextPower(LONGLONG ms) { powerDelayMs_ = ms; }
    // Minor functions of the PnP requests that reached the bus device.
    const std::vector<UCHAR>& BusPnpLog() const { return busPnp_; }
    int BusCloses() const { return busCloses_; }
    int BusCreates() const { return busCreates_; }

    // A create as a program of `user` sends it, without a file object.
    NTSTATUS Open(PDEVICE_OBJECT device, hosted::Account user = hosted::Account::Administrator);
    NTSTATUS Close(PDEVICE_OBJECT device);
    NTSTATUS Read(PDEVICE_OBJECT device);

    // The mouse class driver.
    NTSTATUS ClassConnect(ULONG length = sizeof(CONNECT_DATA));
    NTSTATUS ClassRequest(ULONG code); // enable, disable, disconnect
    AttributesAnswer ClassAttributes(ULONG length = sizeof(MOUSE_ATTRIBUTES));
    // At most this many records per callback (-1: all).
    void SetClassTakeLimit(int limit) { takeLimit_ = limit; }
    // Every record taken, as it is taken.
    void SetRecordSink(std::function<void(const MOUSE_INPUT_DATA&)> sink)
    {
        sink_ = std::move(sink);
    }
    std::vector<MOUSE_INPUT_DATA> TakeRecords();
    ULONGLONG RecordsTaken() const { return recordsTaken_; }

    SerialPort& AddPort(const std::string& name);
    // The port goes away and withdraws its COM port interface.
    void RemovePort(const std::string& name);
    SerialPort* FindPort(const std::string& name);
    // An interface of the companion class with a port behind it at `link`.
    SerialPort& AddInterface(const std::string& link);
    void RemoveInterface(const std::string& link);

private:
    SerialPort& AddPortDevice(const std::string& name);
    static NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CompleteDelayedPower(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID NTAPI ClassService(PDEVICE_OBJECT classDevice, PMOUSE_INPUT_DATA start,
                                   PMOUSE_INPUT_DATA end, PULONG consumed);
    NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp);
    NTSTATUS SimpleRequest(PDEVICE_OBJECT device, UCHAR major);
    void TearDown();

    DriverUnderTest code_;
    PDRIVER_OBJECT driver_;
    PDRIVER_OBJECT busDriver_;
    PDRIVER_OBJECT classDriver_;
    PDRIVER_OBJECT serialDriver_;
    PDEVICE_OBJECT busDevice_ = nullptr;
    PDEVICE_OBJECT mousePort_ = nullptr;
    PDEVICE_OBJECT classDevice_ = nullptr;
    bool loaded_ = false;
    bool removed_ = false;
    std::vector<UCHAR> busPnp_;
    int busCloses_ = 0;
    int busCreates_ = 0;
    int takeLimit_ = -1;
    NTSTATUS lastDispatch_ = STATUS_SUCCESS;
    NTSTATUS startFailure_ = STATUS_SUCCESS;
    LONGLONG powerDelayMs_ = 0;
    PIRP delayedPower_ = nullptr;
    KTIMER powerTimer_;
    KDPC powerDpc_;
    std::function<void(const MOUSE_INPUT_DATA&)> sink_;
    std::vector<MOUSE_INPUT_DATA> records_;
    ULONGLONG recordsTaken_ = 0;
    std::vector<std::unique_ptr<SerialPort>> ports_;
    std::vector<std::string> interfaces_;
};

} // namespace sim
