#include "repair/CDeployedUnitList.h"

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "os/Os.h"
#include "platform/Diagnostics.h"
#include "platform/FirmwareFiles.h"

namespace gwu {

namespace {

// How far back from a key the start of its line is looked for, the key's own position
// included. A line whose key lies further in is taken to start at the scan position.
constexpr size_t kLineStartLookback = 50;

CDeployedUnitList::Allocator g_allocate = [](size_t size) { return std::malloc(size); };

}  // namespace

CDeployedUnitList::Allocator CDeployedUnitList::SetAllocatorForTesting(Allocator allocator) {
    return std::exchange(g_allocate, allocator);
}

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

void CDeployedUnitList::Clear() {
    m_buffer.reset();
    m_content = {};
    m_chunks.clear();
    m_count = 0;
    m_entryAreaFound = false;
}

bool CDeployedUnitList::Read(const char (&combinedMAC)[kMacLength]) {
    Clear();  // a failed read leaves no entries of an earlier one behind
    CString folder;
    if (CSystemInfo::GetRuntimePath(folder) != 0) {
        return false;
    }
    const std::string path = os::JoinPath(folder, kFileName);
    unsigned char* raw = nullptr;
    const long size = CIOUtilities::ReadFileContents(path.c_str(), &raw);
    std::unique_ptr<unsigned char, FreeDeleter> buffer(raw);
    // Only a size and a buffer together are content; a host may hand over one without the other.
    // The host does not tell a missing list from an unreadable or empty one: the technician
    // learns from the monitor why no match could be made.
    if (size <= 0 || buffer == nullptr) {
        MonPrintf("%s: no list could be read at %s", kFileName, path.c_str());
        return false;
    }
    return ParseBuffer(std::move(buffer), static_cast<size_t>(size), SearchKey(combinedMAC));
}

bool CDeployedUnitList::Parse(std::string_view content, std::string_view key) {
    Clear();
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char*>(g_allocate(content.size() + 1)));
    if (buffer == nullptr) {
        return false;
    }
    std::memcpy(buffer.get(), content.data(), content.size());
    buffer.get()[content.size()] = '\0';
    return ParseBuffer(std::move(buffer), content.size(), key);
}

bool CDeployedUnitList::ParseBuffer(std::unique_ptr<unsigned char, FreeDeleter> buffer, size_t size,
                                    std::string_view key) {
    Clear();
    // Entries are 32-bit offsets into the content: a larger list is refused unread.
    if (size >= std::numeric_limits<std::uint32_t>::max()) {
        MonPrintf("%s: a list of %s bytes is more than the reader takes", kFileName,
                  std::to_string(size).c_str());
        return false;
    }
    // The content is used where it was read: a list of a million units is never copied.
    m_buffer = std::move(buffer);
    m_content = std::string_view(reinterpret_cast<const char*>(m_buffer.get()), size);
    const size_t mark = m_content.find(kSectionMark);
    if (mark == std::string_view::npos) {
        return false;
    }
    const size_t headerEnd = m_content.find('\n', mark);
    if (headerEnd == std::string_view::npos) {
        return false;
    }
    m_entryAreaFound = true;
    Scan(headerEnd + 1, key);
    return true;
}

void CDeployedUnitList::Add(const Entry& entry) {
    if (m_count % kChunkEntries == 0) {
        m_chunks.emplace_back().reserve(kChunkEntries);  // room only: nothing is written yet
    }
    m_chunks.back().push_back(entry);
    ++m_count;
}

void CDeployedUnitList::Scan(size_t position, std::string_view key) {
    const char* const base = m_content.data();
    const char* const end = base + m_content.size();
    // A substring search that skips ahead on a mismatch: a key of MAC characters meets many
    // partial matches in a list of MAC addresses.
    const std::boyer_moore_horspool_searcher searcher(key.begin(), key.end());
    // Offsets fit 32 bits: ParseBuffer refuses larger content.
    const auto offset = [base](const char* place) {
        return static_cast<std::uint32_t>(place - base);
    };
    const char* at = base + position;
    while (at < end) {
        // An empty key is found at the scan position, which lies before the end.
        const char* found = at;
        if (!key.empty()) {
            found = std::search(at, end, searcher);
            if (found == end) {
                return;
            }
        }
        // The line starts after the nearest LF or CR at or before the key, looking no further
        // back than the lookback and never before the content.
        const char* lineStart = at;
        const char* lowest = found - base + 1 >= static_cast<std::ptrdiff_t>(kLineStartLookback)
                                 ? found + 1 - kLineStartLookback
                                 : base;
        for (const char* back = found + 1; back-- > lowest;) {
            if (*back == '\n' || *back == '\r') {
                lineStart = back + 1;
                break;
            }
        }
        // The line's first comma must come before its LF, or there is no LF left.
        const char* comma = nullptr;
        const char* lineEnd = lineStart;
        for (; lineEnd < end && *lineEnd != '\n'; ++lineEnd) {
            if (*lineEnd == ',' && comma == nullptr) {
                comma = lineEnd;
            }
        }
        if (comma == nullptr) {
            return;  // a line without a comma ends the scan
        }
        // A last line without a line end runs to the end of the content.
        Add({offset(lineStart), offset(comma), offset(lineEnd)});
        if (lineEnd == end) {
            return;
        }
        // The LF and the character after it are passed over.
        at = end - lineEnd > 2 ? lineEnd + 2 : end;
    }
}

}  // namespace gwu
