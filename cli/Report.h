// What one check found, row by row, and how gwctl shows it: a table for a person, a JSON
// document for a program. A row tells a real comparison with a disk release apart from a
// verdict that had nothing on disk to compare with.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "gateway/CCodeDiffResults.h"
#include "gateway/VerifiedUpdate.h"

namespace gwu::cli {

using Json = nlohmann::ordered_json;

// The label of a code type in the tool's output: "LC", "PROM", "BS", "CPLD", "MAC".
const char* CodeLabel(CODETYPE codeType);
// Every code type's verdict word under its label.
Json VerdictsJson(const CCodeDiffResults& results);

// What a code type's verdict rests on.
enum class Basis {
    Release,     // the device's release against the release installed on disk
    CustomCpld,  // the CPLD: whether the device carries a custom CPLD exactly when one is set
    None,        // the cable firmware: no release file is compared, by design
};

// The code types of a family, in code-type order: all five for the communication module, loaded
// code and PROM for the measurement module.
std::vector<CODETYPE> FamilyCodeTypes(bool communication);
Basis BasisOf(CODETYPE codeType);

struct CodeRow {
    CODETYPE codeType = LC_CODE;
    Basis basis = Basis::Release;
    std::string device;               // the device's release as published, untrimmed
    std::string trimmed;              // and trimmed
    std::optional<std::string> disk;  // the disk release; the configured custom CPLD file
    // A release file that is there but holds no release: its path and why, in words.
    std::optional<std::string> problem;
    bool compared = false;  // a release comparison with a disk release took place
    DIFFTYPE verdict = DIFF_SAME;
    // The release file against the folder's manifest ("matches", "differs", "missing",
    // "unlisted", "unusable", or "absent": neither listed nor there); none when the folder has
    // no readable manifest.
    std::optional<std::string> manifest;
};

// The firmware folder's signature and what the tester's policy makes of it.
struct FolderReport {
    std::string path;
    std::string signature = "unsigned";  // "valid", "unsigned", "invalid", "untrusted", ...
    std::string publisher;               // the trusted key's name, when signed by one
    std::optional<std::uint64_t> sequence;
    std::string problem;    // why the signature is not valid, in words
    bool verified = false;  // signed by a trusted key, every file matching its manifest
    bool usable = false;    // the policy lets its files reach the device
    std::string refusal;    // why not usable
    std::string warning;    // why a usable folder is not verified
};

// What became of the device's line in the serial-number list. Only the communication module is
// recorded: the measurement module has no list outcome at all. A device that was not read is
// not recorded, with that as the problem.
struct ListOutcome {
    std::string file;
    // Evidence, not the writer's word: after the check the list holds a line that is exactly the
    // line of the values the check published, whose first field is exactly the serial number.
    bool recorded = false;
    // In words: what the list writer reported on the monitor (even with the line in place),
    // or why the line is not there; none when all went well.
    std::optional<std::string> problem;
};

struct CheckReport {
    gwu::CheckRecord record;  // the check as the library's verified update made it
    bool read = false;
    CCodeDiffResults results;   // exactly as the library returned them
    std::vector<CodeRow> rows;  // the family's code types, in code-type order
    Json values = Json::object();
    bool legacyInstalled = false;
    std::string legacyVersion;
    std::optional<ListOutcome> list;  // the communication module's only
    FolderReport folder;
    // An update that sent nothing to the device: why (the folder refused, or the library's file
    // check refused a round); empty otherwise.
    std::string refused;

    const CodeRow* Row(CODETYPE codeType) const;
    int ComparedCount() const;
    int ReleaseRowCount() const;
    // Every verdict Same, with at least one real comparison behind them.
    bool UpToDate() const;
};

Json ToJson(const CheckReport& report, const std::string& card);
// The rows as a screen shows them: per code type its label, the device's release (untrimmed and
// trimmed), the disk release or in words why there is none, the verdict and whether it rests on
// a real comparison.
Json RowsJson(const CheckReport& report);
void PrintReport(const CheckReport& report, const std::string& serialValueName);
// A warning on stderr when the check read a device whose line the list lacks, or whose writer
// reported a problem; nothing otherwise.
void WarnAboutList(const CheckReport& report);
// The folder's signature as JSON: {"state", "publisher", "sequence", "problem"} (the last three
// when known), and the folder as the policy sees it.
Json SignatureJson(const FolderReport& folder);
Json FolderJson(const FolderReport& folder);
// The folder's state in words, one line: "signed by NAME, sequence N, every file matches" or
// why it is not verified.
std::string FolderText(const FolderReport& folder);
// A document as gwctl prints it: device and file texts as they are, bytes that are not UTF-8 as
// the replacement character (JSON has no way to carry them).
std::string DumpJson(const Json& document, int indent = 2);

}  // namespace gwu::cli
