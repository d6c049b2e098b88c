// The stand-in popup library's widget tree: every widget and popup, the trace and the installed
// driver, behind one lock. Shared by the files of the stand-in only; nothing outside includes it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/popup/PopupLibrary.h"

namespace gwu::host::popup {

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

// The one state of the library.
State& TheState();

class StandInPopup : public CTabPopup {
public:
    explicit StandInPopup(int root) : m_root(root) {}

    int GetRoot() const override { return m_root; }
    // Takes the state's lock.
    void EndPopup(int value) override;

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

// Copies of the caller's attribute records; texts are copied.
std::vector<Attribute> CopyAttributes(const QW_ATTR* attrs, int count);

// Sets an attribute: replaces the value in place, or appends the attribute.
void Apply(std::vector<Attribute>& attributes, const Attribute& attribute);

// Under the state's lock. Returns 0 when the parent does not exist.
int CreateWidget(State& state, int type, int parent, const std::vector<Attribute>& attributes,
                 int buttonKind);

// Under the state's lock. A new popup with its root.
StandInPopup* CreatePopup(State& state, int width, int height);

// Under the state's lock. Copies of the popup's widgets.
PopupView Snapshot(const State& state, int root);

// Under the state's lock.
void Trace(State& state, PopupTraceEntry entry);

// The modal run behind CEsbFrame::DoModalPopup.
int RunModal(CTabPopup* popup);

}  // namespace gwu::host::popup
