// The hosted kernel's structures, held to the DDK's layouts: for every entry
// of the layout list, the size or offset here equals the one the layout probe
// (MinGW-w64, the same architecture) computed from the DDK headers. A loaded
// vorn.sys reads and writes these structures by those offsets.
#include <cstddef>

#include "config/device_record.h"
#include "control/control.h"
#include "ddk_layout.h"
#include "platform/kernel.h"

namespace {

// A mismatch names both numbers in the compiler's message.
// Line, the entry's line in the list, keeps each entry's check a failure of its own.
template <size_t Hosted, size_t Ddk, int Line> constexpr bool SameAsDdk()
{
    static_assert(Hosted == Ddk, "hosted layout differs from the DDK's (Hosted, Ddk)");
    return true;
}

static_assert(SameAsDdk<sizeof(void*), DDK_POINTER_SIZE, __LINE__>(),
              "the layout probe was compiled for another architecture");

#define VORN_LAYOUT_STRUCT(Type)                                                                   \
    static_assert(SameAsDdk<sizeof(Type), DDK_SIZEOF_##Type, __LINE__>(), "sizeof(" #Type ")");
#define VORN_LAYOUT_FIELD(Type, Field)                                                             \
    static_assert(SameAsDdk<offsetof(Type, Field), DDK_OFFSETOF_##Type##_##Field, __LINE__>(),     \
                  #Type "." #Field);
#define VORN_LAYOUT_MEMBER(Type, Name, Path)                                                       \
    static_assert(SameAsDdk<offsetof(Type, Path), DDK_OFFSETOF_##Type##_##Name, __LINE__>(),       \
                  #Type "." #Path);
#include "cmake/layout/ddk_layout_list.h"

} // namespace
