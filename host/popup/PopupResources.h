// The stand-in popup library's resources: its icons and its string table, with the ids that
// platform/PopupAttributes.h names (qw::kIconKeyboard, qw::kIconInformation and the
// qw::kString... of the serial-number requests and of the repair's outcome).
#pragma once

#include <string>

#include "gatewayutils/platform/Popup.h"

// An icon resource. Icons live as long as the program; HICON borrows them.
class QxIcon {
public:
    constexpr QxIcon(unsigned int id, const char* name, const char* glyph)
        : m_id(id), m_name(name), m_glyph(glyph) {}

    unsigned int Id() const { return m_id; }
    const char* Name() const { return m_name; }
    // How the icon looks as text.
    const char* Glyph() const { return m_glyph; }

private:
    unsigned int m_id;
    const char* m_name;
    const char* m_glyph;
};

namespace gwu::host {

// The icon or the string of a resource id (behind QX_LoadIcon and QX_LoadString): null or
// empty for an id the resources do not have.
HICON FindIcon(unsigned int id);
CString FindString(unsigned int id);

// The resource id of an icon, 0 for no icon.
unsigned int IconId(HICON icon);

}  // namespace gwu::host
