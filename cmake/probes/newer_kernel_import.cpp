// Must not pass as driver code: a kernel routine the oldest target lacks
// (Windows Vista added this one), declared here as the headers of that
// target do not declare it.
// Rejected: which Windows
#include "platform/kernel.h"

extern "C" __declspec(dllimport) NTSTATUS NTAPI IoUnregisterPlugPlayNotificationEx(PVOID);

NTSTATUS ProbeNewerKernelImport(PVOID entry)
{
    return IoUnregisterPlugPlayNotificationEx(entry);
}
