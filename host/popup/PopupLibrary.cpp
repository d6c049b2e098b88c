#include "PopupLibrary.h"
#include "platform/PopupAttributes.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>

#include "PopupResources.h"

namespace gwu::host {

namespace {

using namespace gwu::qw;  // the widget library's attribute codes

// The size of a message popup.
constexpr int kMessageWidth = 500;
constexpr int kMessageHeight = 200;

struct Callback {
    int reason = 0;
    QW_CALLBACK function;
    int clientData = 0;
};

struct Widget {
    WidgetSnapshot info;
    int root = 0;  // the root of the popup the widget is on
    std::vector<Callback> callbacks;
};

class StandInPopup;

struct State {
    std::mutex mutex;
    int nextHandle = 1;
    std::map<int, Widget> widgets;                        // by handle, so in creation order
    std::map<int, std::unique_ptr<StandInPopup>> popups;  // by root
    std::vector<PopupTraceEntry> trace;
    std::unique_ptr<PopupDriver> driver;
};

State& TheState() {
    static State state;
    return state;
}

class StandInPopup : public CTabPopup {
public:
    explicit StandInPopup(int root) : m_root(root) {}

    int GetRoot() const override { return m_root; }

    void EndPopup(int value) override {
        State& state = TheState();
        std::lock_guard<std::mutex> lock(state.mutex);
        PopupTraceEntry entry;
        entry.op = PopupOp::EndPopup;
        entry.widget = m_root;
        entry.args = {value};
        state.trace.push_back(std::move(entry));
        if (!m_ended) {
            m_ended = true;
            m_value = value;
        }
    }

    // Under the state's lock.
    bool Ended() const { return m_ended; }
    int Value() const { return m_value; }
    bool Running() const { return m_running; }
    void SetRunning() { m_running = true; }

private:
    int m_root;
    bool m_ended = false;
    int m_value = 0;
    bool m_running = false;
};

class NoInputDriver : public PopupDriver {
public:
    std::optional<PopupEvent> NextEvent(const PopupView& /*view*/) override { return {}; }
};

PopupDriver& DefaultDriver() {
    static NoInputDriver driver;
    return driver;
}

std::vector<Attribute> CopyAttributes(const QW_ATTR* attrs, int count) {
    std::vector<Attribute> copies;
    if (attrs == nullptr || count <= 0) {
        return copies;
    }
    copies.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Attribute copy;
        copy.code = attrs[i].code;
        if (const auto* number = std::get_if<int>(&attrs[i].value)) {
            copy.value = *number;
        } else if (const auto* text = std::get_if<const char*>(&attrs[i].value)) {
            copy.value = std::string(*text != nullptr ? *text : "");
        } else {
            copy.value = std::get<HICON>(attrs[i].value);
        }
        copies.push_back(std::move(copy));
    }
    return copies;
}

void Apply(std::vector<Attribute>& attributes, const Attribute& attribute) {
    for (Attribute& existing : attributes) {
        if (existing.code == attribute.code) {
            existing.value = attribute.value;
            return;
        }
    }
    attributes.push_back(attribute);
}

// Under the state's lock. Returns 0 when the parent does not exist.
int CreateWidget(State& state, int type, int parent, const std::vector<Attribute>& attributes,
                 int buttonKind) {
    const auto parentWidget = state.widgets.find(parent);
    if (parentWidget == state.widgets.end()) {
        return 0;
    }
    Widget widget;
    widget.info.handle = state.nextHandle++;
    widget.info.type = type;
    widget.info.parent = parent;
    widget.info.buttonKind = buttonKind;
    for (const Attribute& attribute : attributes) {
        Apply(widget.info.attributes, attribute);
    }
    widget.root = parentWidget->second.root;
    const int handle = widget.info.handle;
    state.widgets.emplace(handle, std::move(widget));
    return handle;
}

// Under the state's lock. A new popup with its root.
StandInPopup* CreatePopup(State& state, int width, int height) {
    Widget root;
    root.info.handle = state.nextHandle++;
    root.info.type = kPopupRootType;
    root.info.attributes = {{kAttrWidth, width}, {kAttrHeight, height}, {kAttrVisible, 1}};
    root.root = root.info.handle;
    const int handle = root.info.handle;
    state.widgets.emplace(handle, std::move(root));
    auto popup = std::make_unique<StandInPopup>(handle);
    StandInPopup* made = popup.get();
    state.popups.emplace(handle, std::move(popup));
    return made;
}

// Under the state's lock.
PopupView Snapshot(const State& state, int root) {
    PopupView view;
    view.root = root;
    for (const auto& [handle, widget] : state.widgets) {
        if (widget.root == root) {
            view.widgets.push_back(widget.info);
        }
    }
    return view;
}

// Under the state's lock.
void Trace(State& state, PopupTraceEntry entry) {
    state.trace.push_back(std::move(entry));
}

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

std::string Escape(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '\r':
                escaped += "\\r";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\\':
                escaped += "\\\\";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string DescribeKey(int code) {
    const int low = code & 0xFF;
    if (code == low && low >= 0x20 && low < 0x7F) {
        return std::string("key '") + static_cast<char>(low) + "'";
    }
    return "key " + std::to_string(code);
}

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

// Hands one event to the running popup. Takes the lock only to find the callbacks.
void Deliver(State& state, int root, const PopupEvent& event, bool force) {
    std::vector<Callback> callbacks;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        const PopupView view = Snapshot(state, root);
        PopupTraceEntry entry;
        entry.op = PopupOp::Input;
        entry.widget = root;
        const WidgetSnapshot* target = nullptr;
        if (event.kind == PopupEvent::Kind::Key) {
            entry.text = DescribeKey(event.code);
            target = view.Keyboard();
            if (target == nullptr) {
                entry.text += " (no keyboard, dropped)";
            }
        } else {
            entry.text = std::string("press ") + ButtonName(event.code);
            target = view.Button(event.code);
            if (target == nullptr) {
                entry.text += " (no such button, dropped)";
            } else if (!view.IsShown(target->handle) && !force) {
                entry.text += " (hidden, dropped)";
                target = nullptr;
            }
        }
        Trace(state, std::move(entry));
        if (target == nullptr) {
            return;
        }
        for (const Callback& callback : state.widgets.at(target->handle).callbacks) {
            if (callback.reason == kCallbackActivated) {
                callbacks.push_back(callback);
            }
        }
    }
    const int value = event.kind == PopupEvent::Kind::Key ? event.code : 0;
    for (const Callback& callback : callbacks) {
        callback.function(kCallbackActivated, callback.clientData, value);
    }
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

std::string DescribeAttribute(const Attribute& attribute) {
    std::string text = std::to_string(attribute.code) + "=";
    if (const auto* number = std::get_if<int>(&attribute.value)) {
        if (attribute.code == kAttrBackground) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%06X", static_cast<unsigned>(*number));
            text += hex;
        } else {
            text += std::to_string(*number);
        }
    } else if (const auto* string = std::get_if<std::string>(&attribute.value)) {
        text += "\"" + Escape(*string) + "\"";
    } else {
        const HICON icon = std::get<HICON>(attribute.value);
        text += icon != nullptr ? "icon " + std::to_string(IconId(icon)) : "no icon";
    }
    return text;
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

std::string PopupTraceEntry::Describe() const {
    std::ostringstream out;
    const auto handle = [](int h) { return "#" + std::to_string(h); };
    const auto attributeList = [this]() {
        std::string list = "[";
        for (size_t i = 0; i < attributes.size(); ++i) {
            list += (i == 0 ? "" : ", ") + DescribeAttribute(attributes[i]);
        }
        return list + "]";
    };
    const auto arg = [this](size_t i) { return i < args.size() ? args[i] : 0; };
    switch (op) {
        case PopupOp::BlankPopup:
            out << "BlankPopup(" << arg(0) << ", " << arg(1) << ", " << arg(2) << ", " << arg(3)
                << ") -> " << handle(widget);
            break;
        case PopupOp::MessagePopup:
            out << "MessagePopup(" << arg(0) << ", " << text << ", " << arg(1) << ", " << arg(2)
                << ", " << arg(3) << ", " << arg(4) << ", " << arg(5) << ") -> " << handle(widget);
            break;
        case PopupOp::NewWidget:
            out << "NewWidget(" << type << ", " << handle(parent) << ", " << attributeList()
                << ") -> " << handle(widget);
            break;
        case PopupOp::NewSystemButton:
            out << "NewSystemButton(" << handle(parent) << ", " << type << ", " << attributeList()
                << ") -> " << handle(widget);
            break;
        case PopupOp::SetValue:
            out << "SetValue(" << handle(widget) << ", "
                << (attributes.empty() ? std::string("?") : DescribeAttribute(attributes[0]))
                << ", " << arg(0) << ")";
            break;
        case PopupOp::ValueOf:
            out << "ValueOf(" << handle(widget) << ", " << arg(0) << ") = " << arg(1);
            break;
        case PopupOp::AddCallback:
            out << "AddCallback(" << handle(widget) << ", " << type << ", data " << arg(0) << ")";
            break;
        case PopupOp::DeleteWidget:
            out << "DeleteWidget(" << handle(widget) << ", " << arg(0) << ")";
            break;
        case PopupOp::ModalBegin:
            out << "DoModalPopup(" << handle(widget) << ") begins";
            break;
        case PopupOp::Input:
            out << "input " << handle(widget) << ": " << text;
            break;
        case PopupOp::EndPopup:
            out << "EndPopup(" << handle(widget) << ", " << arg(0) << ")";
            break;
        case PopupOp::ModalEnd:
            out << "DoModalPopup(" << handle(widget) << ") returns " << arg(0);
            break;
    }
    return out.str();
}

std::unique_ptr<PopupDriver> SetPopupDriver(std::unique_ptr<PopupDriver> driver) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::swap(state.driver, driver);
    return driver;
}

std::vector<PopupTraceEntry> PopupTrace() {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.trace;
}

std::vector<std::string> PopupTraceLines() {
    std::vector<std::string> lines;
    for (const PopupTraceEntry& entry : PopupTrace()) {
        lines.push_back(entry.Describe());
    }
    return lines;
}

std::optional<PopupView> ViewOfPopup(int root) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.popups.count(root) == 0) {
        return std::nullopt;
    }
    return Snapshot(state, root);
}

bool ResetPopupLibrary() {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const auto& [root, popup] : state.popups) {
        if (popup->Running()) {
            return false;
        }
    }
    state.popups.clear();
    state.widgets.clear();
    state.trace.clear();
    state.nextHandle = 1;
    return true;
}

}  // namespace gwu::host

using gwu::host::PopupOp;
using gwu::host::PopupTraceEntry;

CTabPopup* CEsbFrame::BlankPopup(int style, int width, int height, int placement) {
    auto& state = gwu::host::TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    PopupTraceEntry entry;
    entry.op = PopupOp::BlankPopup;
    entry.args = {style, width, height, placement};
    if (width <= 0 || height <= 0) {
        gwu::host::Trace(state, std::move(entry));
        return nullptr;
    }
    gwu::host::StandInPopup* popup = gwu::host::CreatePopup(state, width, height);
    entry.widget = popup->GetRoot();
    gwu::host::Trace(state, std::move(entry));
    return popup;
}

int CEsbFrame::DoModalPopup(CTabPopup* popup) {
    auto& state = gwu::host::TheState();
    auto* standIn = dynamic_cast<gwu::host::StandInPopup*>(popup);
    if (standIn == nullptr) {
        return -1;
    }
    const int root = standIn->GetRoot();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        const auto known = state.popups.find(root);
        if (known == state.popups.end() || known->second.get() != standIn || standIn->Running()) {
            return -1;  // gone already, or run twice
        }
        standIn->SetRunning();
        PopupTraceEntry entry;
        entry.op = PopupOp::ModalBegin;
        entry.widget = root;
        gwu::host::Trace(state, std::move(entry));
    }

    for (;;) {
        gwu::host::PopupView view;
        gwu::host::PopupDriver* driver = nullptr;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (standIn->Ended()) {
                break;
            }
            view = gwu::host::Snapshot(state, root);
            driver = state.driver != nullptr ? state.driver.get() : &gwu::host::DefaultDriver();
        }
        const std::optional<gwu::host::PopupEvent> event = driver->NextEvent(view);
        if (event) {
            gwu::host::Deliver(state, root, *event, false);
            continue;
        }
        // Out of input: close the popup as the cross would, and make sure it ends.
        gwu::host::Deliver(state, root, gwu::host::PopupEvent::Press(gwu::host::kCrossButton),
                           true);
        bool ended = false;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            ended = standIn->Ended();
        }
        if (!ended) {
            standIn->EndPopup(-1);
        }
    }

    std::unique_ptr<gwu::host::StandInPopup> owned;
    std::lock_guard<std::mutex> lock(state.mutex);
    const int value = standIn->Value();
    PopupTraceEntry entry;
    entry.op = PopupOp::ModalEnd;
    entry.widget = root;
    entry.args = {value};
    gwu::host::Trace(state, std::move(entry));
    for (auto widget = state.widgets.begin(); widget != state.widgets.end();) {
        widget = widget->second.root == root ? state.widgets.erase(widget) : std::next(widget);
    }
    const auto known = state.popups.find(root);
    owned = std::move(known->second);
    state.popups.erase(known);
    return value;
}

int CEsbFrame::MessagePopup(int style, CString title, CString text, unsigned int iconId, int format,
                            int reserved1, int reserved2, int reserved3) {
    using namespace gwu::host;
    State& state = TheState();
    StandInPopup* popup = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        popup = CreatePopup(state, kMessageWidth, kMessageHeight);
        const int root = popup->GetRoot();
        PopupTraceEntry entry;
        entry.op = PopupOp::MessagePopup;
        entry.widget = root;
        entry.args = {style, static_cast<int>(iconId), format, reserved1, reserved2, reserved3};
        entry.text = "\"" + Escape(title) + "\", \"" + Escape(text) + "\"";
        Trace(state, std::move(entry));

        // The popup's own controls are the library's business and stay out of the trace.
        const int icon = CreateWidget(state, kWidgetLabel, root,
                                      {{kAttrLeft, kAttachToParent},
                                       {kAttrTop, kAttachToParent},
                                       {kAttrIcon, QX_LoadIcon(iconId)}},
                                      0);
        const int titleLabel = CreateWidget(state, kWidgetLabel, root,
                                            {{kAttrLeft, icon},
                                             {kAttrTop, kAttachToParent},
                                             {kAttrText, title},
                                             {kAttrFont, kFontTitle}},
                                            0);
        CreateWidget(state, kWidgetLabel, root,
                     {{kAttrTop, titleLabel}, {kAttrText, text}, {kAttrFormat, format}}, 0);
        const int tick = CreateWidget(state, kSystemButtonType, root, {}, kTickButton);
        state.widgets.at(tick).callbacks.push_back({kCallbackActivated,
                                                    [popup](int, int, int) {
                                                        popup->EndPopup(1);
                                                        return 1;
                                                    },
                                                    tick});
        state.widgets.at(tick).info.callbackReasons.push_back(kCallbackActivated);
    }
    return DoModalPopup(popup);
}

int QW_NewWidget(int type, int parent, const QW_ATTR* attrs, int count) {
    using namespace gwu::host;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    PopupTraceEntry entry;
    entry.op = PopupOp::NewWidget;
    entry.parent = parent;
    entry.type = type;
    entry.attributes = CopyAttributes(attrs, count);
    entry.widget = CreateWidget(state, type, parent, entry.attributes, 0);
    Trace(state, std::move(entry));
    return state.trace.back().widget;
}

int QW_NewSystemButton(int parent, int kind, const QW_ATTR* attrs, int count) {
    using namespace gwu::host;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    PopupTraceEntry entry;
    entry.op = PopupOp::NewSystemButton;
    entry.parent = parent;
    entry.type = kind;
    entry.attributes = CopyAttributes(attrs, count);
    entry.widget = CreateWidget(state, kSystemButtonType, parent, entry.attributes, kind);
    Trace(state, std::move(entry));
    return state.trace.back().widget;
}

int QW_SetValue(int widget, int attr, QW_VALUE value, int flag) {
    using namespace gwu::host;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    const QW_ATTR given{attr, value};
    PopupTraceEntry entry;
    entry.op = PopupOp::SetValue;
    entry.widget = widget;
    entry.attributes = CopyAttributes(&given, 1);
    entry.args = {flag};
    const auto target = state.widgets.find(widget);
    const bool found = target != state.widgets.end();
    if (found) {
        Apply(target->second.info.attributes, entry.attributes.front());
    }
    Trace(state, std::move(entry));
    return found ? 1 : 0;
}

int QW_ValueOf(int widget, int attr) {
    using namespace gwu::host;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto target = state.widgets.find(widget);
    int value = 0;
    if (target != state.widgets.end()) {
        const WidgetSnapshot& info = target->second.info;
        value = attr == kAttrHeight ? info.Height() : info.Number(attr);
    }
    PopupTraceEntry entry;
    entry.op = PopupOp::ValueOf;
    entry.widget = widget;
    entry.args = {attr, value};
    Trace(state, std::move(entry));
    return value;
}

int QW_AddCallback(int widget, int reason, QW_CALLBACK callback, int clientData) {
    using namespace gwu::host;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    PopupTraceEntry entry;
    entry.op = PopupOp::AddCallback;
    entry.widget = widget;
    entry.type = reason;
    entry.args = {clientData};
    Trace(state, std::move(entry));
    const auto target = state.widgets.find(widget);
    if (target == state.widgets.end() || !callback) {
        return 0;
    }
    target->second.callbacks.push_back({reason, std::move(callback), clientData});
    target->second.info.callbackReasons.push_back(reason);
    return 1;
}

void QW_DeleteWidget(int& widget, int flag) {
    using namespace gwu::host;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    PopupTraceEntry entry;
    entry.op = PopupOp::DeleteWidget;
    entry.widget = widget;
    entry.args = {flag};
    Trace(state, std::move(entry));
    const auto target = state.widgets.find(widget);
    // A popup's root goes with its popup, not on its own.
    if (target != state.widgets.end() && target->second.info.type != kPopupRootType) {
        // Children are made after their parents, so one pass in handle order finds them all.
        std::vector<int> doomed = {widget};
        for (auto it = std::next(target); it != state.widgets.end(); ++it) {
            if (std::find(doomed.begin(), doomed.end(), it->second.info.parent) != doomed.end()) {
                doomed.push_back(it->first);
            }
        }
        for (const int gone : doomed) {
            state.widgets.erase(gone);
        }
    }
    widget = 0;
}
