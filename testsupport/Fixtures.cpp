#include "testsupport/Fixtures.h"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "host/popup/PopupDrivers.h"

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

}  // namespace gwu::test
