#include "devices/SerialNumList.h"

#include <cerrno>

#include "os/Os.h"
#include "platform/Diagnostics.h"

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

std::string RewriteSerialNumList(std::string_view content, std::string_view serial,
                                 std::string_view newLine) {
    std::string result;
    result.reserve(content.size() + newLine.size());
    while (!content.empty()) {
        const size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view{} : content.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.find(serial) != std::string_view::npos) {
            result += newLine;
        } else {
            result += line;
            result += "\r\n";
        }
    }
    return result;
}

bool AlreadyRecorded(std::string_view content, std::string_view serial, std::string_view newLine) {
    // The rewrite would give back the same bytes when every line already ends in CR LF ...
    if (content.empty() || content.back() != '\n') {
        return content.empty();
    }
    for (size_t lf = content.find('\n'); lf != std::string_view::npos;
         lf = content.find('\n', lf + 1)) {
        if (lf == 0 || content[lf - 1] != '\r') {
            return false;
        }
    }
    // ... and every line holding the serial number is already the new line.
    for (size_t at = content.find(serial); at < content.size();) {
        const size_t lineStart =
            content.rfind('\n', at) == std::string_view::npos ? 0 : content.rfind('\n', at) + 1;
        const size_t lineEnd = content.find('\n', at) + 1;  // there is one: the content ends so
        if (content.substr(lineStart, lineEnd - lineStart) != newLine) {
            return false;
        }
        at = content.find(serial, lineEnd);
    }
    return true;
}

void StoreSerialNumRecord(const std::string& folder, const SerialNumRecord& record) {
    if (record.serial.empty()) {
        // An empty serial number is part of every line: a rewrite would replace them all.
        MonPrintf("CHLXUtils::StoreHLXSerialNumToFile: no serial number, device not recorded");
        return;
    }
    const std::string listPath = os::JoinPath(folder, kSerialNumListName);
    const std::string tempPath = os::JoinPath(folder, kSerialNumTempName);

    // A temporary file without a list is the only copy left by an interrupted rewrite. Another
    // process may restore it at the same moment: a list that appeared meanwhile is kept.
    if (!os::PathExists(listPath) && os::PathExists(tempPath)) {
        MonPrintf("CHLXUtils::StoreHLXSerialNumToFile: restoring the list from %s",
                  tempPath.c_str());
        if (const int cause = os::RenameNoReplace(tempPath, listPath);
            cause != 0 && !os::PathExists(listPath)) {
            ReportProblem(cause);
            return;
        }
    }

    os::LockedFile list;
    std::string content;
    int cause = list.Open(listPath);
    if (cause == 0) {
        cause = list.ReadAll(content);
    }
    if (cause != 0) {
        ReportProblem(cause);
        return;
    }

    const std::string newLine = FormatSerialNumLine(record);
    if (content.find(record.serial) == std::string::npos) {
        if (const int appendCause = list.Append(newLine); appendCause != 0) {
            ReportProblem(appendCause);
        }
        return;
    }

    // Known device: the complete new list goes to the temporary file first, then replaces the
    // list in one rename, so the list is never half-written. The list's lock is held from the
    // read to the rename, so a temporary file found now is one left by a writer that died.
    if (AlreadyRecorded(content, record.serial, newLine)) {
        return;  // a device met again with the same releases: the list already says so
    }
    if (os::PathExists(tempPath)) {
        if (const int asideCause = SetAsideStaleTemp(folder, tempPath); asideCause != 0) {
            ReportProblem(asideCause);
            return;
        }
    }
    const std::string rewritten = RewriteSerialNumList(content, record.serial, newLine);
    cause = os::WriteNewFileDurably(tempPath, rewritten);
    if (cause == 0) {
        cause = list.ReplaceWith(tempPath);
        if (cause != 0) {
            os::RemoveFile(tempPath);
        }
    }
    if (cause == 0) {
        cause = os::SyncFolder(folder);
    }
    if (cause != 0) {
        ReportProblem(cause);
    }
}

}  // namespace gwu
