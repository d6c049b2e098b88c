#include "host/popup/PopupResources.h"
#include "platform/PopupAttributes.h"

#include <array>
#include <utility>

namespace {

namespace qw = gwu::qw;

constexpr std::array<QxIcon, 2> kIcons = {
    QxIcon(qw::kIconKeyboard, "keyboard", "[kbd]"),
    QxIcon(qw::kIconInformation, "information", "(i)"),
};

constexpr std::array<std::pair<unsigned int, const char*>, 5> kStrings = {{
    {qw::kStringSerialFirstRequest,
     "Enter the serial number printed on the communication module's label."},
    {qw::kStringSerialRules,
     "Use capital letters, digits and the underscore, then press the tick."},
    {qw::kStringSerialRepeatedRequest,
     "That serial number matches no known unit. Check the label and enter it again."},
    {qw::kStringRepairSucceeded,
     "The serial number of the communication module has been restored."},
    {qw::kStringRepairFailed,
     "The serial number of the communication module could not be restored."},
}};

}  // namespace

HICON gwu::host::FindIcon(unsigned int id) {
    for (const QxIcon& icon : kIcons) {
        if (icon.Id() == id) {
            return &icon;
        }
    }
    return nullptr;
}

CString gwu::host::FindString(unsigned int id) {
    for (const auto& [stringId, text] : kStrings) {
        if (stringId == id) {
            return text;
        }
    }
    return {};
}

namespace gwu::host {

unsigned int IconId(HICON icon) {
    return icon != nullptr ? icon->Id() : 0;
}

}  // namespace gwu::host
