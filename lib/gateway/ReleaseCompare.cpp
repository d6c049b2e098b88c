#include "gateway/ReleaseCompare.h"

#include <climits>

namespace gwu {

namespace {

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

}  // namespace gwu
