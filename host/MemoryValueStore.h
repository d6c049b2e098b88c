// The stand-in host's named display values and frame.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "gatewayutils/platform/ValueStore.h"

namespace gwu::host {

// Values in memory. A value keeps at most maxLength - 1 characters (the room of a
// maxLength-byte text buffer), and the store's own limit is 512. Reading a name never set
// empties the output and returns false.
class ValueStore : public CTabValueStore {
public:
    bool GetValue(const CString& name, CString* value, int maxLength) const override;
    bool SetValue(const CString& name, const CString& value, int maxLength) override;

    // Whether a value was ever set under the name.
    bool Has(const std::string& name) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string, std::less<>> m_values;
};

class Frame : public CTabQuillonFrame {
public:
    CTabValueStore& GetValueStore() override { return m_store; }
    ValueStore& Store() { return m_store; }
    const ValueStore& Store() const { return m_store; }

private:
    ValueStore m_store;
};

}  // namespace gwu::host
