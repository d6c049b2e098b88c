// The host's popup and widget libraries, as the dialogs and the repair use them.
//
// Both libraries work on one thread: the thread that runs a popup's modal loop is the thread
// on which every widget callback of that popup arrives, and every call below is made from it.
// Widgets are named by int handles issued by the widget library; 0 names no widget. A popup
// and its widgets belong to the popup library; the library never deletes either.
#pragma once

#include <functional>
#include <variant>

#include "gatewayutils/platform/Types.h"

// The host's execution engine. The library only passes it along; it never looks inside.
class EE_CExecutionEngine;

// An icon resource of the popup library. Icons are shared resources: whoever loads one
// borrows it, nobody frees it.
class QxIcon;
using HICON = const QxIcon*;

// The value of one widget attribute: a number, a NUL-terminated text (the widget library
// copies it during the call, so the pointer only has to live that long) or an icon.
using QW_VALUE = std::variant<int, const char*, HICON>;

// One attribute record: the attribute code and its value. A widget is created from an array
// of these, applied in the order given.
struct GWU_HOST_TYPE QW_ATTR {
    int code = 0;
    QW_VALUE value;
};

// A widget callback. The widget library calls it with the reason of the event, the client
// data given when the callback was added (the dialogs give the widget's own handle) and the
// event's value (the character code of a keyboard key, 0 for a button press). The result
// tells the widget library whether the event was handled (nonzero).
using QW_CALLBACK = std::function<int(int reason, int clientData, int eventValue)>;

// A popup made by the popup library; it stays the library's from BlankPopup until its modal
// run has ended, when the library destroys it together with its widgets.
class GWU_HOST_TYPE CTabPopup {
public:
    virtual ~CTabPopup() = default;
    // The root widget: the parent of every control placed on the popup.
    virtual int GetRoot() const = 0;
    // Ends the popup's modal run; the pending DoModalPopup returns value. Only the first
    // call of a run counts.
    virtual void EndPopup(int value) = 0;
};

// The host's popup frame.
class GWU_HOST_TYPE CEsbFrame {
public:
    // A new empty popup of the given width and height, or null when the popup library cannot
    // make one. The dialogs pass 0 as the first and 4 as the last argument.
    static CTabPopup* BlankPopup(int style, int width, int height, int placement);
    // Shows the popup and blocks, delivering its widget callbacks on the calling thread, until
    // EndPopup is called on it; returns the value given to EndPopup. The popup is gone when
    // this returns. A null popup returns -1 at once.
    static int DoModalPopup(CTabPopup* popup);
    // A modal message with a title, a text and the icon of the given resource id; blocks until
    // the user closes it and returns how it was closed (1 the tick, -1 otherwise).
    static int MessagePopup(int style, CString title, CString text, unsigned int iconId, int format,
                            int reserved1, int reserved2, int reserved3);
};

// The icon resource with that id; null when there is none.
HICON QX_LoadIcon(unsigned int id);
// The text of the string resource with that id; empty when there is none.
CString QX_LoadString(unsigned int id);

// Creates a widget of the type under the parent, applying count attribute records; returns
// its handle, or 0 when it cannot be made (an unknown parent, for instance).
int QW_NewWidget(int type, int parent, const QW_ATTR* attrs, int count);
// Creates one of the popup's system buttons (kinds: 1 tick, 2 cross, 32 go-back) under the
// popup's root; returns its handle, or 0.
int QW_NewSystemButton(int parent, int kind, const QW_ATTR* attrs, int count);
// Sets one attribute of a widget. Returns nonzero when the widget exists. The dialogs always
// pass 1 as the flag.
int QW_SetValue(int widget, int attr, QW_VALUE value, int flag);
// The number held by one attribute of a widget (its height for code 56, for example).
int QW_ValueOf(int widget, int attr);
// Registers a callback for events of the reason on the widget; clientData is handed back as
// the callback's second argument. Returns nonzero when the widget exists.
int QW_AddCallback(int widget, int reason, QW_CALLBACK callback, int clientData);
// Deletes a widget with everything under it and sets the handle to 0.
void QW_DeleteWidget(int& widget, int flag);
