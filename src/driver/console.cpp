#include "driver/console.h"

#include <cstdio>

namespace skanvert {

void Console::out(std::string_view text) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stdout);
}

void Console::err(std::string_view text) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace skanvert
