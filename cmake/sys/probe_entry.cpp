// The driver entry of a probe image: the probe beside it is all the image
// build has to judge. It calls the kernel once, as every image must import.
#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return KeGetCurrentIrql() == PASSIVE_LEVEL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
