// The host's named display values and the frame that holds them.
#pragma once

#include "gatewayutils/platform/Types.h"

// The host's named display values. A value set with SetValue reads back unchanged with
// GetValue, up to the length limit; reading a name never set gives an empty text.
class GWU_HOST_TYPE CTabValueStore {
public:
    static constexpr int kMaxLength = 512;

    virtual ~CTabValueStore() = default;
    virtual bool GetValue(const CString& name, CString* value, int maxLength) const = 0;
    virtual bool SetValue(const CString& name, const CString& value, int maxLength) = 0;
};

// The host's frame; it holds one value store.
class GWU_HOST_TYPE CTabQuillonFrame {
public:
    virtual ~CTabQuillonFrame() = default;
    virtual CTabValueStore& GetValueStore() = 0;
};
