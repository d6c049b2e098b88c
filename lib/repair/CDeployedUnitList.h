// The deployed-unit list "DeployedHLXs.ini" in the runtime folder: every deployed
// communication module's serial number with its Ethernet MAC address, one "serial,MAC" line
// each, in the lines after a line that holds "HLXSerialNumbers".
#pragma once

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
    // The same on content already in memory (the list as read from the file).
    bool Parse(std::string content, std::string_view key);

    // Parallel lists, in the order found: entry k's serial number and its MAC text (the text
    // after the comma up to the line end, which may carry a CR). They point into the content
    // the list holds and live as long as it.
    const std::vector<std::string_view>& SerialNumbers() const { return m_serialNumbers; }
    const std::vector<std::string_view>& MACAddresses() const { return m_macAddresses; }
    bool EntryAreaFound() const { return m_entryAreaFound; }

private:
    void Scan(size_t position, std::string_view key);

    std::string m_path;
    std::string m_content;
    std::vector<std::string_view> m_serialNumbers;
    std::vector<std::string_view> m_macAddresses;
    bool m_entryAreaFound = false;
};

}  // namespace gwu
