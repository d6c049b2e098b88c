// The entry points of platform/Popup.h. Making, changing and deleting popups and widgets is
// here, each recorded in the trace; the modal run (PopupModal.cpp) and the resources
// (PopupResources.cpp) are behind the entry points that name them.
#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/popup/PopupLibrary.h"
#include "host/popup/PopupNames.h"
#include "host/popup/PopupResources.h"
#include "host/popup/PopupWidgetTree.h"
#include "platform/PopupAttributes.h"

namespace {

using namespace gwu::qw;  // the widget library's attribute codes
using namespace gwu::host::popup;
using gwu::host::PopupOp;
using gwu::host::PopupTraceEntry;

// The size of a message popup.
constexpr int kMessageWidth = 500;
constexpr int kMessageHeight = 200;

}  // namespace

CTabPopup* CEsbFrame::BlankPopup(int style, int width, int height, int placement) {
    auto& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    PopupTraceEntry entry;
    entry.op = PopupOp::BlankPopup;
    entry.args = {style, width, height, placement};
    if (width <= 0 || height <= 0) {
        Trace(state, std::move(entry));
        return nullptr;
    }
    StandInPopup* popup = CreatePopup(state, width, height);
    entry.widget = popup->GetRoot();
    Trace(state, std::move(entry));
    return popup;
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

namespace {

// Creates a widget of the type (a system button carries its kind, any other widget 0) and
// records the call under the operation with the type or kind the caller gave; the new handle.
int NewTracedWidget(gwu::host::PopupOp op, int tracedType, int type, int parent, int kind,
                    const QW_ATTR* attrs, int count) {
    using namespace gwu::host;
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    PopupTraceEntry entry;
    entry.op = op;
    entry.parent = parent;
    entry.type = tracedType;
    entry.attributes = CopyAttributes(attrs, count);
    entry.widget = CreateWidget(state, type, parent, entry.attributes, kind);
    Trace(state, std::move(entry));
    return state.trace.back().widget;
}

}  // namespace

int QW_NewWidget(int type, int parent, const QW_ATTR* attrs, int count) {
    return NewTracedWidget(gwu::host::PopupOp::NewWidget, type, type, parent, 0, attrs, count);
}

int QW_NewSystemButton(int parent, int kind, const QW_ATTR* attrs, int count) {
    return NewTracedWidget(gwu::host::PopupOp::NewSystemButton, kind, gwu::host::kSystemButtonType,
                           parent, kind, attrs, count);
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

int CEsbFrame::DoModalPopup(CTabPopup* popup) {
    return gwu::host::popup::RunModal(popup);
}

HICON QX_LoadIcon(unsigned int id) {
    return gwu::host::FindIcon(id);
}

CString QX_LoadString(unsigned int id) {
    return gwu::host::FindString(id);
}
