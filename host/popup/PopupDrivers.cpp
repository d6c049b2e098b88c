#include "host/popup/PopupDrivers.h"

#include <charconv>

#include "host/popup/TerminalIo.h"

namespace gwu::host {

namespace {

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kBackspace = 0x08;
// How long the rest of an escape sequence may take to arrive after the Esc byte.
constexpr int kEscapeSequenceMs = 50;

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

}  // namespace gwu::host
