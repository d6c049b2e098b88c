// The stand-in popup library's widget tree: its one state, how widgets and popups are made and
// copied, and the public looks at it (ViewOfPopup, ResetPopupLibrary).
#include "host/popup/PopupWidgetTree.h"

#include <utility>

#include "platform/PopupAttributes.h"

namespace gwu::host::popup {

using namespace gwu::qw;  // the widget library's attribute codes

State& TheState() {
    static State state;
    return state;
}

void StandInPopup::EndPopup(int value) {
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

void Trace(State& state, PopupTraceEntry entry) {
    state.trace.push_back(std::move(entry));
}

}  // namespace gwu::host::popup

namespace gwu::host {

std::optional<PopupView> ViewOfPopup(int root) {
    popup::State& state = popup::TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.popups.count(root) == 0) {
        return std::nullopt;
    }
    return popup::Snapshot(state, root);
}

bool ResetPopupLibrary() {
    popup::State& state = popup::TheState();
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
