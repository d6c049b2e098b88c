// The serial-number list file: one line per communication module met, "serial,release,prom,
// bootstrap" with CR LF line ends, in the order the devices were first met.
#pragma once

#include <string>
#include <string_view>

namespace gwu {

struct SerialNumRecord {
    std::string serial;
    std::string release;
    std::string prom;
    std::string bootstrap;
};

// File names inside the log-files folder.
constexpr const char* kSerialNumListName = "HLX_Serial_Nums.txt";
constexpr const char* kSerialNumTempName = "HLX_Serial_Nums.tmp";
// A temporary file that a rewrite finds is one left by a writer that died; it is kept, set
// aside as this prefix + the local time ("YYYYMMDD-HHMMSS", "-2", "-3"... when taken) + ".txt".
constexpr const char* kSerialNumAsidePrefix = "HLX_Serial_Nums.aside-";

// The record's line, with its CR LF line end.
std::string FormatSerialNumLine(const SerialNumRecord& record);

// A line belongs to a device when its first field, the text before its first comma (the whole
// line when it has none), equals the serial number exactly. A line's CR before its LF, or before
// the end of the list, is not part of the line.
bool LineBelongsTo(std::string_view line, std::string_view serial);

// The list after meeting a known device: every line that belongs to the device is replaced by
// the new line; the other lines stay, in order, each with a CR LF line end.
std::string RewriteSerialNumList(std::string_view content, std::string_view serial,
                                 std::string_view newLine);

// True only when RewriteSerialNumList would give the content back unchanged, so there is
// nothing to write.
bool AlreadyRecorded(std::string_view content, std::string_view serial, std::string_view newLine);

// Records one device in the list file of the folder: appends a line for a new serial number
// (on a line of its own, after a CR LF when the list's last line has none), rewrites the list
// for a known one. A list that is a symbolic link is written through to its target, with the
// lock and the temporary file beside the target. The list is read a piece at a time, so memory
// does not grow with it. Any number of processes may record at once: each waits for the
// others' turns. Problems go to the monitor output, never as an exception; the list then keeps
// its previous content under its own name. A record without a serial number is not stored.
void StoreSerialNumRecord(const std::string& folder, const SerialNumRecord& record);

// Records the device just read (its texts as it replied them) in the list file of the host's
// log-files folder, as StoreSerialNumRecord does. A text's line ends become spaces, so that the
// device keeps one line of the list whatever it replied.
void StoreDeviceReading(SerialNumRecord record);

}  // namespace gwu
