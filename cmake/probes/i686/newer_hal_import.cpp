// Must not pass as 32-bit driver code: a HAL routine Windows 2000 lacks
// (queued spin locks came with Windows XP), declared here as the Windows 2000
// headers do not declare it.
// Rejected: which Windows 2000 does not export
#include "platform/kernel.h"

extern "C" __declspec(dllimport) VOID FASTCALL
    KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK, PKLOCK_QUEUE_HANDLE);

VOID ProbeNewerHalImport(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle)
{
    KeAcquireInStackQueuedSpinLock(lock, handle);
}
