// The text-entry dialog: a prompt, a field showing what has been typed and an on-screen
// keyboard. It accepts upper-case letters, digits, the underscore and optionally the space,
// up to a maximum length, and offers the tick once a minimum length is reached.
//
// The dialog runs itself from its constructor: when the constructor returns it has been shown
// and ended, and the caller reads IsAccepted and GetText. Everything runs on the constructing
// thread.
#pragma once

#include "gatewayutils/dialogs/CTabDialog.h"
#include "gatewayutils/platform/Types.h"

class CKeyboardDialog : public CTabDialog {
public:
    // Null title or prompt are taken as empty. allowCancel shows the cross button;
    // keyboardVariant picks the widget library's other keyboard layout.
    CKeyboardDialog(const char* title, const char* prompt, int maxLength, bool noSpaces,
                    bool allowCancel, int minLength, bool keyboardVariant);
    ~CKeyboardDialog() override;

    // Whether the dialog was ended with the tick (end value 1).
    bool IsAccepted() const { return m_accepted; }
    void GetText(CString& out) const { out = m_text; }

protected:
    void CreateControls() override;
    void OnEndDialog(int result) override;
    // The keyboard's callback: the low 8 bits of the event value are the character code.
    // Returns nonzero.
    int KeyCallback(int reason, int widget, int eventValue);
    // Applies one key to the text and re-evaluates the tick and cross buttons.
    void HandleKey(char key);
    // The height of one line of the entry font, measured with a hidden label under parent.
    int MeasureLineHeight(int parent);

private:
    int m_keyboard = 0;
    int m_entryLabel = 0;
    CString m_text;
    CString m_prompt;
    int m_maxLength;
    bool m_accepted = false;
    bool m_noSpaces;
    bool m_hideCross;
    int m_minLength;
    bool m_keyboardVariant;
};
