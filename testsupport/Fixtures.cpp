#include "testsupport/Fixtures.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "host/popup/PopupDrivers.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {

namespace {

// Plays the events and shows the observer the popup before each event and after the last.
class ObservingDriver : public host::ScriptDriver {
public:
    ObservingDriver(std::vector<host::PopupEvent> events,
                    std::function<void(const host::PopupView&)> observe)
        : ScriptDriver(std::move(events)), m_observe(std::move(observe)) {}
    std::optional<host::PopupEvent> NextEvent(const host::PopupView& view) override {
        if (m_observe) {
            m_observe(view);
        }
        return ScriptDriver::NextEvent(view);
    }

private:
    std::function<void(const host::PopupView&)> m_observe;
};

}  // namespace

ScriptedPopups::~ScriptedPopups() {
    host::SetPopupDriver(nullptr);
    EXPECT_TRUE(host::ResetPopupLibrary());
}

void ScriptedPopups::Play(const std::string& keys,
                          std::function<void(const host::PopupView&)> observe) {
    ASSERT_TRUE(host::ResetPopupLibrary());
    const auto events = host::ParseKeyScript(keys);
    ASSERT_TRUE(events.has_value()) << keys;
    host::SetPopupDriver(std::make_unique<ObservingDriver>(*events, std::move(observe)));
}

std::vector<std::filesystem::path> SerialListFixture::AsideFiles() const {
    std::vector<std::filesystem::path> aside;
    for (const auto& entry : std::filesystem::directory_iterator(Logs())) {
        if (entry.path().filename().string().rfind(kSerialNumAsidePrefix, 0) == 0) {
            aside.push_back(entry.path());
        }
    }
    return aside;
}

void RunIsolated(const std::function<void()>& body, int timeoutMs) {
    static constexpr const char* kVariable = "GWU_TEST_ISOLATED";
    const ::testing::TestInfo& test = *::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test.test_suite_name()) + "." + test.name();
    if (const char* isolated = std::getenv(kVariable); isolated != nullptr && name == isolated) {
        body();
        return;
    }
    const TempDir folder;
    const std::string stem = (folder.Path() / "child").string();
    Child child({::testing::internal::GetArgvs().at(0), "--gtest_filter=" + name}, stem,
                {std::string(kVariable) + "=" + name});
    const int status = child.Wait(timeoutMs);
    if (status == -1) {
        child.Kill();
    }
    EXPECT_EQ(status, 0) << (status == -1 ? "no end within the time: killed\n" : "")
                         << TestFolders::ReadFile(stem + ".out")
                         << TestFolders::ReadFile(stem + ".err");
}

}  // namespace gwu::test
