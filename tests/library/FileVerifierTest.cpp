// The host's file verifier as both device families ask it through the facade: which files it is
// asked about and when, and that a refusal (or a verifier that throws) sends nothing at all.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gateway/CGatewayChecks.h"
#include "host/MemoryValueStore.h"
#include "testsupport/Fixtures.h"
#include "testsupport/ScriptedComms.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

class FileVerifierTest : public FolderFixture {
protected:
    FileVerifierTest() { CopySampleFirmware(); }
    // The device-load files in the firmware folder, sorted; removed when asked to.
    Lines Placed(bool remove = false) const {
        Lines names;
        for (const auto& entry : fs::directory_iterator(Firmware())) {
            if (entry.path().extension() == ".bin") {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        for (size_t i = 0; remove && i < names.size(); ++i) {
            fs::remove(Firmware() / names[i]);
        }
        return names;
    }
    // The update of the code type, or the cable request (none), on the card named.
    void Run(const char* card, std::optional<CODETYPE> code) {
        checks.SetCardName(card);
        comms.ClearRecords();
        if (!code) {
            checks.UpdateActiveCableFirmware();
            return;
        }
        CCodeDiffResults results;
        results.SetDiff(*code, DIFF_OLDER);
        checks.PerformUpdate(results);
        checks.WaitForUpdate();
    }

    ScriptedComms comms;
    host::Frame frame;
    CGatewayChecks checks{&frame, &comms};
};

// Every device-load file, present or not, as each must hold a release's bytes; before placing,
// the device-load files about to be replaced are left out, and once placed, all are asked about.
TEST_F(FileVerifierTest, AsksAboutEveryDeviceLoadFileBeforeAndAfterPlacing) {
    const std::string hlx =
        "HLX_LC.rel>HLX_LC.rel HLX_LC.bin>HLX_LC.rel HLX_PROM.rel>HLX_PROM.rel "
        "HLX_PROM.bin>HLX_PROM.rel HLX_BOOT.rel>HLX_BOOT.rel HLX_BOOT.bin>HLX_BOOT.rel "
        "HLX_CPLD.rel>HLX_CPLD.rel HLX_CPLD.bin>HLX_CPLD.rel HLX_MAC.rel>HLX_MAC.rel "
        "HLX_MAC.bin>HLX_MAC.rel HLX_MAC.hex>HLX_MAC.hex custom.jed>custom.jed ";
    const std::string qpt =
        "QPT_LC.rel>QPT_LC.rel QPT_LC.bin>QPT_LC.rel QPT_PROM.rel>QPT_PROM.rel "
        "QPT_PROM.bin>QPT_PROM.rel ";
    const struct {
        const char* card;
        CODETYPE code;
        Lines placed;  // left out of the first ask; no second ask when none
    } cases[] = {
        {"VCL", LC_CODE, {"HLX_LC.bin"}},
        {"VCL", PROM_CODE, {"HLX_LC.bin", "HLX_PROM.bin"}},
        {"VCL", BS_CODE, {"HLX_BOOT.bin", "HLX_LC.bin"}},
        {"VCL", CPLD_CODE, {"HLX_CPLD.bin", "HLX_LC.bin"}},
        {"VCL", MAC_CODE, {"HLX_LC.bin", "HLX_MAC.bin"}},
        {"QPT", LC_CODE, {"QPT_LC.bin"}},
        {"QPT", PROM_CODE, {}},  // the module reads the release itself
    };
    Lines asks;
    checks.SetFileVerifier([&](const CString& folder, const std::vector<GatewayLoadFile>& files) {
        EXPECT_EQ(folder, Firmware().string());
        std::string text;
        for (const GatewayLoadFile& file : files) {
            text += file.name + ">" + file.listedAs + " ";
        }
        asks.push_back(text + "with " + std::to_string(Placed().size()) + " placed");
        return CString{};
    });
    checks.SetCardName("VCL");
    checks.SetCustomCPLDFileName("custom.jed");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.card) + " " + std::to_string(c.code));
        Placed(true);
        asks.clear();
        Run(c.card, c.code);
        std::string first = *c.card == 'V' ? hlx : qpt;
        for (const std::string& name : c.placed) {
            first.erase(first.find(name + ">"), 2 * name.size() + 2);  // "X.bin>X.rel "
        }
        Lines expected{first + "with 0 placed"};
        if (!c.placed.empty()) {
            expected.push_back((*c.card == 'V' ? hlx : qpt) + "with " +
                               std::to_string(c.placed.size()) + " placed");
        }
        EXPECT_EQ(asks, expected);
        EXPECT_EQ(Placed(), c.placed);
        EXPECT_FALSE(comms.Sent().empty());  // accepted: the update went on
    }
}

// Refused at the first ask, at the second (the files changed after placing), or by throwing:
// no request reaches the device, the update fails, the facade says why; refused before placing,
// nothing is placed either.
TEST_F(FileVerifierTest, RefusalSendsNothing) {
    struct Case {
        const char* card;
        std::optional<CODETYPE> code;  // none: the cable request
        int refuseAt;                  // the ask that refuses
        int throws;                    // 0: returns the reason; 1: throws it; 2: throws an int
        Lines placed;
    };
    const Case cases[] = {
        {"VCL", std::nullopt, 1, 2, {}},
        {"VCL", LC_CODE, 1, 0, {}},
        {"VCL", LC_CODE, 2, 0, {"HLX_LC.bin"}},
        {"VCL", PROM_CODE, 1, 1, {}},
        {"VCL", std::nullopt, 1, 0, {}},
        {"QPT", PROM_CODE, 1, 0, {}},
        {"QPT", LC_CODE, 1, 0, {}},
        {"QPT", LC_CODE, 2, 1, {"QPT_LC.bin"}},
    };
    int asks = 0;
    std::string reason;
    const auto* current = &cases[0];
    checks.SetFileVerifier([&](const CString&, const std::vector<GatewayLoadFile>&) {
        if (++asks < current->refuseAt) {
            return CString{};
        }
        if (current->throws == 2) {
            throw 42;
        }
        if (current->throws == 1) {
            throw std::runtime_error(reason);
        }
        return reason;
    });
    for (const auto& c : cases) {
        current = &c;
        asks = 0;
        reason = "HLX_LC.bin: refused in case " + std::to_string(&c - cases);
        SCOPED_TRACE(reason);
        Placed(true);
        EXPECT_NO_THROW(Run(c.card, c.code));
        EXPECT_EQ(asks, c.refuseAt);
        EXPECT_EQ(comms.Sent(), Lines{});
        EXPECT_EQ(Placed(), c.placed);
        if (c.code) {
            EXPECT_EQ(checks.WaitForUpdate(), UPDATE_FAILED);
        }
        EXPECT_NE(checks.GetFileRefusal().find(c.throws == 2 ? "the file check failed" : reason),
                  std::string::npos)
            << checks.GetFileRefusal();
    }
}

}  // namespace
}  // namespace gwu::test
