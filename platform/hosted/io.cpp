// Hosted I/O manager: driver and device objects, requests with their stack
// locations, completion, cancellation and remove locks.
#include "platform/hosted/state.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace hosted {

namespace {

// Where a request is in its life, as far as the verifier needs to know.
enum class IrpPhase {
    WithCreator, // allocated or reclaimed by a completion routine; may be sent or freed
    WithDriver,  // sent and not yet completed
    Finished,    // completed to its originator; gone
};

struct IrpState {
    IrpPhase Phase = IrpPhase::WithCreator;
    bool BuiltRequest = false;  // from IoBuildDeviceIoControlRequest
    PVOID UserOutput = nullptr; // where a buffered answer goes back to
    ULONG UserOutputLength = 0;
    ULONG Method = METHOD_BUFFERED;
};

// The I/O manager's own record of a request sits just before it, outside the
// IRP the driver sees, which is laid out as the DDK lays it out. The header
// keeps the IRP as aligned as the allocation.
struct alignas(std::max_align_t) IrpHeader {
    IrpState* State;
};

IrpHeader* HeaderOf(PIRP irp)
{
    return reinterpret_cast<IrpHeader*>(irp) - 1;
}

IrpState& StateOf(PIRP irp)
{
    return *HeaderOf(irp)->State;
}

void DeleteIrp(PIRP irp)
{
    delete &StateOf(irp);
    delete[] reinterpret_cast<char*>(HeaderOf(irp));
}

// A request's fields as IoAllocateIrp (and IoReuseIrp) leave them.
void InitializeIrp(PIRP irp, CCHAR stackSize)
{
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Type = IO_TYPE_IRP;
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = CCHAR(stackSize + 1);
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
}

constexpr size_t QuarantinedIrps = 256;

void Quarantine(PIRP irp)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.FinishedLock);
    k.FinishedIrps.push_back(irp);
    if (k.FinishedIrps.size() > QuarantinedIrps) {
        DeleteIrp(k.FinishedIrps.front());
        k.FinishedIrps.pop_front();
    }
}

// Hands a finished built request back to its originator: output bytes, status
// block and event. A request that failed without pending tells its caller
// nothing more than IoCallDriver's return value: as NT's I/O completion does,
// the status block and the event are left untouched.
void FinishBuiltRequest(PIRP irp)
{
    IrpState& state = StateOf(irp);
    bool tell = !NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned;
    if (state.Method == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer) {
        if (irp->IoStatus.Information > state.UserOutputLength)
            VerifierFail("irp",
                         "request %p completed with Information %zu beyond its %u-byte output "
                         "buffer",
                         (void*)irp, size_t(irp->IoStatus.Information), state.UserOutputLength);
        if (state.UserOutput && NT_SUCCESS(irp->IoStatus.Status))
            std::memcpy(state.UserOutput, irp->AssociatedIrp.SystemBuffer,
                        irp->IoStatus.Information);
        delete[] static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    }
    if (irp->UserIosb && tell)
        *irp->UserIosb = irp->IoStatus;
    irp->AssociatedIrp.SystemBuffer = nullptr;
    PKEVENT event = tell ? irp->UserEvent : nullptr;
    Quarantine(irp);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

bool ShouldInvoke(const IO_STACK_LOCATION& location, PIRP irp)
{
    if (!location.CompletionRoutine)
        return false;
    if (irp->Cancel && (location.Control & SL_INVOKE_ON_CANCEL))
        return true;
    return NT_SUCCESS(irp->IoStatus.Status) ? (location.Control & SL_INVOKE_ON_SUCCESS) != 0
                                            : (location.Control & SL_INVOKE_ON_ERROR) != 0;
}

} // namespace

// What the I/O manager installs for every request kind a driver leaves unset.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT Kernel::CreateDriverObject(const char* name)
{
    auto* driver = new DRIVER_OBJECT{};
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    for (PDRIVER_DISPATCH& entry : driver->MajorFunction)
        entry = InvalidDeviceRequest;
    driver->DriverExtension = new DRIVER_EXTENSION{};
    driver->DriverExtension->DriverObject = driver;
    size_t length = std::strlen(name);
    driver->DriverName.Buffer = new WCHAR[length + 1];
    for (size_t i = 0; i <= length; ++i)
        driver->DriverName.Buffer[i] = WCHAR(UCHAR(name[i]));
    driver->DriverName.Length = USHORT(length * sizeof(WCHAR));
    driver->DriverName.MaximumLength = USHORT((length + 1) * sizeof(WCHAR));
    state_->Drivers.push_back(driver);
    return driver;
}

namespace {

NTSTATUS NTAPI FileRequestDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction, const Opener* opener)
{
    PDEVICE_OBJECT top = file->DeviceObject;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    PIRP irp;
    {
        NeighbourCalls ioManager;
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    next->FileObject = file;
    std::unique_ptr<CreateSecurity> security;
    if (opener) {
        security = std::make_unique<CreateSecurity>(*opener);
        security->Apply(irp);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, FileRequestDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS LoadDriver(PDRIVER_OBJECT driver, DRIVER_INITIALIZE* entry, PUNICODE_STRING registryPath)
{
    NTSTATUS status = OnKernelStack([&] { return entry(driver, registryPath); });
    if (NT_SUCCESS(status))
        FinishDriverEntry(driver);
    return status;
}

void FinishDriverEntry(PDRIVER_OBJECT driver)
{
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
}

void FreeFinishedIrps(Kernel::State& k)
{
    std::lock_guard<std::mutex> guard(k.FinishedLock);
    for (PIRP irp : k.FinishedIrps)
        DeleteIrp(irp);
    k.FinishedIrps.clear();
}

} // namespace hosted

using namespace hosted;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (StackSize < 1)
        VerifierFail("irp", "IoAllocateIrp with a stack size of %d", StackSize);
    if (InjectFault(FaultKind::Irp))
        return nullptr;
    size_t bytes = sizeof(IrpHeader) + IoSizeOfIrp(StackSize);
    auto* header = reinterpret_cast<IrpHeader*>(new char[bytes]());
    header->State = new IrpState;
    auto* irp = reinterpret_cast<PIRP>(header + 1);
    InitializeIrp(irp, StackSize);
    return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    if (StateOf(Irp).Phase == IrpPhase::WithDriver)
        VerifierFail("irp-freed-while-held",
                     "IoFreeIrp(%p) while a driver below still holds the request", (void*)Irp);
    DeleteIrp(Irp);
}

// Everything a previous trip left in the request goes, Cancel and
// PendingReturned included; only its size and its stack stay. A request sent
// again without this keeps them, as on the platform.
VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    if (StateOf(Irp).Phase == IrpPhase::WithDriver)
        VerifierFail("irp", "IoReuseIrp(%p) while a driver below still holds the request",
                     (void*)Irp);
    CCHAR stackSize = Irp->StackCount;
    std::memset(static_cast<void*>(Irp), 0, IoSizeOfIrp(stackSize));
    InitializeIrp(Irp, stackSize);
    Irp->IoStatus.Status = Iostatus;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "IoBuildDeviceIoControlRequest at IRQL %d", CurrentThread().Irql);
    if (InjectFault(FaultKind::Irp))
        return nullptr;
    if ((IoControlCode & 3) == METHOD_BUFFERED &&
        std::max(InputBufferLength, OutputBufferLength) > MaxBufferedTransfer)
        return nullptr;
    PIRP irp;
    {
        NeighbourCalls counted; // counted once, as this call
        irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    }
    IrpState& state = StateOf(irp);
    state.BuiltRequest = true;
    state.Method = IoControlCode & 3;
    state.UserOutput = OutputBuffer;
    state.UserOutputLength = OutputBufferLength;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (state.Method == METHOD_BUFFERED) {
        ULONG size = std::max(InputBufferLength, OutputBufferLength);
        if (size) {
            auto* buffer = new UCHAR[size];
            // Bytes the driver never writes stay recognisable.
            std::memset(buffer, 0xCD, size);
            if (InputBuffer)
                std::memcpy(buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
        }
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (CurrentThread().Irql > DISPATCH_LEVEL)
        VerifierFail("irql", "IoCallDriver at IRQL %d", CurrentThread().Irql);
    if (NeedsKernelStack())
        return OnKernelStack([&] { return IofCallDriver(DeviceObject, Irp); });
    if (!DeviceObject)
        VerifierFail("irp", "IoCallDriver(%p) with no device object", (void*)Irp);
    IrpState& state = StateOf(Irp);
    if (state.Phase == IrpPhase::Finished)
        VerifierFail("irp", "IoCallDriver(%p) on a request that was already completed", (void*)Irp);
    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0)
        VerifierFail("irp", "IoCallDriver(%p): the request has no stack location left for %p",
                     (void*)Irp, (void*)DeviceObject);
    state.Phase = IrpPhase::WithDriver;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;

    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    // One frame per IofCallDriver in progress on this thread.
    ThreadState& thread = CurrentThread();
    CallFrame frame{Irp, false, 0, thread.Calls};
    thread.Calls = &frame;
    NTSTATUS status;
    if (dispatch) {
        status = dispatch(DeviceObject, Irp);
    } else {
        // As the platform's default entry does for a request kind nobody serves.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    thread.Calls = frame.Outer;
    if (status != STATUS_PENDING) {
        if (!frame.Completed)
            VerifierFail("dispatch-status",
                         "dispatch routine for major function 0x%02x returned 0x%08X without "
                         "completing request %p",
                         location->MajorFunction, unsigned(status), (void*)Irp);
        if (frame.CompletedStatus != status)
            VerifierFail("dispatch-status",
                         "dispatch routine returned 0x%08X for a request completed with 0x%08X",
                         unsigned(status), unsigned(frame.CompletedStatus));
    }
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    if (CurrentThread().Irql > DISPATCH_LEVEL)
        VerifierFail("irql", "IoCompleteRequest at IRQL %d", CurrentThread().Irql);
    if (NeedsKernelStack())
        return OnKernelStack([&] { IofCompleteRequest(Irp, PriorityBoost); });
    IrpState& state = StateOf(Irp);
    if (state.Phase != IrpPhase::WithDriver)
        VerifierFail("irp-completed-twice",
                     "IoCompleteRequest(%p) on a request that is not outstanding", (void*)Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        VerifierFail("irp", "IoCompleteRequest(%p) with STATUS_PENDING", (void*)Irp);
    if (Irp->CancelRoutine)
        VerifierFail("irp", "IoCompleteRequest(%p) with its cancel routine still set", (void*)Irp);
    for (CallFrame* frame = CurrentThread().Calls; frame; frame = frame->Outer)
        if (frame->Irp == Irp && !frame->Completed) {
            frame->Completed = true;
            frame->CompletedStatus = Irp->IoStatus.Status;
        }

    // Unwind the stack locations upward, as the I/O manager does.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        IoSkipCurrentIrpStackLocation(Irp);
        bool invoke = ShouldInvoke(*location, Irp);
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        *location = IO_STACK_LOCATION{};
        if (invoke) {
            bool creatorsRoutine = Irp->CurrentLocation > Irp->StackCount;
            PDEVICE_OBJECT upper =
                creatorsRoutine ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            // The request's creator may reuse or free it in its own routine.
            if (creatorsRoutine && !state.BuiltRequest)
                state.Phase = IrpPhase::WithCreator;
            if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return; // the request may be gone: touch nothing
            if (creatorsRoutine && !state.BuiltRequest)
                VerifierFail("irp",
                             "completion routine of request %p from IoAllocateIrp let it "
                             "complete past its creator",
                             (void*)Irp);
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    state.Phase = IrpPhase::Finished;
    if (!state.BuiltRequest)
        VerifierFail("irp",
                     "request %p from IoAllocateIrp completed past its last completion routine",
                     (void*)Irp);
    FinishBuiltRequest(Irp);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    if (NeedsKernelStack())
        return OnKernelStack([&] { return IoCancelIrp(Irp); });
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return reinterpret_cast<PDRIVER_CANCEL>(
        __atomic_exchange_n(reinterpret_cast<PVOID*>(&Irp->CancelRoutine),
                            reinterpret_cast<PVOID>(CancelRoutine), __ATOMIC_SEQ_CST));
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    *next = *current;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}

// ---------------------------------------------------------------------------
// Remove locks: the count starts with one bias reference that release-and-wait
// drops, so the wait ends when every other holder has released.

} // extern "C"

namespace {

void AcquiredWithTag(PIO_REMOVE_LOCK lock, PVOID tag)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.RemoveLockTagsLock);
    k.RemoveLockTags[lock].insert(tag);
}

// A release must name a tag that an acquisition still holds.
void ReleasedWithTag(PIO_REMOVE_LOCK lock, PVOID tag, const char* call)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.RemoveLockTagsLock);
    std::multiset<PVOID>& held = k.RemoveLockTags[lock];
    auto found = held.find(tag);
    if (found == held.end())
        VerifierFail("remove-lock", "%s(%p) with tag %p, which no acquisition holds", call,
                     (void*)lock, tag);
    held.erase(found);
}

// The callers' RemlockSize says which lock they laid out: the free build's
// is the common block alone, the checked build's adds a tracking block the
// hosted kernel does not provide (it records tags beside the lock instead).
void CheckFreeBuildLock(ULONG remlockSize, const char* call)
{
    if (remlockSize != sizeof(IO_REMOVE_LOCK_COMMON_BLOCK))
        VerifierFail("remove-lock",
                     "%s with RemlockSize %u: only the free build's lock (%zu bytes) is provided",
                     call, remlockSize, sizeof(IO_REMOVE_LOCK_COMMON_BLOCK));
}

} // namespace

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(AllocateTag);
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    UNREFERENCED_PARAMETER(HighWatermark);
    CheckFreeBuildLock(RemlockSize, "IoInitializeRemoveLockEx");
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.RemoveLockTagsLock);
    k.RemoveLockTags[Lock].clear();
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    CheckFreeBuildLock(RemlockSize, "IoAcquireRemoveLockEx");
    IO_REMOVE_LOCK_COMMON_BLOCK& lock = RemoveLock->Common;
    InterlockedIncrement(&lock.IoCount);
    if (lock.Removed) {
        if (InterlockedDecrement(&lock.IoCount) == 0)
            KeSetEvent(&lock.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    AcquiredWithTag(RemoveLock, Tag);
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    CheckFreeBuildLock(RemlockSize, "IoReleaseRemoveLockEx");
    ReleasedWithTag(RemoveLock, Tag, "IoReleaseRemoveLock");
    IO_REMOVE_LOCK_COMMON_BLOCK& lock = RemoveLock->Common;
    LONG count = InterlockedDecrement(&lock.IoCount);
    if (count < 0)
        VerifierFail("remove-lock", "IoReleaseRemoveLock(%p) without a matching acquire",
                     (void*)RemoveLock);
    if (count == 0)
        KeSetEvent(&lock.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    CheckFreeBuildLock(RemlockSize, "IoReleaseRemoveLockAndWaitEx");
    ReleasedWithTag(RemoveLock, Tag, "IoReleaseRemoveLockAndWait");
    IO_REMOVE_LOCK_COMMON_BLOCK& lock = RemoveLock->Common;
    lock.Removed = TRUE;
    InterlockedDecrement(&lock.IoCount); // the caller's own acquire
    if (InterlockedDecrement(&lock.IoCount) > 0)
        KeWaitForSingleObject(&lock.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

} // extern "C"
