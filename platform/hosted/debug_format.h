// The debugger's formatting of DbgPrint's arguments. DbgPrint takes its
// arguments by Windows' variadic convention (the Microsoft x64 one on x86_64),
// whose argument list the C library's printf family cannot read, so the
// hosted kernel formats them itself, fetching each argument through the
// caller's Args. NT's conversions: %c %C %d %i %u %x %X %o %p %s %S %ls %ws
// %Z %wZ %%, with flags, width, precision (either may be *) and the length
// prefixes h, hh, l, ll, I, I64, I32, w.
#pragma once

#include "platform/hosted/nt.h"

#include <cstddef>
#include <cstdint>

namespace hosted {

// Appends characters to a fixed buffer, dropping what does not fit; the text
// is always terminated.
class DebugText {
public:
    DebugText(char* buffer, size_t size) : buffer_(buffer), size_(size) { buffer_[0] = 0; }
    void Put(char c)
    {
        if (length_ + 1 < size_) {
            buffer_[length_++] = c;
            buffer_[length_] = 0;
        }
    }
    void Repeat(char c, int count)
    {
        for (int i = 0; i < count; i++)
            Put(c);
    }

private:
    char* buffer_;
    size_t size_;
    size_t length_ = 0;
};

struct DebugConversion {
    bool Left = false;
    bool Zero = false;
    bool Plus = false;
    bool Space = false;
    bool Alternate = false;
    int Width = 0;
    int Precision = -1;
    enum class Size { Default, Short, Char, Long64, Wide } Length = Size::Default;
};

// A number in that base, with sign, precision and padding as printf puts it.
void PutDebugInteger(DebugText& out, const DebugConversion& c, uint64_t magnitude, bool negative,
                     unsigned base, bool upper);
// Characters, cut to the precision and padded to the width; a null text is
// "(null)". Wide characters outside ASCII show as '?', as a conversion to an
// ANSI code page without them does.
void PutDebugNarrow(DebugText& out, const DebugConversion& c, const char* text, size_t length);
void PutDebugWide(DebugText& out, const DebugConversion& c, const WCHAR* text, size_t length);
// Reads flags, width, precision and length of the conversion at format (just
// past its '%'), leaving format at the conversion's letter; a * width or
// precision is the next argument.
template <class Args> DebugConversion ParseDebugConversion(const char*& format, Args& args)
{
    DebugConversion c;
    for (;; format++) {
        if (*format == '-')
            c.Left = true;
        else if (*format == '0')
            c.Zero = true;
        else if (*format == '+')
            c.Plus = true;
        else if (*format == ' ')
            c.Space = true;
        else if (*format == '#')
            c.Alternate = true;
        else
            break;
    }
    if (*format == '*') {
        c.Width = args.template Next<int>();
        if (c.Width < 0) {
            c.Left = true;
            c.Width = -c.Width;
        }
        format++;
    } else {
        while (*format >= '0' && *format <= '9')
            c.Width = c.Width * 10 + (*format++ - '0');
    }
    if (*format == '.') {
        format++;
        c.Precision = 0;
        if (*format == '*') {
            c.Precision = args.template Next<int>();
            format++;
        } else {
            while (*format >= '0' && *format <= '9')
                c.Precision = c.Precision * 10 + (*format++ - '0');
        }
    }
    if (format[0] == 'I' && format[1] == '6' && format[2] == '4') {
        c.Length = DebugConversion::Size::Long64;
        format += 3;
    } else if (format[0] == 'I' && format[1] == '3' && format[2] == '2') {
        format += 3;
    } else if (*format == 'I') {
        // Pointer-sized: a ULONG_PTR or SIZE_T.
        if (sizeof(void*) == 8)
            c.Length = DebugConversion::Size::Long64;
        format++;
    } else if (format[0] == 'l' && format[1] == 'l') {
        c.Length = DebugConversion::Size::Long64;
        format += 2;
    } else if (format[0] == 'h' && format[1] == 'h') {
        c.Length = DebugConversion::Size::Char;
        format += 2;
    } else if (*format == 'h') {
        c.Length = DebugConversion::Size::Short;
        format++;
    } else if (*format == 'l' || *format == 'w') {
        c.Length = DebugConversion::Size::Wide; // NT's long is 32 bits: l only widens strings
        format++;
    }
    return c;
}

// The signed or unsigned integer argument of a conversion, at its size.
template <class Args> int64_t NextDebugSigned(Args& args, const DebugConversion& c)
{
    switch (c.Length) {
    case DebugConversion::Size::Long64:
        return args.template Next<int64_t>();
    case DebugConversion::Size::Short:
        return static_cast<int16_t>(args.template Next<int>());
    case DebugConversion::Size::Char:
        return static_cast<int8_t>(args.template Next<int>());
    default:
        return args.template Next<int32_t>();
    }
}

template <class Args> uint64_t NextDebugUnsigned(Args& args, const DebugConversion& c)
{
    switch (c.Length) {
    case DebugConversion::Size::Long64:
        return args.template Next<uint64_t>();
    case DebugConversion::Size::Short:
        return static_cast<uint16_t>(args.template Next<unsigned>());
    case DebugConversion::Size::Char:
        return static_cast<uint8_t>(args.template Next<unsigned>());
    default:
        return args.template Next<uint32_t>();
    }
}

// Formats format with the arguments Args fetches (Args::Next<T>() is the
// next argument as a T) into out.
template <class Args> void FormatDebugText(DebugText& out, const char* format, Args& args)
{
    while (*format) {
        if (*format != '%') {
            out.Put(*format++);
            continue;
        }
        format++;
        DebugConversion c = ParseDebugConversion(format, args);
        bool wide = c.Length == DebugConversion::Size::Wide;
        char conversion = *format;
        if (conversion == 0)
            break;
        format++;
        switch (conversion) {
        case 'd':
        case 'i': {
            int64_t value = NextDebugSigned(args, c);
            PutDebugInteger(out, c, value < 0 ? 0 - static_cast<uint64_t>(value) : value, value < 0,
                            10, false);
            break;
        }
        case 'u':
            PutDebugInteger(out, c, NextDebugUnsigned(args, c), false, 10, false);
            break;
        case 'x':
        case 'X':
            PutDebugInteger(out, c, NextDebugUnsigned(args, c), false, 16, conversion == 'X');
            break;
        case 'o':
            PutDebugInteger(out, c, NextDebugUnsigned(args, c), false, 8, false);
            break;
        case 'p': {
            // As Windows prints an address: every hexadecimal digit of a
            // pointer, in capitals.
            DebugConversion p;
            p.Zero = true;
            p.Width = 2 * sizeof(void*);
            p.Left = c.Left;
            if (c.Width > p.Width)
                p.Width = c.Width;
            PutDebugInteger(out, p, reinterpret_cast<uintptr_t>(args.template Next<void*>()), false,
                            16, true);
            break;
        }
        case 'c':
        case 'C': {
            unsigned value = args.template Next<unsigned>();
            if (wide || conversion == 'C') {
                WCHAR w = static_cast<WCHAR>(value);
                PutDebugWide(out, c, &w, 1);
            } else {
                char n = static_cast<char>(value);
                PutDebugNarrow(out, c, &n, 1);
            }
            break;
        }
        case 's':
        case 'S': {
            if (wide || conversion == 'S') {
                const WCHAR* text = args.template Next<const WCHAR*>();
                size_t length = 0;
                while (text && text[length])
                    length++;
                PutDebugWide(out, c, text, length);
            } else {
                const char* text = args.template Next<const char*>();
                size_t length = 0;
                while (text && text[length])
                    length++;
                PutDebugNarrow(out, c, text, length);
            }
            break;
        }
        case 'Z': {
            // A counted string: %wZ a UNICODE_STRING, %Z an ANSI_STRING.
            if (wide) {
                const UNICODE_STRING* s = args.template Next<const UNICODE_STRING*>();
                PutDebugWide(out, c, s ? s->Buffer : nullptr, s ? s->Length / sizeof(WCHAR) : 0);
            } else {
                const ANSI_STRING* s = args.template Next<const ANSI_STRING*>();
                PutDebugNarrow(out, c, s ? s->Buffer : nullptr, s ? s->Length : 0);
            }
            break;
        }
        case '%':
            out.Put('%');
            break;
        default:
            // Not a conversion NT knows: shown as written.
            out.Put('%');
            out.Put(conversion);
            break;
        }
    }
}

} // namespace hosted
