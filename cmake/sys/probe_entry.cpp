// The driver entry of a probe image: the probe beside it is all the image
// build has to judge. It calls the kernel, as every image must import, with a
// routine that is an import on both architectures.
#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    KEVENT ready;
    KeInitializeEvent(&ready, NotificationEvent, FALSE);
    return KeGetCurrentIrql() == PASSIVE_LEVEL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
