// The deployed-unit list "DeployedHLXs.ini" in the runtime folder: every deployed
// communication module's serial number with its Ethernet MAC address, one "serial,MAC" line
// each, in the lines after a line that holds "HLXSerialNumbers".
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace gwu {

class CDeployedUnitList {
public:
    static constexpr const char* kFileName = "DeployedHLXs.ini";
    static constexpr const char* kSectionMark = "HLXSerialNumbers";
    static constexpr size_t kMacLength = 12;

    // The search key of a merged MAC address: its longest run of non-zero bytes (the first of
    // equally long runs); empty when all bytes are zero.
    static std::string SearchKey(const char (&combinedMAC)[kMacLength]);

    // Reads the list from the runtime folder and collects the entry lines that hold the key.
    // True when the entry area was found, whatever it holds.
    bool Read(const char (&combinedMAC)[kMacLength]);
    // The same on content already in memory (the list as read from the file); the list
    // keeps a copy of it.
    bool Parse(std::string_view content, std::string_view key);

    // The entries found, in the order found: entry k's serial number and its MAC text (the
    // text after the comma up to the line end, which may carry a CR). The texts point into the
    // content the list holds and live as long as it.
    size_t Count() const { return m_count; }
    std::string_view SerialNumber(size_t k) const {
        const Entry& entry = At(k);
        return m_content.substr(entry.start, entry.comma - entry.start);
    }
    std::string_view MACAddress(size_t k) const {
        const Entry& entry = At(k);
        return m_content.substr(entry.comma + 1, entry.end - entry.comma - 1);
    }
    bool EntryAreaFound() const { return m_entryAreaFound; }

    // Test-only: the allocation of the copy that Parse keeps (std::malloc unless replaced), so
    // that a test can fail it. Returns the allocator installed before. Install while no other
    // thread parses.
    using Allocator = void* (*)(size_t size);
    static Allocator SetAllocatorForTesting(Allocator allocator);

private:
    struct FreeDeleter {
        void operator()(unsigned char* buffer) const { std::free(buffer); }
    };

    // Takes over a buffer from the I/O utilities (content and a terminating zero byte).
    bool ParseBuffer(std::unique_ptr<unsigned char, FreeDeleter> buffer, size_t size,
                     std::string_view key);
    void Scan(size_t position, std::string_view key);

    // An entry as offsets into the content: where its line starts, its comma, its line end.
    // Twelve bytes an entry keep a list of a million units small.
    struct Entry {
        std::uint32_t start;
        std::uint32_t comma;
        std::uint32_t end;
    };

    // Entries live in fixed-size chunks: a growing list is never copied, and never holds
    // more room than one chunk beyond what it uses.
    static constexpr size_t kChunkEntries = size_t{1} << 15;
    const Entry& At(size_t k) const { return m_chunks[k / kChunkEntries][k % kChunkEntries]; }
    void Add(const Entry& entry);
    // Forgets the content and every entry.
    void Clear();

    std::unique_ptr<unsigned char, FreeDeleter> m_buffer;  // the content, read whole
    std::string_view m_content;
    std::vector<std::vector<Entry>> m_chunks;  // each reserved to kChunkEntries, filled in order
    size_t m_count = 0;
    bool m_entryAreaFound = false;
};

}  // namespace gwu
