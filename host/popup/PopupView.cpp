// Reading a copy of a popup: attribute values, label heights, what is shown, and the popup
// drawn as text.
#include <string>
#include <vector>

#include "host/popup/PopupLibrary.h"
#include "host/popup/PopupNames.h"
#include "host/popup/PopupResources.h"
#include "platform/PopupAttributes.h"

namespace gwu::host {

namespace popup {

const char* ButtonName(int kind) {
    switch (kind) {
        case kTickButton:
            return "tick";
        case kCrossButton:
            return "cross";
        case kGoBackButton:
            return "go back";
        default:
            return "button";
    }
}

}  // namespace popup

namespace {

using namespace gwu::qw;  // the widget library's attribute codes
using popup::ButtonName;

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;  // the LF that follows ends the line
        }
        if (text[i] == '\n' || text[i] == '\r') {
            lines.push_back(line);
            line.clear();
        } else {
            line += text[i];
        }
    }
    lines.push_back(line);
    return lines;
}

}  // namespace

int FontLineHeight(int font) {
    switch (font) {
        case kFontTitle:
            return kTitleLineHeight;
        case kFontEntry:
            return kEntryLineHeight;
        default:
            return kDefaultLineHeight;
    }
}

const Attribute* WidgetSnapshot::Find(int code) const {
    for (const Attribute& attribute : attributes) {
        if (attribute.code == code) {
            return &attribute;
        }
    }
    return nullptr;
}

int WidgetSnapshot::Number(int code) const {
    const Attribute* attribute = Find(code);
    if (attribute == nullptr) {
        return code == kAttrVisible ? 1 : 0;
    }
    const auto* number = std::get_if<int>(&attribute->value);
    return number != nullptr ? *number : 0;
}

std::string WidgetSnapshot::Text() const {
    const Attribute* attribute = Find(kAttrText);
    const auto* text = attribute != nullptr ? std::get_if<std::string>(&attribute->value) : nullptr;
    return text != nullptr ? *text : std::string();
}

HICON WidgetSnapshot::Icon() const {
    const Attribute* attribute = Find(kAttrIcon);
    const auto* icon = attribute != nullptr ? std::get_if<HICON>(&attribute->value) : nullptr;
    return icon != nullptr ? *icon : nullptr;
}

int WidgetSnapshot::Height() const {
    if (const Attribute* given = Find(kAttrHeight);
        given != nullptr && std::holds_alternative<int>(given->value)) {
        return std::get<int>(given->value);
    }
    if (type != kWidgetLabel) {
        return 0;
    }
    int height = 0;
    if (Find(kAttrText) != nullptr) {
        height = static_cast<int>(SplitLines(Text()).size()) * FontLineHeight(Number(kAttrFont));
    }
    if (Icon() != nullptr && height < kIconSide) {
        height = kIconSide;
    }
    return height;
}

const WidgetSnapshot* PopupView::Find(int handle) const {
    for (const WidgetSnapshot& widget : widgets) {
        if (widget.handle == handle) {
            return &widget;
        }
    }
    return nullptr;
}

const WidgetSnapshot* PopupView::Button(int kind) const {
    for (const WidgetSnapshot& widget : widgets) {
        if (widget.type == kSystemButtonType && widget.buttonKind == kind) {
            return &widget;
        }
    }
    return nullptr;
}

bool PopupView::IsShown(int handle) const {
    const WidgetSnapshot* widget = Find(handle);
    if (widget == nullptr) {
        return false;
    }
    // Parents are made before their children, so the walk up always ends.
    while (widget != nullptr) {
        if (widget->Number(kAttrVisible) == 0) {
            return false;
        }
        widget = widget->handle == root ? nullptr : Find(widget->parent);
    }
    return true;
}

bool PopupView::ButtonShown(int kind) const {
    const WidgetSnapshot* button = Button(kind);
    return button != nullptr && IsShown(button->handle);
}

const WidgetSnapshot* PopupView::Keyboard() const {
    for (const WidgetSnapshot& widget : widgets) {
        if ((widget.type == kWidgetKeyboard || widget.type == kWidgetKeyboardVariant) &&
            IsShown(widget.handle)) {
            return &widget;
        }
    }
    return nullptr;
}

std::string PopupView::Render() const {
    std::vector<std::string> lines;
    int previous = 0;
    for (const WidgetSnapshot& widget : widgets) {
        if (widget.type != kWidgetLabel || !IsShown(widget.handle)) {
            continue;
        }
        std::vector<std::string> content;
        if (const HICON icon = widget.Icon(); icon != nullptr) {
            content.emplace_back(icon->Glyph());
        }
        if (widget.Find(kAttrText) != nullptr) {
            const bool framed =
                widget.Find(kAttrBackground) != nullptr && widget.Number(kAttrBackground) != kWhite;
            for (const std::string& line : SplitLines(widget.Text())) {
                content.push_back(framed ? "[" + line + "]" : line);
            }
        }
        const bool sameRow = previous != 0 && widget.Number(kAttrLeft) == previous &&
                             widget.Number(kAttrTop) == kAttachToParent && !lines.empty();
        for (size_t i = 0; i < content.size(); ++i) {
            if (i == 0 && sameRow) {
                lines.back() += " " + content[i];
            } else {
                lines.push_back(content[i]);
            }
        }
        previous = widget.handle;
    }
    std::string buttons;
    for (const int kind : {kTickButton, kCrossButton, kGoBackButton}) {
        if (ButtonShown(kind)) {
            buttons += std::string(buttons.empty() ? "" : " ") + "[" + ButtonName(kind) + "]";
        }
    }
    std::string text;
    for (std::string line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    text += "Buttons: " + (buttons.empty() ? std::string("none") : buttons) + "\n";
    return text;
}

}  // namespace gwu::host
