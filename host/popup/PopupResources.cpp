#include "PopupResources.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<QxIcon, 2> kIcons = {
    QxIcon(163, "keyboard", "[kbd]"),
    QxIcon(164, "information", "(i)"),
};

constexpr std::array<std::pair<unsigned int, const char*>, 5> kStrings = {{
    {1214, "Enter the serial number printed on the communication module's label."},
    {1215, "Use capital letters, digits and the underscore, then press the tick."},
    {1216, "That serial number matches no known unit. Check the label and enter it again."},
    {1217, "The serial number of the communication module has been restored."},
    {1218, "The serial number of the communication module could not be restored."},
}};

}  // namespace

HICON QX_LoadIcon(unsigned int id) {
    for (const QxIcon& icon : kIcons) {
        if (icon.Id() == id) {
            return &icon;
        }
    }
    return nullptr;
}

CString QX_LoadString(unsigned int id) {
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
