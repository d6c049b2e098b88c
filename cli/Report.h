// What one check found, row by row, and how gwctl shows it: a table for a person, a JSON
// document for a program. A row tells a real comparison with a disk release apart from a
// verdict that had nothing on disk to compare with.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "gateway/CCodeDiffResults.h"

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
    bool compared = false;            // a release comparison with a disk release took place
    DIFFTYPE verdict = DIFF_SAME;
};

struct CheckReport {
    bool read = false;
    CCodeDiffResults results;   // exactly as the library returned them
    std::vector<CodeRow> rows;  // the family's code types, in code-type order
    Json values = Json::object();
    bool legacyInstalled = false;
    std::string legacyVersion;

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

}  // namespace gwu::cli
