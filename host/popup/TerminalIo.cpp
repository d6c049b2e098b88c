#include "host/popup/TerminalIo.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace gwu::host::terminal {

#ifdef _WIN32

bool IsTerminal(int fd) {
    return ::_isatty(fd) != 0;
}

void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const int written = ::_write(
            fd, text.data(), static_cast<unsigned>(std::min<size_t>(text.size(), 1u << 30)));
        if (written <= 0) {
            return;  // nobody is looking; the run goes on without a display
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

std::optional<unsigned char> ReadByte(int fd, int timeoutMs) {
    if (timeoutMs >= 0) {
        return std::nullopt;
    }
    unsigned char byte = 0;
    if (::_read(fd, &byte, 1) == 1) {
        return byte;
    }
    return std::nullopt;
}

struct RawMode::Saved {
    HANDLE console;
    DWORD mode;
};

RawMode::RawMode(int fd) {
    const HANDLE console = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    DWORD mode = 0;
    if (::_isatty(fd) == 0 || !::GetConsoleMode(console, &mode)) {
        return;
    }
    const DWORD raw =
        mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    if (::SetConsoleMode(console, raw)) {
        m_saved = std::make_unique<Saved>(Saved{console, mode});
    }
}

RawMode::~RawMode() {
    if (m_saved) {
        ::SetConsoleMode(m_saved->console, m_saved->mode);
    }
}

#else  // POSIX

bool IsTerminal(int fd) {
    return ::isatty(fd) != 0;
}

void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // nobody is looking; the run goes on without a display
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

std::optional<unsigned char> ReadByte(int fd, int timeoutMs) {
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, timeoutMs);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return std::nullopt;
        }
        unsigned char byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return std::nullopt;
    }
}

struct RawMode::Saved {
    int fd;
    termios settings;
};

RawMode::RawMode(int fd) {
    termios settings{};
    if (::isatty(fd) == 0 || ::tcgetattr(fd, &settings) != 0) {
        return;
    }
    termios raw = settings;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) == 0) {
        m_saved = std::make_unique<Saved>(Saved{fd, settings});
    }
}

RawMode::~RawMode() {
    if (m_saved) {
        ::tcsetattr(m_saved->fd, TCSANOW, &m_saved->settings);
    }
}

#endif

}  // namespace gwu::host::terminal
