#include "gateway/ReleaseCompare.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "devices/CGatewayUtils.h"

namespace gwu {

namespace {

constexpr const char* kManufacturingMark = "MFT";
constexpr const char* kLegacySoftwareMark = " DB";

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Walks the components of one identifier. Once its last component is taken, the identifier
// reads as "0" for ever, so the shorter of two identifiers counts as padded with zeros.
class Components {
public:
    explicit Components(std::string_view id) : m_at(id.data()), m_end(id.data() + id.size()) {
        while (m_at != m_end && *m_at == 'E') {
            ++m_at;
        }
        while (m_at != m_end && *m_at == 'R') {
            ++m_at;
        }
    }

    // The next component's value as atoi reads it (saturating at the int range); hadDot
    // tells whether a dot ended it.
    int Next(bool& hadDot) {
        hadDot = false;
        if (m_done) {
            return 0;
        }
        const char* at = m_at;
        while (at != m_end && IsBlank(*at) && *at != '.') {
            ++at;
        }
        bool negative = false;
        if (at != m_end && (*at == '+' || *at == '-')) {
            negative = *at == '-';
            ++at;
        }
        long long value = 0;
        for (; at != m_end && *at >= '0' && *at <= '9'; ++at) {
            if (value <= INT_MAX) {
                value = value * 10 + (*at - '0');
            }
        }
        // The rest of the component up to its dot takes no part.
        while (at != m_end && *at != '.') {
            ++at;
        }
        if (at == m_end) {
            m_done = true;
        } else {
            hadDot = true;
            while (at != m_end && *at == '.') {
                ++at;  // empty components between dots do not count
            }
        }
        m_at = at;
        if (negative) {
            return value > static_cast<long long>(INT_MAX) ? INT_MIN : static_cast<int>(-value);
        }
        return value > INT_MAX ? INT_MAX : static_cast<int>(value);
    }

private:
    const char* m_at;
    const char* m_end;
    bool m_done = false;
};

}  // namespace

DIFFTYPE CompareReleaseIds(std::string_view deviceId, std::string_view diskId) {
    Components device(deviceId);
    Components disk(diskId);
    for (;;) {
        bool deviceDot = false;
        bool diskDot = false;
        const int deviceNumber = device.Next(deviceDot);
        const int diskNumber = disk.Next(diskDot);
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

bool IsManufacturingRelease(std::string_view deviceText) {
    return deviceText.find(kManufacturingMark) != std::string_view::npos;
}

DIFFTYPE CompareWithReleaseFile(CGatewayUtils& family, CODETYPE codeType,
                                const std::string& deviceText, const std::string& diskText,
                                bool& legacy) {
    legacy = false;
    std::string diskId;
    const bool numeric = family.TrimReleaseId(diskText, diskId);
    if (!numeric) {
        diskId = diskText;
    }
    if (IsManufacturingRelease(deviceText)) {
        return DIFF_FORCED;
    }
    std::string deviceId;
    if (family.TrimReleaseId(deviceText, deviceId)) {
        if (numeric) {
            return CompareReleaseIds(deviceId, diskId);
        }
        return EqualNoCase(deviceId, diskId) ? DIFF_SAME : DIFF_OLDER;
    }
    DIFFTYPE result = DIFF_SAME;
    const size_t legacyAt = deviceText.find(kLegacySoftwareMark);
    if (legacyAt != std::string::npos && legacyAt > 0) {
        legacy = true;
        result = DIFF_OLDER;
    }
    // A placeholder means nobody could read the device: nothing to compare.
    if (EqualNoCase(deviceText, kUnknownValue) || EqualNoCase(deviceText, kNotConnectedValue)) {
        return result;
    }
    if (codeType == MAC_CODE) {
        return DIFF_SAME;
    }
    return EqualNoCase(deviceText, diskId) ? result : DIFF_OLDER;
}

}  // namespace gwu
