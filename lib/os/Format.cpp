#include "os/Format.h"

#include <cstdio>

namespace gwu {

std::string FormatArgs(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    // The copy is made just above; the analyzer's va_list check at times loses track of a
    // va_list parameter and calls it uninitialized.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
    }
    return text;
}

}  // namespace gwu
