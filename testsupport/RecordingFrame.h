// The stand-in value store as a frame that also keeps the names in the order they were
// published, and the names each device family publishes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "host/MemoryValueStore.h"
#include "platform/ValueStore.h"

namespace gwu::test {

// Every name the family ("HLX" or "QPT") publishes, in the order a placeholder is published
// under them.
const std::vector<std::string>& PublishedNames(const std::string& family);

class RecordingFrame : public CTabQuillonFrame, public host::ValueStore {
public:
    CTabValueStore& GetValueStore() override { return *this; }
    bool SetValue(const CString& name, const CString& value, int maxLength) override;

    // The value under the name; empty for a name never set.
    std::string Value(const std::string& name) const;
    // The values under every name the family publishes, in placeholder order.
    std::vector<std::string> Values(const std::string& family) const;
    // The names published so far, in order.
    std::vector<std::string> Published() const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_published;
};

}  // namespace gwu::test
