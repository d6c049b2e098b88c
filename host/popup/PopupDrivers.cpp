#include "host/popup/PopupDrivers.h"

#include <charconv>
#include <cstdio>

#include "host/popup/PopupResources.h"
#include "host/popup/TerminalIo.h"
#include "platform/PopupAttributes.h"

namespace gwu::host {

namespace {

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kBackspace = 0x08;
// How long the rest of an escape sequence may take to arrive after the Esc byte.
constexpr int kEscapeSequenceMs = 50;

// The on-screen keyboard's keys, row by row, then its wide keys with their codes. The keyboard
// offers them all; the dialog decides which it takes.
constexpr const char* kKeyRows[] = {"1234567890", "QWERTYUIOP", "ASDFGHJKL_", "ZXCVBNM"};
constexpr const char* kWideKeys = R"([{"label":"Space","code":32},{"label":"Backspace","code":8}])";
// Events a page may send ahead of the modal loop; more are refused.
constexpr size_t kMaxQueuedEvents = 64;

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

const char* JsonBool(bool value) {
    return value ? "true" : "false";
}

std::string KeyHints(const PopupView& view) {
    std::string hints;
    if (view.Keyboard() != nullptr) {
        hints += "type A-Z, 0-9 or _, Backspace deletes";
    }
    const auto add = [&hints, &view](int kind, const char* text) {
        if (view.ButtonShown(kind)) {
            hints += std::string(hints.empty() ? "" : "; ") + text;
        }
    };
    add(kTickButton, "Enter: tick");
    add(kCrossButton, "Esc: cross");
    add(kGoBackButton, "Ctrl-B: go back");
    return hints;
}

}  // namespace

ScriptDriver::ScriptDriver(std::vector<PopupEvent> events)
    : m_events(events.begin(), events.end()) {}

std::optional<PopupEvent> ScriptDriver::NextEvent(const PopupView& /*view*/) {
    if (m_events.empty()) {
        return std::nullopt;
    }
    const PopupEvent event = m_events.front();
    m_events.pop_front();
    return event;
}

std::optional<std::vector<PopupEvent>> ParseKeyScript(std::string_view script, std::string* error) {
    std::vector<PopupEvent> events;
    const auto fail = [error](std::string message) -> std::optional<std::vector<PopupEvent>> {
        if (error != nullptr) {
            *error = std::move(message);
        }
        return std::nullopt;
    };
    while (!script.empty()) {
        if (script.front() != '<') {
            events.push_back(PopupEvent::Key(static_cast<unsigned char>(script.front())));
            script.remove_prefix(1);
            continue;
        }
        const size_t close = script.find('>');
        if (close == std::string_view::npos) {
            return fail("unclosed '<' in the key script");
        }
        const std::string_view name = script.substr(1, close - 1);
        script.remove_prefix(close + 1);
        if (name == "tick" || name == "enter") {
            events.push_back(PopupEvent::Press(kTickButton));
        } else if (name == "cross" || name == "esc") {
            events.push_back(PopupEvent::Press(kCrossButton));
        } else if (name == "back") {
            events.push_back(PopupEvent::Press(kGoBackButton));
        } else if (name == "bs") {
            events.push_back(PopupEvent::Key(8));
        } else if (name == "lt") {
            events.push_back(PopupEvent::Key('<'));
        } else {
            int code = -1;
            const auto [end, status] =
                std::from_chars(name.data(), name.data() + name.size(), code);
            if (name.empty() || status != std::errc() || end != name.data() + name.size() ||
                code < 0 || code > 0xFFFF) {
                return fail("unknown key <" + std::string(name) + "> in the key script");
            }
            events.push_back(PopupEvent::Key(code));
        }
    }
    return events;
}

TerminalDriver::TerminalDriver(int inputFd, int outputFd)
    : m_input(inputFd),
      m_output(outputFd),
      m_rawMode(std::make_unique<terminal::RawMode>(inputFd)),
      m_clearScreen(terminal::IsTerminal(outputFd)) {}

TerminalDriver::~TerminalDriver() = default;

std::optional<PopupEvent> TerminalDriver::NextEvent(const PopupView& view) {
    Draw(view);
    for (;;) {
        const std::optional<unsigned char> byte = ReadByte(-1);
        if (!byte) {
            return std::nullopt;
        }
        switch (*byte) {
            case '\r':
            case '\n':
                return PopupEvent::Press(kTickButton);
            case kEscape:
                if (ReadByte(kEscapeSequenceMs)) {
                    SkipEscapeSequence();
                    continue;
                }
                return PopupEvent::Press(kCrossButton);
            case kBackspace:
            case kDelete:
                return PopupEvent::Key(8);
            default:
                break;
        }
        if (static_cast<char>(*byte) == kTerminalGoBackKey) {
            return PopupEvent::Press(kGoBackButton);
        }
        for (const char end : kTerminalEndKeys) {
            if (static_cast<char>(*byte) == end) {
                return std::nullopt;
            }
        }
        return PopupEvent::Key(*byte);
    }
}

std::optional<unsigned char> TerminalDriver::ReadByte(int timeoutMs) {
    return terminal::ReadByte(m_input, timeoutMs);
}

// After Esc and the byte that followed it: a control sequence ends with a byte from '@' to
// '~'. Whatever is still pending of it is read and dropped.
void TerminalDriver::SkipEscapeSequence() {
    while (const std::optional<unsigned char> byte = ReadByte(kEscapeSequenceMs)) {
        if (*byte >= '@' && *byte <= '~') {
            return;
        }
    }
}

void TerminalDriver::Draw(const PopupView& view) {
    std::string frame = view.Render();
    const std::string hints = KeyHints(view);
    if (!hints.empty()) {
        frame += "(" + hints + ")\n";
    }
    if (frame == m_lastDrawn) {
        return;
    }
    m_lastDrawn = frame;
    const std::string rule(60, '-');
    std::string text = m_clearScreen ? "\x1b[H\x1b[2J" : "";
    text += rule + "\n" + frame + rule + "\n";
    terminal::WriteAll(m_output, text);
}

std::string PopupViewJson(const PopupView& view) {
    std::string out = "{\"root\":" + std::to_string(view.root) + ",\"labels\":[";
    bool first = true;
    for (const WidgetSnapshot& widget : view.widgets) {
        if (widget.type != qw::kWidgetLabel || !view.IsShown(widget.handle)) {
            continue;
        }
        out += first ? "{\"text\":" : ",{\"text\":";
        first = false;
        AppendJsonString(out, widget.Text());
        const bool framed = widget.Find(qw::kAttrBackground) != nullptr &&
                            widget.Number(qw::kAttrBackground) != qw::kWhite;
        out += ",\"font\":" + std::to_string(widget.Number(qw::kAttrFont)) +
               ",\"height\":" + std::to_string(widget.Height()) +
               ",\"framed\":" + JsonBool(framed) + ",\"icon\":";
        if (const HICON icon = widget.Icon(); icon != nullptr) {
            out += "{\"id\":" + std::to_string(IconId(icon)) + ",\"name\":";
            AppendJsonString(out, icon->Name());
            out += ",\"glyph\":";
            AppendJsonString(out, icon->Glyph());
            out += "}}";
        } else {
            out += "null}";
        }
    }
    out += "],\"keyboard\":";
    if (const WidgetSnapshot* keyboard = view.Keyboard(); keyboard != nullptr) {
        out += "{\"type\":" + std::to_string(keyboard->type) + ",\"rows\":[";
        for (const char* row : kKeyRows) {
            out += row == kKeyRows[0] ? "" : ",";
            AppendJsonString(out, row);
        }
        out += std::string("],\"keys\":") + kWideKeys + "}";
    } else {
        out += "null";
    }
    out += std::string(",\"buttons\":{\"tick\":") + JsonBool(view.ButtonShown(kTickButton)) +
           ",\"cross\":" + JsonBool(view.ButtonShown(kCrossButton)) +
           ",\"back\":" + JsonBool(view.ButtonShown(kGoBackButton)) + "}}";
    return out;
}

BrowserDriver::BrowserDriver(std::chrono::milliseconds goneAfter)
    : m_goneAfter(goneAfter), m_lastSeen(Clock::now()) {}

std::optional<PopupEvent> BrowserDriver::NextEvent(const PopupView& view) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_root = view.root;
    m_waiting = true;
    for (;;) {
        while (!m_events.empty()) {
            const auto [root, event] = m_events.front();
            m_events.pop_front();
            if (root == view.root) {  // an event sent for a popup that has ended is dropped
                m_waiting = false;
                return event;
            }
        }
        const Clock::time_point deadline = m_lastSeen + m_goneAfter;
        if (m_closed || Clock::now() >= deadline) {
            break;
        }
        // Seen moves the deadline on; the wait then starts again from the new one.
        m_changed.wait_until(lock, deadline);
    }
    m_waiting = false;
    return std::nullopt;
}

std::string BrowserDriver::PopupJson() const {
    int root = 0;
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        root = m_root;
        waiting = m_waiting;
    }
    const std::optional<PopupView> view = root != 0 ? ViewOfPopup(root) : std::nullopt;
    if (!view) {
        return "null";
    }
    std::string json = PopupViewJson(*view);
    json.insert(json.size() - 1, std::string(",\"waiting\":") + JsonBool(waiting));
    return json;
}

bool BrowserDriver::Post(int root, PopupEvent event) {
    if (root == 0 || !ViewOfPopup(root)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || root != m_root || m_events.size() >= kMaxQueuedEvents) {
            return false;
        }
        m_events.emplace_back(root, event);
    }
    m_changed.notify_all();
    return true;
}

void BrowserDriver::Seen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastSeen = Clock::now();
}

void BrowserDriver::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
}

}  // namespace gwu::host
