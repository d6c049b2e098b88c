#include "platform/ValueStore.h"
#include "host/MemoryValueStore.h"

#include <algorithm>

namespace gwu::host {

namespace {

size_t Room(int maxLength) {
    const int limit = std::min(maxLength, CTabValueStore::kMaxLength);
    return limit > 0 ? static_cast<size_t>(limit - 1) : 0;
}

}  // namespace

bool ValueStore::GetValue(const CString& name, CString* value, int maxLength) const {
    if (value == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_values.find(name);
    if (found == m_values.end()) {
        value->clear();
        return false;
    }
    *value = found->second.substr(0, Room(maxLength));
    return true;
}

bool ValueStore::SetValue(const CString& name, const CString& value, int maxLength) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[name] = value.substr(0, Room(maxLength));
    return true;
}

bool ValueStore::Has(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.count(name) != 0;
}

void ValueStore::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.clear();
}

}  // namespace gwu::host
