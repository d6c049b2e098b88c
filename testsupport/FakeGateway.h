// A device double for the facade's tests: it records what the facade asks of it and answers
// from fields the test sets.
#pragma once

#include <functional>
#include <future>
#include <map>
#include <string>
#include <utility>

#include "devices/CGatewayUtils.h"
#include "platform/Diagnostics.h"

namespace gwu::test {

// A device with the code types up to the last one it supports. Its release files "f<code>.rel"
// hold the identifiers of diskIds; its values are published as "<tag>_<code>"; identifiers
// starting "KLEM_" trim to the rest. Updates wait for the gate, when it is set, once they have
// started. Reports "<tag> <operation>" on the monitor for what the tests follow.
class FakeGateway : public CGatewayUtils {
public:
    FakeGateway(std::string tag, CODETYPE lastSupported, const std::shared_future<void>& gate,
                CTabQuillonFrame* frame)
        : CGatewayUtils(nullptr, frame),
          m_tag(std::move(tag)),
          m_lastSupported(lastSupported),
          m_gate(gate) {}
    ~FakeGateway() override { Record("destroyed"); }

    void SendUpdateCommand() override {}
    void ResetDevice() override {}
    void SendDeviceString(CString /*text*/) override {}
    bool RenameFile(CODETYPE codeType, bool flag) override {
        Record("RenameFile " + std::to_string(codeType) + " " + std::to_string(flag));
        return true;
    }
    bool FileExists(CString fileName) override { return fileName == existingFile; }
    CString GetFilename(CODETYPE codeType, bool flag) override {
        return "f" + std::to_string(codeType) + (flag ? ".rel" : ".bin");
    }
    bool GetVersionFromFile(CString fileName, CString& version) override {
        Record("GetVersionFromFile " + fileName);
        const bool found = diskIds.count(fileName) != 0;
        version = found ? diskIds[fileName] : version;
        return found;
    }
    bool SetReleaseIds(bool readDevice) override {
        Record("SetReleaseIds " + std::to_string(readDevice));
        return releaseIdsResult;
    }
    bool TrimReleaseId(CString releaseText, CString& trimmed) override {
        const bool trims = releaseText.rfind("KLEM_", 0) == 0;
        trimmed = trims ? releaseText.substr(5) : trimmed;
        return trims;
    }
    CString GetReleaseValueName(CODETYPE /*codeType*/) override { return {}; }  // not used
    CString GetUntrimmedReleaseValueName(CODETYPE codeType) override {
        return m_tag + "_" + std::to_string(codeType);
    }
    bool UpdatePROM() override { return Update("UpdatePROM"); }
    bool UpdateBCF() override { return Update("UpdateBCF"); }
    bool UpdateBootstrap() override { return Update("UpdateBootstrap"); }
    bool UpdateCPLD() override { return Update("UpdateCPLD"); }
    bool UpdateMACFirmware() override { return Update("UpdateMACFirmware"); }
    bool SupportsCodeType(CODETYPE codeType) override { return codeType <= m_lastSupported; }
    CString GetCustomCPLDFileName() override { return customCpld; }
    void SetCustomCPLDFileName(CString fileName) override { customCpld = fileName; }
    bool HasCustomCPLD() override { return hasCustomCpld; }
    void UpdateActiveCableFirmware() override { Record("UpdateActiveCableFirmware"); }

    std::map<CString, CString> diskIds;
    CString existingFile;
    CString customCpld;
    bool hasCustomCpld = false;
    bool releaseIdsResult = true;
    std::function<void()> onUpdate;  // runs inside every update operation; may throw
    bool updateResult = true;        // what every update operation reports

private:
    void Record(const std::string& what) const { MonPrintf("%s %s", m_tag.c_str(), what.c_str()); }
    bool Update(const std::string& name) {
        const std::shared_future<void> gate = m_gate;  // taken before the start is seen
        Record("update " + name);
        if (gate.valid()) {
            gate.wait();
        }
        if (onUpdate) {
            onUpdate();
        }
        Record("finished " + name);
        return updateResult;
    }

    std::string m_tag;
    CODETYPE m_lastSupported;
    const std::shared_future<void>& m_gate;
};

}  // namespace gwu::test
