// Key sequences on the on-screen keyboard dialog, typed through the stand-in popup library:
// after every key the entry shows at most the maximum length of accepted characters, and the
// tick is offered exactly when the minimum length is reached.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/CKeyboardDialog.h"
#include "fuzz/FuzzCheck.h"
#include "host/popup/PopupLibrary.h"

namespace {

constexpr int kEntryBackground = 0xDCDCDC;  // the grey field that shows the typed text
constexpr int kAttrBackground = 8;
constexpr std::uint8_t kTickCode = 0xFF;  // this input byte presses the tick instead of a key

struct Settings {
    int maxLength = 0;
    int minLength = 0;
    bool noSpaces = false;
    bool allowCancel = false;
};

bool Accepted(char c, bool noSpaces) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || (c == ' ' && !noSpaces);
}

// Checks the popup as shown, then plays the next input byte.
class CheckingDriver : public gwu::host::PopupDriver {
public:
    CheckingDriver(std::vector<std::uint8_t> codes, const Settings& settings)
        : m_codes(std::move(codes)), m_settings(settings) {}

    std::optional<gwu::host::PopupEvent> NextEvent(const gwu::host::PopupView& view) override {
        Check(view);
        if (m_next == m_codes.size()) {
            return std::nullopt;
        }
        const std::uint8_t code = m_codes[m_next++];
        if (code == kTickCode) {
            tickPressedShown = tickPressedShown || view.ButtonShown(gwu::host::kTickButton);
            return gwu::host::PopupEvent::Press(gwu::host::kTickButton);
        }
        ++m_keys;
        return gwu::host::PopupEvent::Key(code);
    }

    std::string text;               // the entry's text as last shown
    bool tickPressedShown = false;  // whether a tick was pressed while on show

private:
    void Check(const gwu::host::PopupView& view) {
        const auto entry = std::find_if(
            view.widgets.begin(), view.widgets.end(),
            [](const auto& widget) { return widget.Number(kAttrBackground) == kEntryBackground; });
        GWU_FUZZ_CHECK(entry != view.widgets.end());
        text = entry->Text();
        GWU_FUZZ_CHECK(static_cast<long long>(text.size()) <= std::max(m_settings.maxLength, 0));
        GWU_FUZZ_CHECK(std::all_of(text.begin(), text.end(),
                                   [this](char c) { return Accepted(c, m_settings.noSpaces); }));
        if (m_keys > 0) {
            GWU_FUZZ_CHECK(view.ButtonShown(gwu::host::kTickButton) ==
                           (static_cast<long long>(text.size()) >= m_settings.minLength));
        }
        if (!m_settings.allowCancel) {
            GWU_FUZZ_CHECK(!view.ButtonShown(gwu::host::kCrossButton));
        }
    }

    std::vector<std::uint8_t> m_codes;
    size_t m_next = 0;
    Settings m_settings;
    int m_keys = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    // A braced list is evaluated in order: the input is read as the fields are listed.
    const Settings settings{input.ConsumeIntegralInRange(-2, 40),
                            input.ConsumeIntegralInRange(-2, 20), input.ConsumeBool(),
                            input.ConsumeBool()};
    const bool variant = input.ConsumeBool();

    gwu::host::ResetPopupLibrary();
    auto owned =
        std::make_unique<CheckingDriver>(input.ConsumeRemainingBytes<std::uint8_t>(), settings);
    CheckingDriver& driver = *owned;
    gwu::host::SetPopupDriver(std::move(owned));
    {
        const CKeyboardDialog dialog("Serial number", "Type it", settings.maxLength,
                                     settings.noSpaces, settings.allowCancel, settings.minLength,
                                     variant);
        std::string text;
        dialog.GetText(text);
        GWU_FUZZ_CHECK(text == driver.text);
        // Only a tick that was on show ends the dialog as accepted.
        GWU_FUZZ_CHECK(dialog.IsAccepted() == driver.tickPressedShown);
    }
    gwu::host::SetPopupDriver(nullptr);
    return 0;
}
