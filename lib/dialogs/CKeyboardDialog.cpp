#include "dialogs/CKeyboardDialog.h"
#include "platform/PopupAttributes.h"

namespace {

constexpr int kWidth = 700;
constexpr int kHeight = 400;

using namespace gwu::qw;  // the popup and widget libraries' codes

constexpr int kFlag = 1;

// Short entries are shown in a larger format.
constexpr int kFormatEntry = 2;
constexpr int kFormatShortEntry = 32;
constexpr int kShortEntryLimit = 50;

constexpr char kBackspace = 8;

// The library-wide text that a line of the entry font is measured with.
constexpr const char* kMeasureText = "X";

}  // namespace

CKeyboardDialog::CKeyboardDialog(const char* title, const char* prompt, int maxLength,
                                 bool noSpaces, bool allowCancel, int minLength,
                                 bool keyboardVariant)
    : CTabDialog(kWidth, kHeight),
      m_maxLength(maxLength),
      m_noSpaces(noSpaces),
      m_hideCross(!allowCancel),
      m_minLength(minLength),
      m_keyboardVariant(keyboardVariant) {
    SetTitle(title);
    m_prompt = prompt != nullptr ? prompt : "";
    SetIcon(kIconKeyboard);
    DoModal();
}

CKeyboardDialog::~CKeyboardDialog() = default;

void CKeyboardDialog::CreateControls() {
    const int entryFormat =
        kFormatEntry + (m_maxLength <= kShortEntryLimit ? kFormatShortEntry : 0);
    const int boxHeight = 3 * MeasureLineHeight(m_body);

    int promptLabel = 0;
    if (!m_prompt.empty()) {
        const QW_ATTR promptAttrs[] = {
            {kAttrLeft, kAttachToParent},  {kAttrRight, kAttachToParent},
            {kAttrTop, kAttachToParent},   {kAttrHeight, boxHeight},
            {kAttrFont, kFontEntry},       {kAttrFormat, 34},
            {kAttrText, m_prompt.c_str()},
        };
        promptLabel = QW_NewWidget(kWidgetLabel, m_body, promptAttrs, 7);
    }

    const QW_ATTR entryAttrs[] = {
        {kAttrLeft, kAttachToParent},
        {kAttrRight, kAttachToParent},
        {kAttrTop, promptLabel != 0 ? promptLabel : kAttachToParent},
        {kAttrHeight, boxHeight},
        {kAttrFormat, entryFormat},
        {kAttrFont, kFontEntry},
        {kAttrText, m_text.c_str()},
        {kAttrBackground, kLightGrey},
        {50, 6},
    };
    m_entryLabel = QW_NewWidget(kWidgetLabel, m_body, entryAttrs, 9);

    const QW_ATTR keyboardAttrs[] = {
        {kAttrLeft, kAttachToParent},
        {kAttrRight, kAttachToParent},
        {kAttrBottom, kAttachToParent},
        {kAttrTop, m_entryLabel},
        {0, 5},
        {50, 7},
        {15, 0},
    };
    m_keyboard = QW_NewWidget(m_keyboardVariant ? kWidgetKeyboardVariant : kWidgetKeyboard, m_body,
                              keyboardAttrs, 7);
    QW_AddCallback(
        m_keyboard, kCallbackActivated,
        [this](int reason, int widget, int value) { return KeyCallback(reason, widget, value); },
        m_keyboard);

    // The text is empty, so the tick waits for the first key.
    HideTickButton();
    if (m_hideCross) {
        HideCrossButton();
    }
}

void CKeyboardDialog::OnEndDialog(int result) {
    if (result == 1) {
        m_accepted = true;
    }
}

int CKeyboardDialog::KeyCallback(int reason, int widget, int eventValue) {
    if (widget == m_keyboard && widget != 0 && reason == kCallbackActivated) {
        HandleKey(static_cast<char>(static_cast<unsigned char>(eventValue & 0xFF)));
    }
    return 1;
}

void CKeyboardDialog::HandleKey(char key) {
    const bool accepted = (key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9') || key == '_' ||
                          (key == ' ' && !m_noSpaces);
    if (accepted) {
        if (static_cast<long long>(m_text.size()) < m_maxLength) {
            m_text += key;
            QW_SetValue(m_entryLabel, kAttrText, m_text.c_str(), kFlag);
        }
    } else if (key == kBackspace && !m_text.empty()) {
        m_text.pop_back();
        QW_SetValue(m_entryLabel, kAttrText, m_text.c_str(), kFlag);
    }

    if (static_cast<long long>(m_text.size()) >= m_minLength) {
        ShowTickButton();
    } else {
        HideTickButton();
    }
    if (m_hideCross) {
        HideCrossButton();
    }
}

int CKeyboardDialog::MeasureLineHeight(int parent) {
    const QW_ATTR attrs[] = {
        {kAttrTop, kAttachToParent},
        {kAttrLeft, kAttachToParent},
        {kAttrText, kMeasureText},
        {kAttrFont, kFontEntry},
        {312, 1},
        {kAttrVisible, 0},
    };
    int label = QW_NewWidget(kWidgetLabel, parent, attrs, 6);
    const int height = QW_ValueOf(label, kAttrHeight);
    QW_DeleteWidget(label, 0);
    return height;
}
