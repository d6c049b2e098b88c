#include "dialogs/CTabDialog.h"
#include "platform/PopupAttributes.h"

namespace {

using namespace gwu::qw;  // the popup and widget libraries' codes

constexpr int kFlag = 1;

}  // namespace

CTabDialog::CTabDialog(int width, int height) : m_width(width), m_height(height) {}

CTabDialog::~CTabDialog() = default;

void CTabDialog::SetTitle(const char* title) {
    m_title = title != nullptr ? title : "";
    if (m_titleLabel != 0) {
        QW_SetValue(m_titleLabel, kAttrText, m_title.c_str(), kFlag);
    }
}

void CTabDialog::SetIcon(unsigned int iconId) {
    m_icon = QX_LoadIcon(iconId);
    if (m_iconLabel != 0) {
        QW_SetValue(m_iconLabel, kAttrIcon, m_icon, kFlag);
    }
}

int CTabDialog::DoModal() {
    CreateDisplay();
    if (m_popup == nullptr) {
        ForgetWidgets();
        return -1;
    }
    QW_SetValue(m_root, kAttrVisible, 1, kFlag);
    const int result = CEsbFrame::DoModalPopup(m_popup);
    m_popup = nullptr;
    ForgetWidgets();
    return result;
}

void CTabDialog::ShowTickButton() {
    QW_SetValue(m_tickButton, kAttrVisible, 1, kFlag);
}
void CTabDialog::HideTickButton() {
    QW_SetValue(m_tickButton, kAttrVisible, 0, kFlag);
}
void CTabDialog::ShowCrossButton() {
    QW_SetValue(m_crossButton, kAttrVisible, 1, kFlag);
}
void CTabDialog::HideCrossButton() {
    QW_SetValue(m_crossButton, kAttrVisible, 0, kFlag);
}
void CTabDialog::ShowGoBackButton() {
    QW_SetValue(m_goBackButton, kAttrVisible, 1, kFlag);
}
void CTabDialog::HideGoBackButton() {
    QW_SetValue(m_goBackButton, kAttrVisible, 0, kFlag);
}

void CTabDialog::CreateDisplay() {
    m_popup = CEsbFrame::BlankPopup(0, m_width, m_height, 4);
    if (m_popup == nullptr) {
        return;
    }
    m_root = m_popup->GetRoot();
    QW_SetValue(m_root, kAttrVisible, 0, kFlag);

    // Each button hands its own handle back to ButtonCallback, called virtually so that a
    // subclass's override receives the presses.
    const auto addButton = [this](int kind) {
        const int button = QW_NewSystemButton(m_root, kind, nullptr, 0);
        if (kind == kGoBackButton) {
            QW_SetValue(button, 401, 2, kFlag);
        }
        QW_SetValue(button, kAttrVisible, 1, kFlag);
        QW_AddCallback(
            button, kCallbackActivated,
            [this](int reason, int widget, int value) {
                return ButtonCallback(reason, widget, value);
            },
            button);
        return button;
    };
    m_tickButton = addButton(kTickButton);
    m_crossButton = addButton(kCrossButton);
    m_goBackButton = addButton(kGoBackButton);

    const QW_ATTR iconAttrs[] = {
        {kAttrLeft, kAttachToParent},
        {kAttrTop, kAttachToParent},
        {kAttrWidth, kIconSide},
        {kAttrHeight, kIconSide},
        {301, 1},
        {kAttrIcon, m_icon},
    };
    m_iconLabel = QW_NewWidget(kWidgetLabel, m_root, iconAttrs, 6);

    const QW_ATTR titleAttrs[] = {
        {kAttrLeft, m_iconLabel},    {kAttrRight, kAttachToParent},
        {kAttrTop, kAttachToParent}, {kAttrText, m_title.c_str()},
        {kAttrFont, kFontTitle},     {312, 1},
        {kAttrFormat, 33},           {15, 2},
    };
    m_titleLabel = QW_NewWidget(kWidgetLabel, m_root, titleAttrs, 8);

    // The title row is never lower than the icon.
    const int iconHeight = QW_ValueOf(m_iconLabel, kAttrHeight);
    const int titleHeight = QW_ValueOf(m_titleLabel, kAttrHeight);
    if (iconHeight > titleHeight) {
        QW_SetValue(m_titleLabel, kAttrHeight, iconHeight, kFlag);
    }

    const QW_ATTR bodyAttrs[] = {
        {kAttrTop, m_titleLabel},       {kAttrLeft, kAttachToParent}, {kAttrRight, kAttachToParent},
        {kAttrBottom, kAttachToParent}, {kAttrBackground, kWhite},    {50, 7},
    };
    m_body = QW_NewWidget(kWidgetContainer, m_root, bodyAttrs, 6);

    CreateControls();
}

void CTabDialog::EndDialog(int result) {
    OnEndDialog(result);
    if (m_popup != nullptr) {
        m_popup->EndPopup(result);
    }
}

int CTabDialog::ButtonCallback(int /*reason*/, int widget, int /*callData*/) {
    // Outside a run the button handles are 0, which names no widget.
    if (widget == 0) {
        return 1;
    }
    if (widget == m_tickButton) {
        EndDialog(1);
    } else if (widget == m_crossButton || widget == m_goBackButton) {
        EndDialog(-1);
    }
    return 1;
}

void CTabDialog::ForgetWidgets() {
    m_goBackButton = 0;
    m_tickButton = 0;
    m_crossButton = 0;
    m_body = 0;
    m_root = 0;
    m_titleLabel = 0;
    m_iconLabel = 0;
}
