#include "gateway/ReleaseCompare.h"

#include <climits>

namespace gwu {

namespace {

std::string_view StripLeading(std::string_view text, char letter) {
    while (!text.empty() && text.front() == letter) {
        text.remove_prefix(1);
    }
    return text;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading of a component, without its undefined behaviour on overflow: the value
// saturates at INT_MAX or INT_MIN.
int ReadNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative) {
        return static_cast<int>(-value < INT_MIN ? INT_MIN : -value);
    }
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}

// Takes the next component off the front of an identifier. An identifier without a dot gives
// its whole remainder and becomes "0", so the shorter identifier reads as padded with zeros.
std::string_view NextComponent(std::string_view& rest, bool& hadDot) {
    const size_t dot = rest.find('.');
    hadDot = dot != std::string_view::npos;
    std::string_view component;
    if (hadDot) {
        component = rest.substr(0, dot);
        rest = StripLeading(rest.substr(dot + 1), '.');
    } else {
        component = rest;
        rest = "0";
    }
    return component;
}

}  // namespace

DIFFTYPE CompareReleaseIds(std::string_view deviceId, std::string_view diskId) {
    std::string_view device = StripLeading(StripLeading(deviceId, 'E'), 'R');
    std::string_view disk = StripLeading(StripLeading(diskId, 'E'), 'R');
    for (;;) {
        bool deviceDot = false;
        bool diskDot = false;
        const int deviceNumber = ReadNumber(NextComponent(device, deviceDot));
        const int diskNumber = ReadNumber(NextComponent(disk, diskDot));
        if (deviceNumber < diskNumber) {
            return DIFF_OLDER;
        }
        if (deviceNumber > diskNumber) {
            return DIFF_NEWER;
        }
        if (!deviceDot && !diskDot) {
            return DIFF_SAME;
        }
    }
}

}  // namespace gwu
