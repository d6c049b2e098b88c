// The stand-in host's popup and widget library: a headless widget tree whose popups run
// modally on the calling thread, fed by an input driver, with a trace of every call made to
// it.
//
// Model. Every widget keeps its type, its parent, its attributes in the order they were given
// (a later QW_SetValue replaces the value in place, or appends a new attribute) and its
// callbacks. Handles are issued in increasing order and never reused, so a handle of a widget
// that has gone names nothing. A popup's root is a widget of type kPopupRootType; system
// buttons are widgets of type kSystemButtonType with their kind beside.
//
// Sizes. A label reports as its height (attribute 56) the value it was given, else the number
// of its text lines times the line height of its font (FontLineHeight), and at least
// qw::kIconSide when it shows an icon. Attributes never given read 0, except visibility (17),
// which reads 1.
//
// Modal run. DoModalPopup asks the installed driver for one event at a time and delivers it:
// a key goes to the popup's first shown keyboard widget (types 11 and 13) as the event value
// of its reason-2 callbacks; a button press goes to the reason-2 callbacks of that system
// button, and is dropped while the button is hidden. When the driver has no more input, the
// popup is closed as the cross would close it: the cross's callbacks are called even when it
// is hidden, and a popup still running after that ends with -1. Nothing ever waits for input
// that cannot come.
//
// Threads. The library is meant for one thread at a time, as the real one is. Its state is
// locked internally, and no lock is held while a callback or a driver runs, so callbacks may
// call back into the library and start nested popups. Install drivers only while no popup is
// running, or from the running popup's own thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gatewayutils/platform/Popup.h"
#include "gatewayutils/platform/PopupAttributes.h"

namespace gwu::host {

// Widget types of the stand-in beyond the ones its callers create.
constexpr int kPopupRootType = -1;
constexpr int kSystemButtonType = -2;

// System button kinds and the fonts' line heights, as the widget library defines them.
using qw::kCrossButton;
using qw::kDefaultLineHeight;
using qw::kEntryLineHeight;
using qw::kGoBackButton;
using qw::kTickButton;
using qw::kTitleLineHeight;

// The line height of the font (qw::kFontTitle, qw::kFontEntry, else the default), in pixels.
int FontLineHeight(int font);

// An attribute as the library keeps it: texts are copied.
using AttrValue = std::variant<int, std::string, HICON>;
struct Attribute {
    int code = 0;
    AttrValue value;
};

// "63=16", "313=\"AB\\r\\n\"", "309=icon 163", "8=0xFFFFFF".
std::string DescribeAttribute(const Attribute& attribute);

// A copy of one widget.
struct WidgetSnapshot {
    int handle = 0;
    int type = 0;
    int parent = 0;
    int buttonKind = 0;  // system buttons only
    std::vector<Attribute> attributes;
    std::vector<int> callbackReasons;

    const Attribute* Find(int code) const;
    // The number held by an attribute; 0 for none, 1 for visibility never given.
    int Number(int code) const;
    std::string Text() const;  // attribute 313, empty when none
    HICON Icon() const;        // attribute 309
    int Height() const;        // as described above
};

// A copy of one popup and its widgets, in creation order, the root first.
struct PopupView {
    int root = 0;
    std::vector<WidgetSnapshot> widgets;

    const WidgetSnapshot* Find(int handle) const;
    const WidgetSnapshot* Button(int kind) const;
    // Whether the widget and every widget above it are visible.
    bool IsShown(int handle) const;
    bool ButtonShown(int kind) const;
    // The keyboard that receives keys, if any.
    const WidgetSnapshot* Keyboard() const;
    // The popup as lines of text: shown labels (icons as their glyph, labels with a coloured
    // background in brackets, a label attached to the right of the one before on the same
    // line), then the shown system buttons.
    std::string Render() const;
};

// One input event of a modal run.
struct PopupEvent {
    enum class Kind { Key, Button };
    Kind kind = Kind::Key;
    int code = 0;  // Key: the character code (8 for backspace); Button: the button kind

    static PopupEvent Key(int code) { return {Kind::Key, code}; }
    static PopupEvent Press(int kind) { return {Kind::Button, kind}; }
};

// Where a modal run takes its events from. Called on the thread of the run.
class PopupDriver {
public:
    virtual ~PopupDriver() = default;
    // The next event for the running popup, shown as it is now; nothing when the input has
    // run out.
    virtual std::optional<PopupEvent> NextEvent(const PopupView& view) = 0;
};

// Installs the driver for every popup from now on and hands back the one it replaces. A null
// driver installs the default, which has no input.
std::unique_ptr<PopupDriver> SetPopupDriver(std::unique_ptr<PopupDriver> driver);

// What the trace records.
enum class PopupOp {
    BlankPopup,       // widget: the new root; args: the four arguments
    MessagePopup,     // widget: the new root; args: the five ints; text: title and message
    NewWidget,        // widget, parent, type, attributes
    NewSystemButton,  // widget, parent, type (the kind), attributes
    SetValue,         // widget, attributes (the one set), args: the flag
    ValueOf,          // widget, args: the code and the value read
    AddCallback,      // widget, type (the reason), args: the client data
    DeleteWidget,     // widget, args: the flag
    ModalBegin,       // widget: the root
    Input,            // widget: the root; text: what happened to the event
    EndPopup,         // widget: the root; args: the value
    ModalEnd,         // widget: the root; args: the value returned
};

struct PopupTraceEntry {
    PopupOp op = PopupOp::NewWidget;
    int widget = 0;
    int parent = 0;
    int type = 0;
    std::vector<Attribute> attributes;
    std::vector<int> args;
    std::string text;

    // One readable line, e.g. "NewWidget(3, #1, [63=16, 64=16]) -> #5" or "SetValue(#2, 17=0, 1)".
    std::string Describe() const;
};

std::vector<PopupTraceEntry> PopupTrace();
std::vector<std::string> PopupTraceLines();

// The popup with that root as it is now; nothing when there is none.
std::optional<PopupView> ViewOfPopup(int root);

// Forgets every popup, widget and trace entry and starts handles at 1 again; the driver stays.
// Refused (false) while a popup is running.
bool ResetPopupLibrary();

}  // namespace gwu::host
