#include "repair/CDeployedUnitList.h"

#include <cstdlib>
#include <memory>

#include "platform/Environment.h"
#include "platform/Os.h"

namespace gwu {

namespace {

// How far back from a key the start of its line is looked for, the key's own position
// included. A line whose key lies further in is taken to start at the scan position.
constexpr size_t kLineStartLookback = 50;

struct FreeDeleter {
    void operator()(unsigned char* buffer) const { std::free(buffer); }
};

}  // namespace

std::string CDeployedUnitList::SearchKey(const char (&combinedMAC)[kMacLength]) {
    size_t bestStart = 0;
    size_t bestLength = 0;
    for (size_t i = 0; i < kMacLength;) {
        if (combinedMAC[i] == '\0') {
            ++i;
            continue;
        }
        const size_t start = i;
        while (i < kMacLength && combinedMAC[i] != '\0') {
            ++i;
        }
        if (i - start > bestLength) {
            bestStart = start;
            bestLength = i - start;
        }
    }
    return std::string(combinedMAC + bestStart, bestLength);
}

bool CDeployedUnitList::Read(const char (&combinedMAC)[kMacLength]) {
    m_path.clear();
    CString folder;
    if (CSystemInfo::GetRuntimePath(folder) == 0) {
        m_path = os::JoinPath(folder, kFileName);
    }
    if (m_path.empty()) {
        return false;
    }
    unsigned char* raw = nullptr;
    const long size = CIOUtilities::ReadFileContents(m_path.c_str(), &raw);
    const std::unique_ptr<unsigned char, FreeDeleter> buffer(raw);
    if (size <= 0 || buffer == nullptr) {
        return false;
    }
    return Parse(
        std::string(reinterpret_cast<const char*>(buffer.get()), static_cast<size_t>(size)),
        SearchKey(combinedMAC));
}

bool CDeployedUnitList::Parse(std::string content, std::string_view key) {
    m_content = std::move(content);
    m_serialNumbers.clear();
    m_macAddresses.clear();
    m_entryAreaFound = false;
    const size_t mark = m_content.find(kSectionMark);
    if (mark == std::string::npos) {
        return false;
    }
    const size_t headerEnd = m_content.find('\n', mark);
    if (headerEnd == std::string::npos) {
        return false;
    }
    m_entryAreaFound = true;
    Scan(headerEnd + 1, key);
    return true;
}

void CDeployedUnitList::Scan(size_t position, std::string_view key) {
    const std::string_view content = m_content;
    while (position < content.size()) {
        const size_t found = content.find(key, position);
        if (found == std::string_view::npos || found >= content.size()) {
            return;
        }
        // The line starts after the nearest LF or CR at or before the key, looking no further
        // back than the lookback and never before the content.
        size_t lineStart = position;
        const size_t lowest = found + 1 >= kLineStartLookback ? found + 1 - kLineStartLookback : 0;
        for (size_t at = found + 1; at-- > lowest;) {
            if (content[at] == '\n' || content[at] == '\r') {
                lineStart = at + 1;
                break;
            }
        }
        const size_t lineEnd = content.find('\n', lineStart);
        const size_t comma = content.find(',', lineStart);
        if (comma == std::string_view::npos ||
            (lineEnd != std::string_view::npos && comma > lineEnd)) {
            return;
        }
        // A last line without a line end runs to the end of the content.
        const size_t macEnd = lineEnd == std::string_view::npos ? content.size() : lineEnd;
        m_serialNumbers.push_back(content.substr(lineStart, comma - lineStart));
        m_macAddresses.push_back(content.substr(comma + 1, macEnd - comma - 1));
        if (lineEnd == std::string_view::npos) {
            return;
        }
        position = lineEnd + 2;  // the LF and the character after it are passed over
    }
}

}  // namespace gwu
