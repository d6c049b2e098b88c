#include "devices/SerialNumList.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <initializer_list>
#include <new>
#include <system_error>
#include <vector>

#include "os/Os.h"
#include "platform/Diagnostics.h"
#include "platform/FirmwareFiles.h"

namespace gwu {

namespace {

void ReportProblem(int cause) {
    MonPrintf("CHLXUtils::StoreHLXSerialNumToFile encountered problems: %d", cause);
}

// Moves a temporary file left by a writer that died out of the rewrite's way, under a name of
// its own that no earlier one has. Only the holder of the list's lock calls it, so no other
// writer is making a temporary file meanwhile. Returns 0 or the error number.
int SetAsideStaleTemp(const std::string& folder, const std::string& tempPath) {
    const std::string stem = kSerialNumAsidePrefix + os::LocalTimeStamp();
    int cause = EEXIST;
    for (int n = 1; n <= 1000 && cause == EEXIST; ++n) {
        const std::string aside =
            os::JoinPath(folder, stem + (n > 1 ? "-" + std::to_string(n) : "") + ".txt");
        cause = os::RenameNoReplace(tempPath, aside);
        if (cause == 0) {
            MonPrintf(
                "CHLXUtils::StoreHLXSerialNumToFile: a temporary file left by an interrupted "
                "rewrite was set aside as %s",
                aside.c_str());
        }
    }
    return cause;
}

// The list is read, and a rewrite written, this many bytes at a time.
constexpr size_t kPiece = size_t{64} << 10;

// Goes through a list a piece at a time, holding no more of it than one piece: tells whether a
// line belongs to the device, whether the rewrite would change anything, and, given a sink,
// hands it the rewritten list in pieces of about kPiece bytes. The first field is matched
// against the serial number byte by byte, so a line is never held: the bytes matched so far
// are the serial number's own.
class ListScan {
public:
    // Takes a piece of the rewritten list; false stops the scan (Stopped()).
    using Sink = std::function<bool(std::string_view)>;

    ListScan(std::string_view serial, std::string_view newLine, Sink sink = {})
        : m_serial(serial), m_newLine(newLine), m_sink(std::move(sink)) {
        // A line already the new one reads as the new line without its CR LF.
        const bool crlf = newLine.size() >= 2 && newLine.substr(newLine.size() - 2) == "\r\n";
        m_body = crlf ? newLine.substr(0, newLine.size() - 2) : std::string_view{};
        m_bodyCanMatch = crlf && m_body.size() > serial.size() &&
                         m_body.substr(0, serial.size()) == serial && m_body[serial.size()] == ',';
    }

    void Feed(std::string_view piece) {
        for (size_t i = 0; i < piece.size();) {
            const char c = piece[i];
            if (m_pendingCR) {
                m_pendingCR = false;
                if (c == '\n') {
                    EndLine(true);
                    ++i;
                    continue;
                }
                Content('\r');
            }
            if (c == '\n') {
                EndLine(false);
                ++i;
            } else if (c == '\r') {
                m_pendingCR = true;  // a line end when an LF or the end follows, else content
                m_open = true;
                ++i;
            } else if (m_state == State::Other) {
                // The rest of another device's line passes through up to its CR or LF.
                size_t end = i;
                while (end < piece.size() && piece[end] != '\n' && piece[end] != '\r') {
                    ++end;
                }
                Emit(piece.substr(i, end - i));
                i = end;
            } else {
                Content(c);
                ++i;
            }
        }
        if (!piece.empty()) {
            m_endsInLineEnd = piece.back() == '\n';
            m_empty = false;
        }
        Flush(kPiece);
    }

    // The end of the list: a last line without LF is a line too.
    void Finish() {
        if (m_open) {
            EndLine(false);
        }
        Flush(1);
    }

    bool Found() const { return m_found; }
    bool Changes() const { return m_changes; }
    bool Empty() const { return m_empty; }
    bool EndsInLineEnd() const { return m_endsInLineEnd; }
    bool Stopped() const { return m_stopped; }

private:
    enum class State { FirstField, Other, Mine };

    void Emit(std::string_view text) {
        if (m_sink) {
            m_out.append(text.data(), text.size());
            Flush(kPiece);
        }
    }
    void Flush(size_t atLeast) {
        if (m_sink && m_out.size() >= atLeast) {
            m_stopped = m_stopped || !m_sink(m_out);
            m_out.clear();
        }
    }

    void Content(char c) {
        m_open = true;
        switch (m_state) {
            case State::FirstField:
                if (c == ',' && m_matched == m_serial.size()) {
                    m_state = State::Mine;
                    m_found = true;
                    m_same = m_bodyCanMatch;
                    m_matched = m_serial.size() + 1;  // now along the new line's body
                } else if (c != ',' && m_matched < m_serial.size() && c == m_serial[m_matched]) {
                    ++m_matched;
                } else {
                    m_state = State::Other;
                    Emit(m_serial.substr(0, m_matched));
                    Emit(std::string_view(&c, 1));
                }
                break;
            case State::Mine:
                m_same = m_same && m_matched < m_body.size() && m_body[m_matched] == c;
                ++m_matched;
                break;
            case State::Other:
                Emit(std::string_view(&c, 1));
                break;
        }
    }

    void EndLine(bool crlf) {
        bool kept = crlf;  // the rewrite gives back another device's line as it was when CR LF
        if (m_state == State::FirstField && m_matched == m_serial.size()) {
            m_found = true;  // the whole line is the serial number
            Emit(m_newLine);
            kept = crlf && m_body == m_serial;
        } else if (m_state == State::FirstField) {
            Emit(m_serial.substr(0, m_matched));
            Emit("\r\n");
        } else if (m_state == State::Other) {
            Emit("\r\n");
        } else {
            Emit(m_newLine);
            kept = crlf && m_same && m_matched == m_body.size();
        }
        m_changes = m_changes || !kept;
        m_state = State::FirstField;
        m_matched = 0;
        m_open = false;
    }

    std::string_view m_serial;
    std::string_view m_newLine;
    std::string_view m_body;
    bool m_bodyCanMatch = false;
    Sink m_sink;
    std::string m_out;
    State m_state = State::FirstField;
    size_t m_matched = 0;  // bytes of the serial number, or of the new line's body, matched
    bool m_same = false;   // the device's line matches the new line so far
    bool m_pendingCR = false;
    bool m_open = false;  // the current line has begun
    bool m_found = false;
    bool m_changes = false;
    bool m_empty = true;
    bool m_endsInLineEnd = false;
    bool m_stopped = false;
};

// Feeds the whole list, read a piece at a time, to the scan. Returns 0 or the error number.
int ScanList(os::LockedFile& list, ListScan& scan) {
    if (const int cause = list.StartReading()) {
        return cause;
    }
    std::vector<char> piece(kPiece);
    for (;;) {
        size_t got = 0;
        if (const int cause = list.ReadSome(piece.data(), piece.size(), got)) {
            return cause;
        }
        if (got == 0) {
            scan.Finish();
            return 0;
        }
        scan.Feed(std::string_view(piece.data(), got));
        if (scan.Stopped()) {
            return 0;  // the sink knows why
        }
    }
}

// A temporary file without a list is the only copy left by an interrupted rewrite. Another
// process may restore it at the same moment: a list that appeared meanwhile is kept. Returns 0
// or the error number.
int RestoreInterruptedRewrite(const std::string& named) {
    const std::string listPath = os::FinalPath(named);
    const std::string tempPath = os::JoinPath(os::ParentFolder(listPath), kSerialNumTempName);
    if (os::PathExists(listPath) || !os::PathExists(tempPath)) {
        return 0;
    }
    MonPrintf("CHLXUtils::StoreHLXSerialNumToFile: restoring the list from %s", tempPath.c_str());
    const int cause = os::RenameNoReplace(tempPath, listPath);
    return cause != 0 && !os::PathExists(listPath) ? cause : 0;
}

// The rewrite for a known device: the complete new list goes to the temporary file beside the
// list, then replaces the list in one rename, so the list is never half-written. The list's
// lock is held from the read to the rename, so a temporary file found now is one left by a
// writer that died. Returns 0 or the error number.
int Rewrite(os::LockedFile& list, const SerialNumRecord& record, const std::string& newLine) {
    const std::string folder = os::ParentFolder(list.Path());
    const std::string tempPath = os::JoinPath(folder, kSerialNumTempName);
    if (os::PathExists(tempPath)) {
        if (const int cause = SetAsideStaleTemp(folder, tempPath)) {
            return cause;
        }
    }
    os::NewFile temp;
    int cause = temp.Create(tempPath);
    if (cause != 0) {
        return cause;
    }
    int written = 0;
    ListScan scan(record.serial, newLine, [&temp, &written](std::string_view piece) {
        written = temp.Write(piece);
        return written == 0;
    });
    cause = ScanList(list, scan);
    if (cause == 0) {
        cause = written;
    }
    if (cause != 0) {
        temp.Discard();
        return cause;
    }
    cause = temp.Finish();
    if (cause == 0) {
        cause = list.ReplaceWith(tempPath);
        if (cause != 0) {
            os::RemoveFile(tempPath);
        }
    }
    return cause == 0 ? os::SyncFolder(folder) : cause;
}

void Store(const std::string& folder, const SerialNumRecord& record) {
    if (record.serial.empty()) {
        // A line with an empty first field would be taken for the device's.
        MonPrintf("CHLXUtils::StoreHLXSerialNumToFile: no serial number, device not recorded");
        return;
    }
    const std::string named = os::JoinPath(folder, kSerialNumListName);
    if (const int cause = RestoreInterruptedRewrite(named)) {
        ReportProblem(cause);
        return;
    }
    os::LockedFile list;
    int cause = list.Open(named);
    const std::string newLine = FormatSerialNumLine(record);
    ListScan scan(record.serial, newLine);
    if (cause == 0) {
        cause = ScanList(list, scan);
    }
    if (cause == 0 && !scan.Found()) {
        // A new device: its line starts on a line of its own, whatever the last line ends with.
        cause = list.Append(scan.Empty() || scan.EndsInLineEnd() ? newLine : "\r\n" + newLine);
    } else if (cause == 0 && scan.Changes()) {
        cause = Rewrite(list, record, newLine);
    }  // else a device met again with the same releases: the list already says so
    if (cause != 0) {
        ReportProblem(cause);
    }
}

// The error number of an exception met while storing.
int CauseOf(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        return ENOMEM;
    }
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    return system != nullptr && system->code().category() == std::generic_category()
               ? system->code().value()
               : EIO;
}

}  // namespace

std::string FormatSerialNumLine(const SerialNumRecord& record) {
    std::string line;
    line.reserve(record.serial.size() + record.release.size() + record.prom.size() +
                 record.bootstrap.size() + 5);
    line += record.serial;
    line += ',';
    line += record.release;
    line += ',';
    line += record.prom;
    line += ',';
    line += record.bootstrap;
    line += "\r\n";
    return line;
}

bool LineBelongsTo(std::string_view line, std::string_view serial) {
    return line.substr(0, line.find(',')) == serial;
}

std::string RewriteSerialNumList(std::string_view content, std::string_view serial,
                                 std::string_view newLine) {
    std::string result;
    ListScan scan(serial, newLine, [&result](std::string_view piece) {
        result += piece;
        return true;
    });
    scan.Feed(content);
    scan.Finish();
    return result;
}

bool AlreadyRecorded(std::string_view content, std::string_view serial, std::string_view newLine) {
    ListScan scan(serial, newLine);
    scan.Feed(content);
    scan.Finish();
    return !scan.Changes();
}

void StoreSerialNumRecord(const std::string& folder, const SerialNumRecord& record) {
    // Nothing thrown leaves the store: running out of memory, say, is one more problem reported.
    try {
        Store(folder, record);
    } catch (const std::exception& error) {
        try {
            ReportProblem(CauseOf(error));
        } catch (...) {  // a host's monitor output that throws: nothing more can be said
        }
    }
}

void StoreDeviceReading(SerialNumRecord record) {
    for (std::string* field : {&record.serial, &record.release, &record.prom, &record.bootstrap}) {
        std::replace(field->begin(), field->end(), '\r', ' ');
        std::replace(field->begin(), field->end(), '\n', ' ');
    }
    CString folder;
    CSystemInfo::GetLogFilesPath(folder);
    StoreSerialNumRecord(folder, record);
}

}  // namespace gwu
