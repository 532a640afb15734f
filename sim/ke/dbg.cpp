// DbgPrint: the kernel debugger's output, captured line by line for tests.
//
// The text is formatted as the kernel's own formatter does it, with its
// directives: %wZ (a counted UTF-16 string), %Z (a counted 8-bit string),
// %ws / %S / %ls (a zero-terminated UTF-16 string), %wc / %C / %lc, and the
// size prefixes h, l (32 bits, as on Windows), ll, w, I (pointer-sized), I32
// and I64. A directive the model does not know stops the run, so a driver
// format that the real formatter would mangle cannot pass unnoticed. One call
// transmits at most 512 bytes; the rest is cut off, as the real routine does.
// The capture keeps everything written; the debug-print filter of a real
// system (which hides DbgPrint's default level unless configured) is not
// modelled.
#include "sim/ke/core.h"
#include "sim/fs/fs.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// DbgPrint follows the Windows convention, so its arguments are read with that
// convention's argument list (the host compilers have one for x86-64).
#if defined(__x86_64__)
using KernelVaList = __builtin_ms_va_list;
#define KERNEL_VA_START __builtin_ms_va_start
#define KERNEL_VA_END __builtin_ms_va_end
#else
using KernelVaList = va_list;
#define KERNEL_VA_START va_start
#define KERNEL_VA_END va_end
#endif

namespace {

constexpr size_t kMaxTransmitted = 512;

std::mutex gDebugLock;
std::vector<std::string>& DebugLines() {
    static std::vector<std::string> lines;
    return lines;
}

// Counted 8-bit string, the layout %Z reads.
struct CountedAnsi {
    USHORT Length;
    USHORT MaximumLength;
    const char* Buffer;
};

// The debugger's text is shown as UTF-8, converted as host paths are.
void AppendUtf8(std::string& out, const char16_t* text, size_t count) { out += fs::ToHost(std::u16string_view(text, count)); }

size_t WideLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

// Width and precision applied to an already converted text.
void AppendPadded(std::string& out, const std::string& text, bool leftAlign, int width, int precision) {
    std::string shown = precision >= 0 && static_cast<size_t>(precision) < text.size() ? text.substr(0, precision) : text;
    size_t pad = width > 0 && static_cast<size_t>(width) > shown.size() ? width - shown.size() : 0;
    if (!leftAlign) {
        out.append(pad, ' ');
    }
    out += shown;
    if (leftAlign) {
        out.append(pad, ' ');
    }
}

[[noreturn]] void UnknownDirective(const char* start, const char* end) {
    std::string directive(start, end);
    std::string what = "DbgPrint format directive " + directive;
    NotImplemented(what.c_str());
}

std::string Format(const char* format, KernelVaList args) {
    std::string out;
    for (const char* p = format; *p != 0;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string flags;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            flags += *p++;
        }
        int width = -1;
        if (*p == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                flags += '-';
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                width = (width < 0 ? 0 : width * 10) + (*p++ - '0');
            }
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    precision = precision * 10 + (*p++ - '0');
                }
            }
        }
        // Size prefix: the operand's width on Windows x64.
        enum class Size { Default, Short, Long32, Wide, Bits64 } size = Size::Default;
        if (*p == 'h') {
            size = Size::Short;
            ++p;
        } else if (*p == 'l' && p[1] == 'l') {
            size = Size::Bits64;
            p += 2;
        } else if (*p == 'l') {
            size = Size::Long32;
            ++p;
        } else if (*p == 'w') {
            size = Size::Wide;
            ++p;
        } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            size = Size::Bits64;
            p += 3;
        } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
            size = Size::Long32;
            p += 3;
        } else if (*p == 'I') {
            size = Size::Bits64;  // pointer-sized
            ++p;
        }
        const char type = *p;
        if (type == 0) {
            UnknownDirective(start, p);
        }
        ++p;
        const bool leftAlign = flags.find('-') != std::string::npos;
        switch (type) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            if (size == Size::Wide) {
                UnknownDirective(start, p);
            }
            std::string conversion = "%" + flags;
            if (width >= 0) {
                conversion += std::to_string(width);
            }
            if (precision >= 0) {
                conversion += "." + std::to_string(precision);
            }
            const bool isSigned = type == 'd' || type == 'i';
            char buffer[128];
            if (size == Size::Bits64) {
                conversion += "ll";
                conversion += type;
                long long value = va_arg(args, long long);
                std::snprintf(buffer, sizeof(buffer), conversion.c_str(), value);
            } else {
                conversion += type;
                int value = va_arg(args, int);
                if (size == Size::Short) {
                    value = isSigned ? static_cast<short>(value) : static_cast<unsigned short>(value);
                }
                std::snprintf(buffer, sizeof(buffer), conversion.c_str(), value);
            }
            out += buffer;
            break;
        }
        case 'p': {
            char buffer[32];
            std::snprintf(buffer, sizeof(buffer), "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            AppendPadded(out, buffer, leftAlign, width, -1);
            break;
        }
        case 'c':
        case 'C': {
            int value = va_arg(args, int);
            std::string text;
            const bool wide = type == 'C' ? size != Size::Short : (size == Size::Wide || size == Size::Long32);
            if (wide) {
                char16_t c = static_cast<char16_t>(value);
                AppendUtf8(text, &c, 1);
            } else {
                text += static_cast<char>(value);
            }
            AppendPadded(out, text, leftAlign, width, -1);
            break;
        }
        case 's':
        case 'S': {
            const bool wide = type == 'S' ? size != Size::Short : (size == Size::Wide || size == Size::Long32);
            std::string text;
            if (wide) {
                const auto* value = va_arg(args, const char16_t*);
                if (value == nullptr) {
                    text = "(null)";
                } else {
                    AppendUtf8(text, value, WideLength(value));
                }
            } else {
                const char* value = va_arg(args, const char*);
                text = value == nullptr ? "(null)" : value;
            }
            AppendPadded(out, text, leftAlign, width, precision);
            break;
        }
        case 'Z': {
            std::string text;
            if (size == Size::Wide) {
                const auto* value = va_arg(args, const UNICODE_STRING*);
                if (value == nullptr || value->Buffer == nullptr) {
                    text = "(null)";
                } else {
                    AppendUtf8(text, value->Buffer, value->Length / sizeof(WCHAR));
                }
            } else if (size == Size::Default) {
                const auto* value = va_arg(args, const CountedAnsi*);
                if (value == nullptr || value->Buffer == nullptr) {
                    text = "(null)";
                } else {
                    text.assign(value->Buffer, value->Length);
                }
            } else {
                UnknownDirective(start, p);
            }
            AppendPadded(out, text, leftAlign, width, precision);
            break;
        }
        default:
            // Floating point, %n and anything else the kernel's formatter refuses.
            UnknownDirective(start, p);
        }
    }
    return out;
}

// Directives that convert UTF-16 text may touch paged memory: the real routine
// allows them only at PASSIVE_LEVEL.
bool UsesUnicodeDirective(const char* format) {
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        while (*p != 0 && std::strchr("-+ #0123456789.*hlwI", *p) != nullptr) {
            if (*p == 'w' || (*p == 'l' && (p[1] == 'c' || p[1] == 's'))) {
                return true;
            }
            ++p;
        }
        if (*p == 'C' || *p == 'S') {
            return true;
        }
        if (*p == 0) {
            break;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> DebugOutput() {
    std::lock_guard<std::mutex> guard(gDebugLock);
    return DebugLines();
}

void ClearDebugOutput() {
    std::lock_guard<std::mutex> guard(gDebugLock);
    DebugLines().clear();
}

}  // namespace sim

extern "C" ULONG NTAPI DbgPrint(PCSTR Format, ...) {
    sim::Count("DbgPrint");
    if (sim::UsesUnicodeDirective(Format) && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        sim::BugCheck(sim::kBugIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
                      "DbgPrint with a Unicode format directive above PASSIVE_LEVEL", KeGetCurrentIrql());
    }
    sim::KernelVaList args;
    KERNEL_VA_START(args, Format);
    std::string text = sim::Format(Format, args);
    KERNEL_VA_END(args);
    if (text.size() > sim::kMaxTransmitted) {
        text.resize(sim::kMaxTransmitted);
    }
    std::lock_guard<std::mutex> guard(sim::gDebugLock);
    sim::DebugLines().push_back(std::move(text));
    return STATUS_SUCCESS;
}
