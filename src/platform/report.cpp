#include "platform/report.h"

#include <cstdarg>
#include <cstdio>

namespace skanvert {

std::string formatList(const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

std::string formatText(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = formatList(format, args);
    va_end(args);
    return text;
}

void Report::outf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = formatList(format, args);
    va_end(args);
    out(text);
}

void Report::errf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = formatList(format, args);
    va_end(args);
    err(text);
}

}  // namespace skanvert
