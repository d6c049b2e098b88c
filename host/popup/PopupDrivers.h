// Input drivers for the stand-in popup library: a script, for tests and for running a host
// without a person, the terminal, for a person, and a browser page, for a person at a browser.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gatewayutils/host/popup/PopupLibrary.h"

namespace gwu::host {

// Plays a fixed sequence of events, across as many popups as it meets, then has no more
// input.
class ScriptDriver : public PopupDriver {
public:
    explicit ScriptDriver(std::vector<PopupEvent> events);
    std::optional<PopupEvent> NextEvent(const PopupView& view) override;
    size_t Remaining() const { return m_events.size(); }

private:
    std::deque<PopupEvent> m_events;
};

// Reads a key script: every character is a key press of that character, except for these
// names in angle brackets:
//   <tick> or <enter>   press the tick button
//   <cross> or <esc>    press the cross button
//   <back>              press the go-back button
//   <bs>                the backspace key (code 8)
//   <lt>                the '<' key
//   <N>                 the key with the decimal code N (0 to 65535)
// Example: "AB12<tick>". Nothing, with a message in error, for a script that cannot be read.
std::optional<std::vector<PopupEvent>> ParseKeyScript(std::string_view script,
                                                      std::string* error = nullptr);

namespace terminal {
class RawMode;
}

// The keys of the terminal driver besides the keys typed into the keyboard.
constexpr char kTerminalGoBackKey = 0x02;          // Ctrl-B
constexpr char kTerminalEndKeys[] = {0x03, 0x04};  // Ctrl-C, Ctrl-D: the input has ended

// Draws each popup as text on the output and reads key presses from the input: a typed
// character goes to the keyboard, Enter presses the tick, Esc the cross and Ctrl-B the go-back
// button; Backspace and Delete are the backspace key; other escape sequences (arrow keys and
// the like) are ignored. The end of the input, Ctrl-C and Ctrl-D end the input.
//
// When the input is a terminal, it is switched to unbuffered input without echo for the
// driver's lifetime and restored afterwards. The driver borrows both descriptors.
class TerminalDriver : public PopupDriver {
public:
    TerminalDriver(int inputFd, int outputFd);
    ~TerminalDriver() override;
    TerminalDriver(const TerminalDriver&) = delete;
    TerminalDriver& operator=(const TerminalDriver&) = delete;

    std::optional<PopupEvent> NextEvent(const PopupView& view) override;

private:
    // One byte of input; nothing at the end of the input. With a timeout, nothing also when
    // no byte arrives in time.
    std::optional<unsigned char> ReadByte(int timeoutMs);
    void Draw(const PopupView& view);
    void SkipEscapeSequence();

    int m_input;
    int m_output;
    std::unique_ptr<terminal::RawMode> m_rawMode;
    bool m_clearScreen;
    std::string m_lastDrawn;
};

// The popup as JSON, for a page to draw: its root, the shown labels in creation order (text,
// font, height as the widget library reports it, icon, whether it is framed as an entry field),
// the keyboard's keys when a keyboard is shown, and which of the tick, cross and go-back buttons
// are shown. Texts are device and user input: bytes outside ASCII are written as \u00XX, so the
// JSON is always valid whatever the bytes.
std::string PopupViewJson(const PopupView& view);

// Shows the running popup to a browser page and takes the page's clicks and typed keys as the
// modal loop's events, one at a time, as the other drivers do. The page reads the popup with
// PopupJson and sends events with Post; the modal loop's thread waits in NextEvent meanwhile.
//
// A page that goes away must not leave a popup waiting for ever: every poll and, while it stays
// open, every event stream of the page calls Seen. When no page has been seen for the
// timeout, the input ends, and the popup closes as the cross would close it. Close ends the
// input for good (the server is stopping). Every member is safe from any thread.
class BrowserDriver : public PopupDriver {
public:
    explicit BrowserDriver(std::chrono::milliseconds goneAfter);

    std::optional<PopupEvent> NextEvent(const PopupView& view) override;

    // The popup being run, as the widget tree stands now ("null" when none is open), with
    // "waiting" telling whether the modal loop waits for the next event right now.
    std::string PopupJson() const;
    // Queues an event for the popup with that root; false when that popup is not open.
    bool Post(int root, PopupEvent event);
    void Seen();
    void Close();

private:
    using Clock = std::chrono::steady_clock;

    const std::chrono::milliseconds m_goneAfter;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Clock::time_point m_lastSeen;
    int m_root = 0;  // the popup the events are for; 0 before the first
    bool m_waiting = false;
    bool m_closed = false;
    std::deque<std::pair<int, PopupEvent>> m_events;  // with the root each was sent for
};

}  // namespace gwu::host
