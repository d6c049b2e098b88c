// Asks the user for a short text with the on-screen keyboard. Used by the serial-number
// repair to ask for a device serial number; runs on the calling thread and blocks it until
// the user ends the dialog.
#pragma once

#include "gatewayutils/platform/Popup.h"
#include "gatewayutils/platform/Types.h"

class CUserEntry {
public:
    // The engine is kept for the host's sake and never used; it may be null.
    CUserEntry(EE_CExecutionEngine* engine, bool keyboardVariant);
    virtual ~CUserEntry();

    // Request kinds: the first request of a value, and the request after a rejected value
    // (which also offers the cross button).
    static constexpr int kFirstRequest = 0;
    static constexpr int kRepeatedRequest = 1;

    // Shows the keyboard dialog for the request kind and, when the user ends it with the tick,
    // puts the typed text with its spaces removed into out. Otherwise out keeps what the
    // caller passed. The flag, when given, is set to false.
    void GetUserEntry(CString& out, int kind, int maxLength, int minLength, bool* flag);

    // The prompt of a request kind: two lines of the popup library's strings, joined by CR LF.
    // Any kind but the repeated request gets the first request's prompt.
    CString BuildPrompt(int kind) const;

private:
    [[maybe_unused]] EE_CExecutionEngine* m_pEngine;  // borrowed, never used
    bool m_keyboardVariant;
};
