// The conversions of the debugger's formatting that need no argument list.
#include "platform/hosted/debug_format.h"

namespace hosted {

namespace {

// The padding that brings a field of length characters (sign and prefix
// included) to the width.
int PaddingOf(const DebugConversion& c, size_t length)
{
    return c.Width > static_cast<int>(length) ? c.Width - static_cast<int>(length) : 0;
}

size_t CutToPrecision(const DebugConversion& c, size_t length)
{
    if (c.Precision >= 0 && static_cast<size_t>(c.Precision) < length)
        return c.Precision;
    return length;
}

constexpr char NullText[] = "(null)";

} // namespace

void PutDebugInteger(DebugText& out, const DebugConversion& c, uint64_t magnitude, bool negative,
                     unsigned base, bool upper)
{
    const char* digitsOf = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int count = 0;
    for (uint64_t v = magnitude; v != 0; v /= base)
        digits[count++] = digitsOf[v % base];
    // An explicit precision of zero prints no digits for zero.
    int minimum = c.Precision >= 0 ? c.Precision : 1;
    int zeros = minimum > count ? minimum - count : 0;
    const char* prefix = "";
    if (negative)
        prefix = "-";
    else if (c.Plus && base == 10)
        prefix = "+";
    else if (c.Space && base == 10)
        prefix = " ";
    else if (c.Alternate && base == 16 && magnitude != 0)
        prefix = upper ? "0X" : "0x";
    else if (c.Alternate && base == 8 && zeros == 0)
        prefix = "0";
    size_t prefixLength = 0;
    while (prefix[prefixLength])
        prefixLength++;
    int padding = PaddingOf(c, prefixLength + zeros + count);
    bool padWithZeros = c.Zero && !c.Left && c.Precision < 0;
    if (!c.Left && !padWithZeros)
        out.Repeat(' ', padding);
    for (size_t i = 0; i < prefixLength; i++)
        out.Put(prefix[i]);
    if (padWithZeros)
        out.Repeat('0', padding);
    out.Repeat('0', zeros);
    while (count > 0)
        out.Put(digits[--count]);
    if (c.Left)
        out.Repeat(' ', padding);
}

void PutDebugNarrow(DebugText& out, const DebugConversion& c, const char* text, size_t length)
{
    if (!text) {
        text = NullText;
        length = sizeof NullText - 1;
    }
    length = CutToPrecision(c, length);
    int padding = PaddingOf(c, length);
    if (!c.Left)
        out.Repeat(' ', padding);
    for (size_t i = 0; i < length; i++)
        out.Put(text[i]);
    if (c.Left)
        out.Repeat(' ', padding);
}

void PutDebugWide(DebugText& out, const DebugConversion& c, const WCHAR* text, size_t length)
{
    if (!text) {
        PutDebugNarrow(out, c, nullptr, 0);
        return;
    }
    length = CutToPrecision(c, length);
    int padding = PaddingOf(c, length);
    if (!c.Left)
        out.Repeat(' ', padding);
    for (size_t i = 0; i < length; i++)
        out.Put(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    if (c.Left)
        out.Repeat(' ', padding);
}

} // namespace hosted
