// Both device families apart from the release reading: release-id trimming, value names and
// files, the updates and the device commands, against the scripted connection.
#include <filesystem>
#include <string>
#include <tuple>

#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "host/Folders.h"
#include "testsupport/DeviceBench.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

class DeviceCommandsTest : public FolderFixture {
protected:
    bool InFirmware(const std::string& name) const { return fs::exists(Firmware() / name); }

    DeviceBench<CHLXUtils> hlx;
    DeviceBench<CQPTUtils> qpt;
};

// The communication module keeps the text after the last underscore of a text holding "KLEM_"
// when it starts with R or ER, else answers false and the text itself; the measurement module
// keeps "R" and the text after "Release ", else answers false and leaves the output alone.
TEST_F(DeviceCommandsTest, TrimReleaseIdKeepsTheFamilysReleasePart) {
    const std::tuple<const char*, const char*, bool, const char*> cases[] = {
        {"HLX", "KLEM_12345_R0.6.2", true, "R0.6.2"},
        {"HLX", "KLEM_BOOT_ER12", true, "ER12"},
        {"HLX", "XKLEM_A_B_R1", true, "R1"},
        {"HLX", "KLEM_12345_X3", false, "KLEM_12345_X3"},
        {"HLX", "XY_R5", false, "XY_R5"},
        {"HLX", "klem_1_R1", false, "klem_1_R1"},
        {"HLX", "KLEM_1_er1", false, "KLEM_1_er1"},
        {"HLX", "KLEM_R1_X2", false, "KLEM_R1_X2"},
        {"QPT", "QPT Release 3.2.0", true, "R3.2.0"},
        {"QPT", "Release 2.10", true, "R2.10"},
        {"QPT", "QPT 3.2.0", false, "stale"},
        {"QPT", "release 1.0", false, "stale"},
        {"QPT", "Release1.0", false, "stale"},
        {"QPT", "", false, "stale"}};
    for (const auto& [family, text, trims, expected] : cases) {
        CGatewayUtils& device =
            *family == 'H' ? static_cast<CGatewayUtils&>(hlx.device) : qpt.device;
        CString trimmed = "stale";
        EXPECT_EQ(device.TrimReleaseId(text, trimmed), trims) << family << " " << text;
        EXPECT_EQ(trimmed, expected);
    }
}

TEST_F(DeviceCommandsTest, CommunicationModuleNamesFilesAndTheCustomCpld) {
    const std::string names[] = {"HLX_Release", "HLX_PROM_Release", "HLX_Bootstrap_Release",
                                 "HLX_CPLD_Release", "HLX_MAC_Firmware_Release"};
    for (const CODETYPE code : {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE}) {
        EXPECT_TRUE(hlx.device.SupportsCodeType(code));
        EXPECT_EQ(hlx.device.GetReleaseValueName(code), names[code]);
        EXPECT_EQ(hlx.device.GetUntrimmedReleaseValueName(code), names[code] + "_Untrimmed");
    }
    EXPECT_TRUE(m_diagnostics.Errors().empty());
    const auto bad = static_cast<CODETYPE>(5);
    EXPECT_FALSE(hlx.device.SupportsCodeType(static_cast<CODETYPE>(-1)));
    EXPECT_EQ(hlx.device.GetReleaseValueName(bad), "");
    EXPECT_EQ(hlx.device.GetUntrimmedReleaseValueName(bad), "");
    EXPECT_FALSE(hlx.device.RenameFile(bad, false));
    EXPECT_EQ(m_diagnostics.Errors(),
              (Lines{".\\HLXUtils(491)", ".\\HLXUtils(529)", ".\\HLXUtils(144)", ".\\HLXUtils(317)",
                     ".\\HLXUtils(317)"}));
    WriteRelease("HLX_LC.rel", "KLEM_1_R1");
    EXPECT_FALSE(hlx.device.ReleaseFileExists());  // that is the loaded code's device-load file
    WriteRelease("HLX_LC.bin", "KLEM_1_R1");
    EXPECT_TRUE(hlx.device.ReleaseFileExists());
    // A custom CPLD is whatever the untrimmed CPLD value holds but the standard text and the
    // placeholders.
    for (const char* standard : {"STANDARD BEXA CPLD", "Unknown", "NotConnected"}) {
        hlx.frame.SetValue("HLX_CPLD_Release_Untrimmed", standard, 512);
        EXPECT_FALSE(hlx.device.HasCustomCPLD()) << standard;
    }
    hlx.frame.SetValue("HLX_CPLD_Release", "R7", 512);  // the trimmed name is not read
    for (const char* custom : {"R7", "standard bexa cpld", "UNKNOWN"}) {
        hlx.frame.SetValue("HLX_CPLD_Release_Untrimmed", custom, 512);
        EXPECT_TRUE(hlx.device.HasCustomCPLD()) << custom;
    }
}

// Loaded code and PROM only: any other code type is logged and answered like the loaded code,
// without a file; the commands the module lacks send nothing, and it has no custom CPLD.
TEST_F(DeviceCommandsTest, MeasurementModuleHasLoadedCodeAndPromOnly) {
    EXPECT_EQ(qpt.device.GetReleaseValueName(PROM_CODE), "QPT_PROM_Release");
    EXPECT_EQ(qpt.device.GetUntrimmedReleaseValueName(PROM_CODE), "QPT_PROM_Release_Untrimmed");
    EXPECT_EQ(qpt.device.GetUntrimmedReleaseValueName(LC_CODE), "QPT_Release_Untrimmed");
    for (const CODETYPE code : {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE}) {
        EXPECT_EQ(qpt.device.SupportsCodeType(code), code == LC_CODE || code == PROM_CODE) << code;
    }
    EXPECT_TRUE(m_diagnostics.Errors().empty());
    EXPECT_TRUE(qpt.device.RenameFile(BS_CODE, false));
    EXPECT_EQ(qpt.device.GetFilename(CPLD_CODE, true), "");
    EXPECT_EQ(qpt.device.GetReleaseValueName(MAC_CODE), "QPT_Release");
    EXPECT_EQ(qpt.device.GetUntrimmedReleaseValueName(BS_CODE), "QPT_Release_Untrimmed");
    EXPECT_EQ(m_diagnostics.Errors(), (Lines{".\\QPTUtils(47)", ".\\QPTUtils(166)",
                                             ".\\QPTUtils(253)", ".\\QPTUtils(273)"}));
    qpt.device.SendUpdateCommand();
    qpt.device.SendDeviceString("hello");
    qpt.device.UpdateActiveCableFirmware();
    EXPECT_TRUE(qpt.comms.Calls().empty());
    qpt.device.SetCustomCPLDFileName("custom.jed");
    EXPECT_FALSE(qpt.device.HasCustomCPLD());
}

// The communication module's update command and reset; how comms failures end an update is the
// fault matrix's.
const Lines kUpdateAndReset = {"get 0x400000 0x0 1 20000", "reset 0x80000000 0x0 0 10000"};

// Each update moves its own release into place, then the loaded code's, then restarts; the
// family's updates replace the base defaults, with no release files at all too.
TEST_F(DeviceCommandsTest, CommunicationModuleUpdateMovesItsReleaseThenTheLoadedCode) {
    EXPECT_TRUE(static_cast<CGatewayUtils&>(hlx.device).UpdateMACFirmware());
    EXPECT_EQ(hlx.comms.Sent(), kUpdateAndReset);
    const std::pair<bool (CHLXUtils::*)(), std::string> updates[] = {
        {&CHLXUtils::UpdateBCF, "LC"},
        {&CHLXUtils::UpdatePROM, "PROM"},
        {&CHLXUtils::UpdateBootstrap, "BOOT"},
        {&CHLXUtils::UpdateCPLD, "CPLD"},
        {&CHLXUtils::UpdateMACFirmware, "MAC"}};
    const auto moved = [](const std::string& code) {
        return "RenameGatewayFile: HLX_" + code + ".rel placed as HLX_" + code + ".bin: done";
    };
    for (const auto& [operation, code] : updates) {
        for (const char* release : {"LC", "PROM", "BOOT", "CPLD", "MAC"}) {
            WriteRelease("HLX_" + std::string(release) + ".rel", "KLEM_R2");
        }
        hlx.comms.ClearRecords();
        const size_t monitorBefore = m_diagnostics.Monitor().size();
        EXPECT_TRUE((hlx.device.*operation)()) << code;
        Lines expected{moved(code)};
        if (code != "LC") {
            expected.push_back(moved("LC"));
        }
        EXPECT_EQ(m_diagnostics.MonitorSince(monitorBefore, "RenameGatewayFile:"), expected);
        EXPECT_EQ(hlx.comms.Sent(), kUpdateAndReset) << code;
    }
}

// The cable firmware update sends the hex image's path.
TEST_F(DeviceCommandsTest, CableFirmwareAndDeviceStringsAreSentWhole) {
    hlx.comms.Answer(SubRequestKind::VsiGetSerialNumber, 0x400, Reply::Error(7));
    hlx.device.UpdateActiveCableFirmware();
    const std::string path = (Firmware() / "HLX_MAC.hex").string();
    EXPECT_EQ(hlx.comms.Sent(),
              Lines{"get 0x400 0x0 " + std::to_string(path.size() + 1) + " 30000"});
    EXPECT_EQ(hlx.comms.Requests()[0].data, path + std::string(1, '\0'));
    EXPECT_TRUE(m_diagnostics.MonitorHas("Update Torvi firmware: " + path));
    EXPECT_TRUE(m_diagnostics.MonitorHas("Firmware update result: 7"));
    // A device string goes in a 128-byte buffer, cut to 127 characters.
    hlx.comms.ClearRecords();
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    hlx.device.SendDeviceString(text);
    hlx.device.SendDeviceString("HELLO");
    EXPECT_EQ(hlx.comms.Sent(), Lines(2, "get 0x8000 0x0 128 10000"));
    EXPECT_EQ(hlx.comms.Requests()[0].data, text.substr(0, 127) + std::string(1, '\0'));
    EXPECT_EQ(hlx.comms.Requests()[1].data, "HELLO" + std::string(123, '\0'));
    hlx.comms.AnswerAt(2, Reply::Throw(1));
    EXPECT_THROW(hlx.device.SendDeviceString("X"), CBaseCommsException);
}

// The PROM release file's path goes in a 128-byte buffer, cut to 127 characters.
TEST_F(DeviceCommandsTest, MeasurementModuleUpdatePromNamesThePromReleaseFile) {
    qpt.comms.Answer(SubRequestKind::MsiGetCardDetails, 9, Reply::Text(""));
    EXPECT_TRUE(qpt.device.UpdatePROM());
    const std::string folder = Firmware().string() + "/" + std::string(150, 'd');
    {
        ScopedEnv longFolder(host::kFirmwareDirVariable, folder);
        EXPECT_TRUE(qpt.device.UpdatePROM());
    }
    EXPECT_EQ(qpt.comms.Sent(), Lines(2, "details 0x9 0x0 128 10000"));
    const std::string path = (Firmware() / "QPT_PROM.rel").string();
    EXPECT_EQ(qpt.comms.Requests()[0].data, path + std::string(128 - path.size(), '\0'));
    EXPECT_EQ(qpt.comms.Requests()[1].data, folder.substr(0, 127) + std::string(1, '\0'));
}

// Only the loaded code's release is moved into place, and it is copied: the release stays
// installed. UpdateBCF moves it, then resets the module; a failed reset (which passes the comms
// failure on) fails the update, the release placed all the same.
TEST_F(DeviceCommandsTest, MeasurementModulePlacesTheLoadedCodeThenResets) {
    WriteRelease("QPT_PROM.rel", "QPT PROM Release 1.5");
    EXPECT_TRUE(qpt.device.RenameFile(PROM_CODE, false));
    EXPECT_FALSE(InFirmware("QPT_PROM.bin"));
    EXPECT_FALSE(qpt.device.ReleaseFileExists());
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.1");
    EXPECT_TRUE(qpt.device.RenameFile(LC_CODE, false));  // either flag copies (the host's)
    EXPECT_TRUE(InFirmware("QPT_LC.rel"));
    EXPECT_TRUE(qpt.device.ReleaseFileExists());  // the device-load file
    fs::remove(Firmware() / "QPT_LC.rel");
    EXPECT_FALSE(qpt.device.RenameFile(LC_CODE, false));  // no release to place
    for (const bool resets : {true, false}) {
        WriteRelease("QPT_LC.rel",
                     resets ? "QPT Loaded Code Release 3.2.2" : "QPT Loaded Code Release 3.2.3");
        qpt.comms.Answer(SubRequestKind::MsiReset, 0x01000000,
                         resets ? Reply::Text("") : Reply::Throw(9));
        EXPECT_EQ(qpt.device.UpdateBCF(), resets);
        EXPECT_EQ(ReadFile(Firmware() / "QPT_LC.bin"), ReadFile(Firmware() / "QPT_LC.rel"));
    }
    EXPECT_EQ(qpt.comms.Sent(), Lines(2, "msi-reset 0x1000000 0x0 0 10000"));
    EXPECT_THROW(qpt.device.ResetDevice(), CBaseCommsException);
}

}  // namespace
}  // namespace gwu::test
