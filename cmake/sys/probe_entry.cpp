// The driver entry of a probe image: the probe beside it is all the image
// build has to judge.
#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}
