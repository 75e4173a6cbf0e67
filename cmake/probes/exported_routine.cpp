// Must not pass as driver code: a routine the image exports.
// Rejected: exports names
#include "platform/kernel.h"

extern "C" __declspec(dllexport) ULONG NTAPI ProbeExported(ULONG value)
{
    return value + 1;
}
