// The layout probe: compiled (never linked or run) by the MinGW-w64 compiler
// of the hosted build's architecture, against the DDK headers and with the
// options vorn.sys is compiled with. Each size and offset of the layout list
// becomes a line `->NAME VALUE` of the assembly output, which the build turns
// into the header the hosted kernel's layout check includes.
#include "platform/kernel.h"

#include "config/device_record.h"
#include "control/control.h"

// Lines of the assembly, not code: %c0 prints the constant bare.
#define VORN_LAYOUT_EMIT(name, value) asm volatile("\n.ascii \"->" name " %c0\"" ::"i"(value))

#define VORN_LAYOUT_STRUCT(Type) VORN_LAYOUT_EMIT("DDK_SIZEOF_" #Type, sizeof(Type));
#define VORN_LAYOUT_FIELD(Type, Field)                                                             \
    VORN_LAYOUT_EMIT("DDK_OFFSETOF_" #Type "_" #Field, __builtin_offsetof(Type, Field));
#define VORN_LAYOUT_MEMBER(Type, Name, Path)                                                       \
    VORN_LAYOUT_EMIT("DDK_OFFSETOF_" #Type "_" #Name, __builtin_offsetof(Type, Path));

void VornDdkLayoutProbe()
{
    VORN_LAYOUT_EMIT("DDK_POINTER_SIZE", sizeof(void*));
#include "cmake/layout/ddk_layout_list.h"
}
