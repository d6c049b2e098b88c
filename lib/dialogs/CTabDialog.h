// The base of the library's modal dialogs, exported so that a host can derive its own.
//
// A dialog is a popup of a fixed size with the tick, cross and go-back system buttons, an icon
// and a title along the top, and a white body below the title in which a subclass places its
// controls. DoModal builds a new popup each time it is called, runs it on the calling thread
// and returns the end value: 1 for the tick, -1 for the cross or the go-back button, or what a
// subclass passed to EndDialog.
//
// A dialog is used by one thread; every callback of its run arrives on the thread blocked in
// DoModal. It owns only its title text: the popup and the widgets are the popup library's.
#pragma once

#include "gatewayutils/base/Export.h"
#include "gatewayutils/platform/Popup.h"
#include "gatewayutils/platform/Types.h"

class GWU_API CTabDialog : public CObject {
public:
    // Stores the size; builds nothing.
    CTabDialog(int width, int height);
    ~CTabDialog() override;
    // Widget callbacks hold on to the dialog; it stays where it was made.
    CTabDialog(const CTabDialog&) = delete;
    CTabDialog& operator=(const CTabDialog&) = delete;

    // Stores the title; a dialog on show changes its title label at once. A null title is
    // taken as empty.
    void SetTitle(const char* title);
    // Loads the icon with that resource id; a dialog on show changes its icon label at once.
    void SetIcon(unsigned int iconId);

    // Builds, shows and runs the dialog until it is ended; returns the end value, or -1 when
    // the popup library could not make the popup.
    int DoModal();

    // Button visibility, for use once the display exists: from CreateControls and from widget
    // callbacks during the run.
    void ShowTickButton();
    void HideTickButton();
    void ShowCrossButton();
    void HideCrossButton();
    void ShowGoBackButton();
    void HideGoBackButton();

protected:
    // Creates the subclass's controls inside m_body. Called once per run, before it is shown.
    virtual void CreateControls() = 0;
    // Tells the subclass the end value before the popup ends.
    virtual void OnEndDialog(int result) = 0;
    // Builds the popup, the system buttons, the icon, the title and the body, then calls
    // CreateControls. Nothing is built when the popup library makes no popup.
    virtual void CreateDisplay();
    // Informs the subclass through OnEndDialog, then ends the run with result when one is in
    // progress.
    virtual void EndDialog(int result);
    // The callback of the three system buttons: widget is the button's handle. Ends the dialog
    // with 1 for the tick and -1 for the cross and go-back; ignores any other widget. The
    // reason and the event value are not looked at. Returns 1.
    virtual int ButtonCallback(int reason, int widget, int callData);

private:
    int m_goBackButton = 0;
    int m_tickButton = 0;
    int m_crossButton = 0;

protected:
    // The body container of the running dialog; 0 outside a run.
    int m_body = 0;

private:
    // Forgets the widgets of a popup that has ended: the popup library has destroyed them.
    void ForgetWidgets();

    int m_root = 0;
    int m_titleLabel = 0;
    int m_iconLabel = 0;
    CTabPopup* m_popup = nullptr;  // borrowed from the popup library during a run
    CString m_title;
    HICON m_icon = nullptr;
    int m_width;
    int m_height;
};
