#include "cli/Report.h"

#include <cstdio>
#include <iterator>

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
            return row.disk ? *row.disk : "(no release on disk)";
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
    for (const CodeRow& row : report.rows) {
        const char* label = CodeLabel(row.codeType);
        disk[label] = row.disk ? Json(*row.disk) : Json(nullptr);
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
    document["compared_count"] = report.ComparedCount();
    document["release_count"] = report.ReleaseRowCount();
    document["results"] = VerdictsJson(report.results);
    document["summary"] = report.results.ToString();
    document["differences"] = report.results.DifferencesFound();
    document["up_to_date"] = report.UpToDate();
    document["legacy"] = {{"installed", report.legacyInstalled}, {"version", report.legacyVersion}};
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
                        {"verdict", gwu::DiffTypeWord(row.verdict)},
                        {"compared", row.compared}});
    }
    return rows;
}

void PrintReport(const CheckReport& report, const std::string& serialValueName) {
    if (!report.read) {
        std::printf("  The device was not read.\n");
    }
    const Json serial =
        report.values.contains(serialValueName) ? report.values[serialValueName] : Json("");
    std::printf("  Serial number  %s\n", serial.get<std::string>().c_str());
    std::printf("  %-5s %-36s %-34s %s\n", "code", "device release (trimmed)", "disk release",
                "verdict");
    for (const CodeRow& row : report.rows) {
        std::string device = row.device;
        if (row.trimmed != row.device) {
            device += " (" + row.trimmed + ")";
        }
        std::string verdict = gwu::DiffTypeWord(row.verdict);
        if (row.basis == Basis::Release && !row.compared) {
            verdict += ", not compared";
        }
        std::printf("  %-5s %-36s %-34s %s\n", CodeLabel(row.codeType), device.c_str(),
                    DiskText(row).c_str(), verdict.c_str());
    }
    std::printf("  Summary: %s (%d of %d releases compared with the disk)\n",
                report.results.ToString().c_str(), report.ComparedCount(),
                report.ReleaseRowCount());
    if (report.read && report.ComparedCount() == 0) {
        std::printf("  No release on disk to compare the device with: no verdict.\n");
    }
    if (report.legacyInstalled) {
        std::printf("  Legacy tester software on the device: %s\n", report.legacyVersion.c_str());
    }
}

}  // namespace gwu::cli
