// The kernel boundary: every NT name the driver uses comes through this header.
// The real build takes them from the DDK headers MinGW-w64 ships; the hosted
// build takes them from the hosted kernel's own definitions. Nothing else in
// the driver knows which build it is.
#pragma once

#if defined(VORN_HOSTED)

#include "platform/hosted/nt.h"

#define VORN_WIDE(text) u##text

// The thread object type, for ObReferenceObjectByHandle. The hosted kernel
// declares PsThreadType as the classic DDK does: the address of the kernel's
// variable.
inline POBJECT_TYPE ThreadObjectType()
{
    return *PsThreadType;
}

#else

// wdm.h redeclares two intrinsics that intrin.h already declared; give its
// copies private names.
#include <intrin.h>
#define InterlockedBitTestAndSet VornDdkInterlockedBitTestAndSet
#define InterlockedBitTestAndReset VornDdkInterlockedBitTestAndReset
// ntifs.h is ntddk.h with the security routines and records (SeExports,
// ACLs, descriptors) the access check at create needs.
#include <ntifs.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
#include <ntddmou.h>
#include <kbdmou.h>
#include <ntddser.h>
#include <initguid.h>
#include <wdmguid.h>

#define VORN_WIDE(text) L##text

// The thread object type, for ObReferenceObjectByHandle. NT exports the
// kernel's POBJECT_TYPE variable; MinGW-w64 declares PsThreadType as an
// imported POBJECT_TYPE*, so reading it already reads that variable, and
// `*PsThreadType` would read the object type's own first bytes.
inline POBJECT_TYPE ThreadObjectType()
{
    return reinterpret_cast<POBJECT_TYPE>(PsThreadType);
}

#endif

// Layouts the driver relies on in both builds.
static_assert(sizeof(MOUSE_INPUT_DATA) == 24, "MOUSE_INPUT_DATA is 24 bytes");
static_assert(sizeof(MOUSE_ATTRIBUTES) == 12, "MOUSE_ATTRIBUTES is 12 bytes");
static_assert(sizeof(WCHAR) == 2, "counted strings are UTF-16");
