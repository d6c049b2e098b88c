#include "dialogs/CUserEntry.h"

#include <algorithm>
#include <memory>
#include <new>

#include "dialogs/CKeyboardDialog.h"
#include "platform/PopupAttributes.h"

CUserEntry::CUserEntry(EE_CExecutionEngine* engine, bool keyboardVariant)
    : m_pEngine(engine), m_keyboardVariant(keyboardVariant) {}

CUserEntry::~CUserEntry() = default;

void CUserEntry::GetUserEntry(CString& out, int kind, int maxLength, int minLength, bool* flag) {
    const CString prompt = BuildPrompt(kind);
    if (flag != nullptr) {
        *flag = false;
    }

    std::unique_ptr<CKeyboardDialog> dialog;
    try {
        dialog = std::make_unique<CKeyboardDialog>("", prompt.c_str(), maxLength, true,
                                                   kind == kRepeatedRequest, minLength,
                                                   m_keyboardVariant);
    } catch (const std::bad_alloc&) {
        return;  // no dialog: the caller's text stays as it was
    }
    if (dialog->IsAccepted()) {
        dialog->GetText(out);
        out.erase(std::remove(out.begin(), out.end(), ' '), out.end());
    }
}

CString CUserEntry::BuildPrompt(int kind) const {
    const unsigned int first = kind == kRepeatedRequest ? gwu::qw::kStringSerialRepeatedRequest
                                                        : gwu::qw::kStringSerialFirstRequest;
    return QX_LoadString(first) + "\r\n" + QX_LoadString(gwu::qw::kStringSerialRules);
}
