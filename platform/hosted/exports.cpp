// The hosted kernel's export table: every routine and variable a driver
// image imports, under the module NT exports it from. A routine's entry has
// Windows' calling convention (nt.h); a variable's entry is its address, which
// the NT loader puts in the image's import slot, so the image reaches the
// variable through the slot as the DDK's declaration says.
#include "platform/hosted/exports.h"

#include "platform/hosted/nt.h"

#include <cstring>
#include <strings.h>

namespace hosted {

namespace {

// memcpy and memset as ntoskrnl exports them: C routines of Windows'
// convention (the Microsoft x64 one on x86_64).
void* CDECL ImageMemcpy(void* destination, const void* source, SIZE_T length)
{
    return std::memcpy(destination, source, length);
}

void* CDECL ImageMemset(void* destination, int fill, SIZE_T length)
{
    return std::memset(destination, fill, length);
}

constexpr char Ntoskrnl[] = "ntoskrnl.exe";
constexpr char Hal[] = "hal.dll";

#define ROUTINE(module, name)                                                                      \
    {                                                                                              \
        module, #name, reinterpret_cast<void*>(&name)                                              \
    }
#define VARIABLE(module, name)                                                                     \
    {                                                                                              \
        module, #name, static_cast<void*>(&name)                                                   \
    }

const KernelExport Exports[] = {
    // Executive: pool and the debugger
    ROUTINE(Ntoskrnl, DbgPrint),
    ROUTINE(Ntoskrnl, ExAllocatePoolWithTag),
    ROUTINE(Ntoskrnl, ExFreePool),
    // I/O manager
    ROUTINE(Ntoskrnl, IoAcquireRemoveLockEx),
    ROUTINE(Ntoskrnl, IoAllocateIrp),
    ROUTINE(Ntoskrnl, IoAllocateWorkItem),
    ROUTINE(Ntoskrnl, IoAttachDeviceToDeviceStack),
    ROUTINE(Ntoskrnl, IoBuildDeviceIoControlRequest),
    ROUTINE(Ntoskrnl, IoCancelIrp),
    ROUTINE(Ntoskrnl, IoCreateDevice),
    ROUTINE(Ntoskrnl, IoCreateSymbolicLink),
    ROUTINE(Ntoskrnl, IoDeleteDevice),
    ROUTINE(Ntoskrnl, IoDeleteSymbolicLink),
    ROUTINE(Ntoskrnl, IoDetachDevice),
    ROUTINE(Ntoskrnl, IoFreeIrp),
    ROUTINE(Ntoskrnl, IoFreeWorkItem),
    ROUTINE(Ntoskrnl, IoGetCurrentProcess),
    ROUTINE(Ntoskrnl, IoGetDeviceObjectPointer),
    ROUTINE(Ntoskrnl, IoGetFileObjectGenericMapping),
    ROUTINE(Ntoskrnl, IoInitializeRemoveLockEx),
    ROUTINE(Ntoskrnl, IoQueueWorkItem),
    ROUTINE(Ntoskrnl, IoRegisterPlugPlayNotification),
    ROUTINE(Ntoskrnl, IoReleaseCancelSpinLock),
    ROUTINE(Ntoskrnl, IoReleaseRemoveLockAndWaitEx),
    ROUTINE(Ntoskrnl, IoReleaseRemoveLockEx),
    ROUTINE(Ntoskrnl, IoUnregisterPlugPlayNotification),
    ROUTINE(Ntoskrnl, IofCallDriver),
    ROUTINE(Ntoskrnl, IofCompleteRequest),
    ROUTINE(Ntoskrnl, PoCallDriver),
    ROUTINE(Ntoskrnl, PoStartNextPowerIrp),
    // Kernel: spin locks, DPCs, timers, dispatcher objects and threads
    ROUTINE(Ntoskrnl, KeAcquireSpinLockRaiseToDpc),
    ROUTINE(Ntoskrnl, KeReleaseSpinLock),
    ROUTINE(Ntoskrnl, KeInitializeDpc),
    ROUTINE(Ntoskrnl, KeInsertQueueDpc),
    ROUTINE(Ntoskrnl, KeRemoveQueueDpc),
    ROUTINE(Ntoskrnl, KeInitializeTimer),
    ROUTINE(Ntoskrnl, KeSetTimer),
    ROUTINE(Ntoskrnl, KeCancelTimer),
    ROUTINE(Ntoskrnl, KeInitializeEvent),
    ROUTINE(Ntoskrnl, KeSetEvent),
    ROUTINE(Ntoskrnl, KeClearEvent),
    ROUTINE(Ntoskrnl, KeInitializeMutex),
    ROUTINE(Ntoskrnl, KeReleaseMutex),
    ROUTINE(Ntoskrnl, KeWaitForSingleObject),
    ROUTINE(Ntoskrnl, KeWaitForMultipleObjects),
    ROUTINE(Ntoskrnl, KeDelayExecutionThread),
    ROUTINE(Ntoskrnl, KeGetCurrentThread),
    ROUTINE(Ntoskrnl, KeSetPriorityThread),
    ROUTINE(Ntoskrnl, MmGetSystemRoutineAddress),
    // Objects and processes
    ROUTINE(Ntoskrnl, ObReferenceObjectByHandle),
    ROUTINE(Ntoskrnl, ObReferenceObjectByPointer),
    ROUTINE(Ntoskrnl, ObfDereferenceObject),
    ROUTINE(Ntoskrnl, PsCreateSystemThread),
    ROUTINE(Ntoskrnl, PsTerminateSystemThread),
    VARIABLE(Ntoskrnl, PsInitialSystemProcess),
    // NT exports the thread type's variable itself, a POBJECT_TYPE, which
    // the classic DDK declaration `extern POBJECT_TYPE *PsThreadType` names
    // by its address: here that address is PsThreadType's value.
    {Ntoskrnl, "PsThreadType", static_cast<void*>(PsThreadType)},
    // Run-time library: memory, strings, registry, security records
    ROUTINE(Ntoskrnl, RtlAddAccessAllowedAce),
    ROUTINE(Ntoskrnl, RtlAnsiStringToUnicodeString),
    ROUTINE(Ntoskrnl, RtlAppendUnicodeStringToString),
    ROUTINE(Ntoskrnl, RtlAppendUnicodeToString),
    ROUTINE(Ntoskrnl, RtlCompareMemory),
    ROUTINE(Ntoskrnl, RtlCompareUnicodeString),
    ROUTINE(Ntoskrnl, RtlCreateAcl),
    ROUTINE(Ntoskrnl, RtlCreateSecurityDescriptor),
    ROUTINE(Ntoskrnl, RtlDeleteRegistryValue),
    ROUTINE(Ntoskrnl, RtlInitUnicodeString),
    ROUTINE(Ntoskrnl, RtlIntegerToUnicodeString),
    ROUTINE(Ntoskrnl, RtlQueryRegistryValues),
    ROUTINE(Ntoskrnl, RtlSetDaclSecurityDescriptor),
    ROUTINE(Ntoskrnl, RtlSetOwnerSecurityDescriptor),
    ROUTINE(Ntoskrnl, RtlUnicodeStringToAnsiString),
    ROUTINE(Ntoskrnl, RtlWriteRegistryValue),
    ROUTINE(Ntoskrnl, RtlxAnsiStringToUnicodeSize),
    VARIABLE(Ntoskrnl, NlsMbOemCodePageTag),
    {Ntoskrnl, "memcpy", reinterpret_cast<void*>(&ImageMemcpy)},
    {Ntoskrnl, "memset", reinterpret_cast<void*>(&ImageMemset)},
    // Security reference monitor
    ROUTINE(Ntoskrnl, SeAccessCheck),
    ROUTINE(Ntoskrnl, SeFreePrivileges),
    VARIABLE(Ntoskrnl, SeExports),
    // Registry keys and handles
    ROUTINE(Ntoskrnl, ZwClose),
    ROUTINE(Ntoskrnl, ZwCreateKey),
    ROUTINE(Ntoskrnl, ZwDeleteKey),
    ROUTINE(Ntoskrnl, ZwOpenKey),
    // The i386 HAL's interrupt level and spin locks
    ROUTINE(Hal, KeGetCurrentIrql),
    ROUTINE(Hal, KfAcquireSpinLock),
    ROUTINE(Hal, KfReleaseSpinLock),
};

#undef ROUTINE
#undef VARIABLE

} // namespace

const KernelExport* KernelExports(size_t* count)
{
    *count = sizeof Exports / sizeof Exports[0];
    return Exports;
}

const KernelExport* FindKernelExport(const char* module, const char* name)
{
    for (const KernelExport& entry : Exports) {
        if (strcasecmp(entry.Module, module) == 0 && std::strcmp(entry.Name, name) == 0)
            return &entry;
    }
    return nullptr;
}

} // namespace hosted
