#include "sim/serial_port.h"

#include <cstring>

namespace sim {

namespace {

constexpr ULONG AnyByteInterval = 0xFFFFFFFF;
constexpr size_t MaximumRead = 5;

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

UNICODE_STRING View(std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = USHORT(text.size() * sizeof(char16_t));
    s.MaximumLength = s.Length;
    return s;
}

SerialPort* PortOf(PDEVICE_OBJECT device)
{
    return *static_cast<SerialPort**>(device->DeviceExtension);
}

class PortLock {
public:
    explicit PortLock(PKSPIN_LOCK lock) : lock_(lock) { KeAcquireSpinLock(lock_, &old_); }
    ~PortLock() { KeReleaseSpinLock(lock_, old_); }

private:
    PKSPIN_LOCK lock_;
    KIRQL old_;
};

} // namespace

std::vector<UCHAR> TouchController::OnWrite(const UCHAR* bytes, size_t count)
{
    Commands.insert(Commands.end(), bytes, bytes + count);
    pending_.insert(pending_.end(), bytes, bytes + count);
    std::vector<UCHAR> answer;
    // Commands are 0x0A 0x02 'C' index; anything else is skipped byte by byte.
    while (pending_.size() >= 4) {
        if (pending_[0] != 0x0A || pending_[1] != 0x02 || pending_[2] != 0x43) {
            pending_.erase(pending_.begin());
            continue;
        }
        UCHAR index = pending_[3];
        pending_.erase(pending_.begin(), pending_.begin() + 4);
        if (AnswersLeft == 0)
            continue;
        if (AnswersLeft > 0)
            --AnswersLeft;
        USHORT word = index < 64 ? Memory[index] : 0;
        answer.insert(answer.end(),
                      {0x0A, 0x04, 0x43, index, UCHAR(word & 0xFF), UCHAR(word >> 8)});
    }
    return answer;
}

SerialPort::SerialPort(PDRIVER_OBJECT serialDriver, const std::string& name, int index)
    : name_(name), deviceName_(u"\\Device\\Serial" + Wide(std::to_string(index))),
      linkName_(name.rfind('\\', 0) == 0 ? Wide(name) : u"\\DosDevices\\" + Wide(name))
{
    hosted::NeighbourCalls serialDriverCalls;
    UNICODE_STRING deviceName = View(deviceName_);
    IoCreateDevice(serialDriver, sizeof(SerialPort*), &deviceName, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                   &device_);
    *static_cast<SerialPort**>(device_->DeviceExtension) = this;
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link = View(linkName_);
    linkPresent_ = NT_SUCCESS(IoCreateSymbolicLink(&link, &deviceName));
    KeInitializeSpinLock(&lock_);
    KeInitializeTimer(&readTimer_);
    KeInitializeDpc(&readTimeoutDpc_, ReadTimeout, this);
    serialDriver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    serialDriver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    serialDriver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    serialDriver->MajorFunction[IRP_MJ_READ] = Dispatch;
    serialDriver->MajorFunction[IRP_MJ_WRITE] = Dispatch;
    serialDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
}

SerialPort::~SerialPort()
{
    if (!removed_)
        Remove();
    KeCancelTimer(&readTimer_);
    KeRemoveQueueDpc(&readTimeoutDpc_);
}

NTSTATUS NTAPI SerialPort::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    SerialPort* port = PortOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_READ:
        return port->Read(irp);
    case IRP_MJ_WRITE:
        return port->Write(irp);
    case IRP_MJ_DEVICE_CONTROL:
        return port->Control(irp);
    case IRP_MJ_CREATE:
        ++port->opens_;
        if (port->OnOpen)
            port->OnOpen();
        port->Complete(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    case IRP_MJ_CLEANUP:
        ++port->cleanups_;
        port->Cleanup();
        port->Complete(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    case IRP_MJ_CLOSE:
        ++port->closes_;
        port->Complete(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    default:
        port->Complete(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
}

void SerialPort::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Reads complete at DISPATCH_LEVEL, as a port driver's DPC would complete them.
void SerialPort::CompleteRead(PIRP irp, NTSTATUS status, ULONG bytes)
{
    {
        PortLock lock(&lock_);
        reads_.push_back(ReadCompletionRecord{status, bytes});
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(irp, status, bytes);
    KeLowerIrql(old);
}

ULONG SerialPort::FillLocked(PIRP irp)
{
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG wanted = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG taken = 0;
    while (taken < wanted && taken < MaximumRead && !rx_.empty()) {
        RxByte next = rx_.front();
        if (next.AloneInRead && taken > 0)
            break;
        buffer[taken++] = next.Byte;
        rx_.pop_front();
        if (next.AloneInRead)
            break;
    }
    return taken;
}

// The waiting read, unless its cancel routine already owns it.
PIRP SerialPort::TakePendingReadLocked()
{
    PIRP irp = pendingRead_;
    if (!irp || !IoSetCancelRoutine(irp, nullptr))
        return nullptr;
    pendingRead_ = nullptr;
    KeCancelTimer(&readTimer_);
    return irp;
}

NTSTATUS SerialPort::Read(PIRP irp)
{
    NTSTATUS status;
    ULONG bytes = 0;
    {
        PortLock lock(&lock_);
        ++readsReceived_;
        if (removed_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (failReadsLeft_ > 0) {
            --failReadsLeft_;
            status = failReadStatus_;
        } else if (!rx_.empty()) {
            bytes = FillLocked(irp);
            status = STATUS_SUCCESS;
        } else if (pendingRead_) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelRead);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                status = STATUS_CANCELLED;
            } else {
                pendingRead_ = irp;
                if (readTimeoutMs_ != 0) {
                    LARGE_INTEGER due;
                    due.QuadPart = -LONGLONG(readTimeoutMs_) * hosted::TicksPerMs;
                    KeSetTimer(&readTimer_, due, &readTimeoutDpc_);
                }
                return STATUS_PENDING;
            }
            reads_.push_back(ReadCompletionRecord{status, 0});
            Complete(irp, status, 0);
            return STATUS_PENDING;
        }
        reads_.push_back(ReadCompletionRecord{status, bytes});
    }
    Complete(irp, status, bytes);
    return status;
}

VOID NTAPI SerialPort::CancelRead(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SerialPort* port = PortOf(device);
    {
        PortLock lock(&port->lock_);
        if (port->pendingRead_ == irp) {
            port->pendingRead_ = nullptr;
            KeCancelTimer(&port->readTimer_);
        }
    }
    port->CompleteRead(irp, STATUS_CANCELLED, 0);
}

VOID NTAPI SerialPort::ReadTimeout(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* port = static_cast<SerialPort*>(context);
    PIRP irp;
    {
        PortLock lock(&port->lock_);
        irp = port->TakePendingReadLocked();
    }
    if (irp)
        port->CompleteRead(irp, STATUS_TIMEOUT, 0);
}

NTSTATUS SerialPort::Write(PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    std::vector<UCHAR> bytes(buffer, buffer + length);
    NTSTATUS failed = STATUS_SUCCESS;
    {
        PortLock lock(&lock_);
        if (removed_) {
            Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        log_.push_back(PortRequest{0, bytes});
        if (failNextWrite_) {
            failNextWrite_ = false;
            failed = failWriteStatus_;
        } else if (holdWrites_) {
            IoMarkIrpPending(irp);
            heldWrites_.push_back(irp);
            return STATUS_PENDING;
        }
    }
    if (failed != STATUS_SUCCESS) {
        Complete(irp, failed, 0);
        return failed;
    }
    Complete(irp, STATUS_SUCCESS, length);
    AnswerWrite(bytes); // the answer comes after the write has completed
    return STATUS_SUCCESS;
}

void SerialPort::AnswerWrite(const std::vector<UCHAR>& bytes)
{
    std::vector<UCHAR> answer = Controller.OnWrite(bytes.data(), bytes.size());
    if (!answer.empty())
        Send(answer);
}

NTSTATUS SerialPort::Control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    auto* input = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = STATUS_SUCCESS;
    {
        PortLock lock(&lock_);
        if (removed_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            log_.push_back(PortRequest{code, std::vector<UCHAR>(input, input + length)});
            if (code == IOCTL_SERIAL_SET_TIMEOUTS && length >= sizeof(SERIAL_TIMEOUTS)) {
                SERIAL_TIMEOUTS timeouts;
                std::memcpy(&timeouts, input, sizeof timeouts);
                bool returnOnAnyByte = timeouts.ReadIntervalTimeout == AnyByteInterval &&
                                       timeouts.ReadTotalTimeoutMultiplier == AnyByteInterval;
                readTimeoutMs_ = returnOnAnyByte ? timeouts.ReadTotalTimeoutConstant : 0;
            }
        }
    }
    Complete(irp, status, 0);
    return status;
}

void SerialPort::Enqueue(const std::vector<UCHAR>& bytes, bool alone)
{
    PIRP irp;
    ULONG count = 0;
    {
        PortLock lock(&lock_);
        for (UCHAR b : bytes)
            rx_.push_back(RxByte{b, alone});
        irp = TakePendingReadLocked();
        if (irp)
            count = FillLocked(irp);
    }
    if (irp)
        CompleteRead(irp, STATUS_SUCCESS, count);
}

void SerialPort::Send(const std::vector<UCHAR>& bytes)
{
    Enqueue(bytes, false);
}

void SerialPort::Trickle(const std::vector<UCHAR>& bytes)
{
    Enqueue(bytes, true);
}

void SerialPort::SendTouch(ULONG x, ULONG y, bool touching)
{
    Send({UCHAR(touching ? 0x81 : 0x80), UCHAR((x >> 7) & 0x7F), UCHAR(x & 0x7F),
          UCHAR((y >> 7) & 0x7F), UCHAR(y & 0x7F)});
}

namespace {

// FNV-1a of the port's name: each port jitters on its own, repeatably.
uint32_t PanelSeed(const std::string& name)
{
    uint32_t hash = 2166136261u;
    for (char c : name)
        hash = (hash ^ uint8_t(c)) * 16777619u;
    return hash;
}

} // namespace

void SerialPort::SetPanel(const Panel& panel)
{
    panel_ = panel;
    panelRandom_.seed(PanelSeed(name_));
}

void SerialPort::Tap(int32_t sx, int32_t sy, int reports)
{
    for (int i = 0; i < reports; ++i) {
        RawTouch raw = PanelRaw(panel_, sx, sy, panelRandom_);
        SendTouch(ULONG(raw.X), ULONG(raw.Y), true);
    }
    RawTouch raw = PanelRaw(panel_, sx, sy, panelRandom_);
    SendTouch(ULONG(raw.X), ULONG(raw.Y), false);
}

void SerialPort::FailNextRead(NTSTATUS status)
{
    FailReads(status, 1);
}

void SerialPort::FailReads(NTSTATUS status, ULONG count)
{
    PIRP irp = nullptr;
    {
        PortLock lock(&lock_);
        failReadStatus_ = status;
        failReadsLeft_ = count;
        if (count > 0) {
            irp = TakePendingReadLocked();
            if (irp)
                --failReadsLeft_;
        }
    }
    if (irp)
        CompleteRead(irp, status, 0);
}

ULONGLONG SerialPort::ReadsReceived()
{
    PortLock lock(&lock_);
    return readsReceived_;
}

void SerialPort::FailNextWrite(NTSTATUS status)
{
    PortLock lock(&lock_);
    failNextWrite_ = true;
    failWriteStatus_ = status;
}

void SerialPort::TimeOutWaitingReadWith(const std::vector<UCHAR>& bytes)
{
    PIRP irp;
    ULONG count = 0;
    {
        PortLock lock(&lock_);
        irp = TakePendingReadLocked();
        if (!irp)
            return;
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        ULONG wanted = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        for (; count < bytes.size() && count < wanted && count < MaximumRead; ++count)
            buffer[count] = bytes[count];
    }
    CompleteRead(irp, STATUS_TIMEOUT, count);
}

void SerialPort::HoldWrites(bool hold)
{
    PortLock lock(&lock_);
    holdWrites_ = hold;
}

void SerialPort::ReleaseHeldWrites()
{
    std::vector<PIRP> held;
    {
        PortLock lock(&lock_);
        held.swap(heldWrites_);
    }
    for (PIRP irp : held) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        std::vector<UCHAR> bytes(buffer, buffer + stack->Parameters.Write.Length);
        Complete(irp, STATUS_SUCCESS, bytes.size());
        AnswerWrite(bytes);
    }
}

// As the platform's serial driver does when its (exclusive) port's last
// handle closes: every read and write it still holds completes cancelled.
void SerialPort::Cleanup()
{
    PIRP read;
    std::vector<PIRP> held;
    {
        PortLock lock(&lock_);
        read = TakePendingReadLocked();
        held.swap(heldWrites_);
    }
    if (read)
        CompleteRead(read, STATUS_CANCELLED, 0);
    for (PIRP irp : held)
        Complete(irp, STATUS_CANCELLED, 0);
}

void SerialPort::Remove()
{
    PIRP read;
    std::vector<PIRP> held;
    {
        PortLock lock(&lock_);
        removed_ = true;
        read = TakePendingReadLocked();
        held.swap(heldWrites_);
    }
    if (read)
        CompleteRead(read, STATUS_DEVICE_NOT_CONNECTED, 0);
    for (PIRP irp : held)
        Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    if (linkPresent_) {
        UNICODE_STRING link = View(linkName_);
        IoDeleteSymbolicLink(&link);
        linkPresent_ = false;
    }
    hosted::NotifyTargetDeviceChange(device_, GUID_TARGET_DEVICE_QUERY_REMOVE);
    hosted::NotifyTargetDeviceChange(device_, GUID_TARGET_DEVICE_REMOVE_COMPLETE);
    // Whoever still holds a reference keeps the object until they drop it.
    IoDeleteDevice(device_);
}

std::vector<PortRequest> SerialPort::TakeLog()
{
    PortLock lock(&lock_);
    std::vector<PortRequest> log;
    log.swap(log_);
    return log;
}

std::vector<ReadCompletionRecord> SerialPort::TakeReadCompletions()
{
    PortLock lock(&lock_);
    std::vector<ReadCompletionRecord> reads;
    reads.swap(reads_);
    return reads;
}

size_t SerialPort::PendingBytes()
{
    PortLock lock(&lock_);
    return rx_.size();
}

bool SerialPort::ReadPending()
{
    PortLock lock(&lock_);
    return pendingRead_ != nullptr;
}

} // namespace sim
