#include "os/Format.h"

#include <cstdint>
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

namespace {

void AppendHex(std::string& out, const char* prefix, unsigned value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += prefix;
    out += kDigits[(value >> 4) & 0xF];
    out += kDigits[value & 0xF];
}

// The length of the valid UTF-8 sequence at the start of the text (1 to 4), or 0 when its first
// byte does not start one: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t Utf8SequenceLength(std::string_view text, std::uint32_t& codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    std::uint32_t min = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::uint32_t codePoint = 0;
        const size_t length = Utf8SequenceLength(text, codePoint);
        if (length == 0) {
            AppendHex(out, "\\x", static_cast<unsigned char>(text.front()));
            text.remove_prefix(1);
            continue;
        }
        if (codePoint < 0x20 || codePoint == 0x7F) {
            AppendHex(out, "\\x", codePoint);
        } else if (codePoint >= 0x80 && codePoint <= 0x9F) {
            AppendHex(out, "\\u00", codePoint);
        } else if (codePoint == '\\') {
            out += "\\\\";
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

}  // namespace gwu
