#include "cli/Report.h"

#include <cstdio>
#include <iterator>

#include "os/Format.h"

namespace gwu::cli {

namespace {

constexpr const char* kCodeLabels[] = {"LC", "PROM", "BS", "CPLD", "MAC"};
constexpr CODETYPE kCodeTypes[] = {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE};

const char* BasisWord(Basis basis) {
    switch (basis) {
        case Basis::Release:
            return "release";
        case Basis::CustomCpld:
            return "custom-cpld";
        case Basis::None:
            break;
    }
    return "none";
}

// The disk column of the table: the release compared with, or in words why there is none.
std::string DiskText(const CodeRow& row) {
    switch (row.basis) {
        case Basis::Release:
            return row.disk      ? *row.disk
                   : row.problem ? "(no release: " + *row.problem + ")"
                                 : "(no release on disk)";
        case Basis::CustomCpld:
            return "custom CPLD rule: " + (row.disk ? *row.disk : std::string("none configured"));
        case Basis::None:
            break;
    }
    return "no release file by design";
}

}  // namespace

std::vector<CODETYPE> FamilyCodeTypes(bool communication) {
    if (communication) {
        return {std::begin(kCodeTypes), std::end(kCodeTypes)};
    }
    return {LC_CODE, PROM_CODE};
}

Basis BasisOf(CODETYPE codeType) {
    if (codeType == CPLD_CODE) {
        return Basis::CustomCpld;
    }
    return codeType == MAC_CODE ? Basis::None : Basis::Release;
}

const char* CodeLabel(CODETYPE codeType) {
    return codeType >= LC_CODE && codeType <= MAC_CODE ? kCodeLabels[codeType] : "?";
}

Json VerdictsJson(const CCodeDiffResults& results) {
    Json out = Json::object();
    for (const CODETYPE codeType : kCodeTypes) {
        out[kCodeLabels[codeType]] = gwu::DiffTypeWord(results.GetDiff(codeType));
    }
    return out;
}

const CodeRow* CheckReport::Row(CODETYPE codeType) const {
    for (const CodeRow& row : rows) {
        if (row.codeType == codeType) {
            return &row;
        }
    }
    return nullptr;
}

int CheckReport::ComparedCount() const {
    int count = 0;
    for (const CodeRow& row : rows) {
        count += row.compared ? 1 : 0;
    }
    return count;
}

int CheckReport::ReleaseRowCount() const {
    int count = 0;
    for (const CodeRow& row : rows) {
        count += row.basis == Basis::Release ? 1 : 0;
    }
    return count;
}

bool CheckReport::UpToDate() const {
    return read && ComparedCount() > 0 && !results.DifferencesFound();
}

Json ToJson(const CheckReport& report, const std::string& card) {
    Json disk = Json::object();
    Json compared = Json::object();
    Json basis = Json::object();
    Json problems = Json::object();
    for (const CodeRow& row : report.rows) {
        const char* label = CodeLabel(row.codeType);
        disk[label] = row.disk ? Json(*row.disk) : Json(nullptr);
        problems[label] = row.problem ? Json(*row.problem) : Json(nullptr);
        compared[label] = row.compared;
        basis[label] = BasisWord(row.basis);
    }
    Json document;
    document["card"] = card;
    document["read"] = report.read;
    document["values"] = report.values;
    document["disk"] = disk;
    document["compared"] = compared;
    document["basis"] = basis;
    document["problems"] = problems;
    document["compared_count"] = report.ComparedCount();
    document["release_count"] = report.ReleaseRowCount();
    document["results"] = VerdictsJson(report.results);
    document["summary"] = report.results.ToString();
    document["differences"] = report.results.DifferencesFound();
    document["up_to_date"] = report.UpToDate();
    document["legacy"] = {{"installed", report.legacyInstalled}, {"version", report.legacyVersion}};
    Json manifest = Json::object();
    for (const CodeRow& row : report.rows) {
        manifest[CodeLabel(row.codeType)] = row.manifest ? Json(*row.manifest) : Json(nullptr);
    }
    document["signature"] = SignatureJson(report.folder);
    document["manifest"] = manifest;
    document["folder"] = FolderJson(report.folder);
    document["list"] = nullptr;
    if (report.list) {
        document["list"] = {
            {"recorded", report.list->recorded},
            {"problem", report.list->problem ? Json(*report.list->problem) : Json(nullptr)}};
    }
    return document;
}

Json RowsJson(const CheckReport& report) {
    Json rows = Json::array();
    for (const CodeRow& row : report.rows) {
        rows.push_back({{"code_type", CodeLabel(row.codeType)},
                        {"basis", BasisWord(row.basis)},
                        {"device", row.device},
                        {"trimmed", row.trimmed},
                        {"disk", row.disk ? Json(*row.disk) : Json(nullptr)},
                        {"disk_text", DiskText(row)},
                        {"problem", row.problem ? Json(*row.problem) : Json(nullptr)},
                        {"verdict", gwu::DiffTypeWord(row.verdict)},
                        {"compared", row.compared},
                        {"manifest", row.manifest ? Json(*row.manifest) : Json(nullptr)}});
    }
    return rows;
}

void PrintReport(const CheckReport& report, const std::string& serialValueName) {
    // Releases, serial numbers and disk texts come from devices and files: escaped, so that
    // none of them can drive the terminal.
    if (!report.read) {
        std::printf("  The device was not read.\n");
    }
    const Json serial =
        report.values.contains(serialValueName) ? report.values[serialValueName] : Json("");
    std::printf("  Serial number  %s\n", EscapeForTerminal(serial.get<std::string>()).c_str());
    std::printf("  %-5s %-36s %-34s %-9s %s\n", "code", "device release (trimmed)", "disk release",
                "manifest", "verdict");
    for (const CodeRow& row : report.rows) {
        std::string device = EscapeForTerminal(row.device);
        if (row.trimmed != row.device) {
            device += " (" + EscapeForTerminal(row.trimmed) + ")";
        }
        std::string verdict = gwu::DiffTypeWord(row.verdict);
        if (row.basis == Basis::Release && !row.compared) {
            verdict += ", not compared";
        }
        std::printf("  %-5s %-36s %-34s %-9s %s\n", CodeLabel(row.codeType), device.c_str(),
                    EscapeForTerminal(DiskText(row)).c_str(),
                    row.manifest ? row.manifest->c_str() : "-", verdict.c_str());
    }
    std::printf("  Firmware folder: %s\n", EscapeForTerminal(FolderText(report.folder)).c_str());
    std::printf("  Summary: %s (%d of %d releases compared with the disk)\n",
                report.results.ToString().c_str(), report.ComparedCount(),
                report.ReleaseRowCount());
    if (report.read && report.ComparedCount() == 0) {
        std::printf("  No release on disk to compare the device with: no verdict.\n");
    }
    if (report.legacyInstalled) {
        std::printf("  Legacy tester software on the device: %s\n",
                    EscapeForTerminal(report.legacyVersion).c_str());
    }
}

void WarnAboutList(const CheckReport& report) {
    if (!report.read || !report.list || (report.list->recorded && !report.list->problem)) {
        return;  // a device not read is said so already; the measurement module has no list
    }
    const std::string file = EscapeForTerminal(report.list->file);
    const std::string problem = EscapeForTerminal(report.list->problem.value_or(""));
    if (report.list->recorded) {
        std::fprintf(stderr,
                     "gwctl: warning: the serial-number list %s holds the device's line, but "
                     "writing it reported: %s\n",
                     file.c_str(), problem.c_str());
    } else {
        std::fprintf(stderr, "gwctl: warning: the serial-number list %s was not updated: %s\n",
                     file.c_str(), problem.c_str());
    }
}

Json SignatureJson(const FolderReport& folder) {
    Json signature{{"state", folder.signature}};
    if (!folder.publisher.empty()) {
        signature["publisher"] = folder.publisher;
    }
    if (folder.sequence) {
        signature["sequence"] = *folder.sequence;
    }
    if (!folder.problem.empty()) {
        signature["problem"] = folder.problem;
    }
    return signature;
}

Json FolderJson(const FolderReport& folder) {
    auto text = [](const std::string& value) {
        return value.empty() ? Json(nullptr) : Json(value);
    };
    return {{"verified", folder.verified},
            {"usable", folder.usable},
            {"refusal", text(folder.refusal)},
            {"warning", text(folder.warning)}};
}

std::string FolderText(const FolderReport& folder) {
    if (folder.verified) {
        return "signed by " + folder.publisher + ", sequence " +
               std::to_string(folder.sequence.value_or(0)) + ", every file matches its manifest";
    }
    if (!folder.usable) {
        return "refused: " + folder.refusal;
    }
    std::string text = "signature " + folder.signature;
    if (!folder.problem.empty()) {
        text += " (" + folder.problem + ")";
    }
    return text + "; not verified";
}

std::string DumpJson(const Json& document, int indent) {
    return document.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace gwu::cli
