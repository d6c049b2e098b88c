#include "testsupport/RecordingFrame.h"

namespace gwu::test {

const std::vector<std::string>& PublishedNames(const std::string& family) {
    static const std::vector<std::string> hlx = {"HLX_SerialNum",
                                                 "HLX_Release",
                                                 "HLX_PROM_Release",
                                                 "HLX_Release_Untrimmed",
                                                 "HLX_PROM_Release_Untrimmed",
                                                 "HLX_Bootstrap_Release",
                                                 "HLX_Bootstrap_Release_Untrimmed",
                                                 "HLX_CPLD_Release",
                                                 "HLX_CPLD_Release_Untrimmed",
                                                 "HLX_MAC_Firmware_Release",
                                                 "HLX_MAC_Firmware_Release_Untrimmed"};
    static const std::vector<std::string> qpt = {"QPT_SerialNum", "QPT_Release", "QPT_PROM_Release",
                                                 "QPT_Release_Untrimmed",
                                                 "QPT_PROM_Release_Untrimmed"};
    return family == "HLX" ? hlx : qpt;
}

bool RecordingFrame::SetValue(const CString& name, const CString& value, int maxLength) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_published.push_back(name);
    }
    return ValueStore::SetValue(name, value, maxLength);
}

std::string RecordingFrame::Value(const std::string& name) const {
    CString value;
    GetValue(name, &value, kMaxLength);
    return value;
}

std::vector<std::string> RecordingFrame::Values(const std::string& family) const {
    std::vector<std::string> values;
    for (const std::string& name : PublishedNames(family)) {
        values.push_back(Value(name));
    }
    return values;
}

std::vector<std::string> RecordingFrame::Published() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_published;
}

}  // namespace gwu::test
