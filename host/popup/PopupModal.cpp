// The stand-in popup library's modal loop: DoModalPopup takes one event at a time from the
// installed driver and hands it to the keyboard or a system button, holding no lock while a
// driver or a callback runs.
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/popup/PopupLibrary.h"
#include "host/popup/PopupNames.h"
#include "host/popup/PopupWidgetTree.h"
#include "platform/PopupAttributes.h"

namespace gwu::host {

namespace {

using namespace gwu::qw;  // the widget library's attribute codes
using popup::ButtonName;
using popup::Callback;
using popup::Snapshot;
using popup::State;
using popup::Trace;

class NoInputDriver : public PopupDriver {
public:
    std::optional<PopupEvent> NextEvent(const PopupView& /*view*/) override { return {}; }
};

PopupDriver& DefaultDriver() {
    static NoInputDriver driver;
    return driver;
}

std::string DescribeKey(int code) {
    const int low = code & 0xFF;
    if (code == low && low >= 0x20 && low < 0x7F) {
        return std::string("key '") + static_cast<char>(low) + "'";
    }
    return "key " + std::to_string(code);
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

std::unique_ptr<PopupDriver> SetPopupDriver(std::unique_ptr<PopupDriver> driver) {
    State& state = popup::TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::swap(state.driver, driver);
    return driver;
}

}  // namespace gwu::host

using gwu::host::PopupOp;
using gwu::host::PopupTraceEntry;

int gwu::host::popup::RunModal(CTabPopup* popup) {
    auto& state = gwu::host::popup::TheState();
    auto* standIn = dynamic_cast<gwu::host::popup::StandInPopup*>(popup);
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
        gwu::host::popup::Trace(state, std::move(entry));
    }

    for (;;) {
        gwu::host::PopupView view;
        gwu::host::PopupDriver* driver = nullptr;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (standIn->Ended()) {
                break;
            }
            view = gwu::host::popup::Snapshot(state, root);
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

    std::unique_ptr<gwu::host::popup::StandInPopup> owned;
    std::lock_guard<std::mutex> lock(state.mutex);
    const int value = standIn->Value();
    PopupTraceEntry entry;
    entry.op = PopupOp::ModalEnd;
    entry.widget = root;
    entry.args = {value};
    gwu::host::popup::Trace(state, std::move(entry));
    for (auto widget = state.widgets.begin(); widget != state.widgets.end();) {
        widget = widget->second.root == root ? state.widgets.erase(widget) : std::next(widget);
    }
    const auto known = state.popups.find(root);
    owned = std::move(known->second);
    state.popups.erase(known);
    return value;
}
