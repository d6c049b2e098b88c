// The codes of the host's popup and widget libraries: attribute codes and values, fonts and
// their metrics, widget types, callback reasons, system button kinds and resource ids. Written
// down once here for the library and the stand-in libraries.
#pragma once

namespace gwu::qw {

constexpr int kAttrFormat = 6;
constexpr int kAttrFont = 7;
constexpr int kAttrBackground = 8;
constexpr int kAttachToParent = 16;
constexpr int kAttrVisible = 17;
constexpr int kAttrWidth = 55;
constexpr int kAttrHeight = 56;
constexpr int kAttrLeft = 63;
constexpr int kAttrTop = 64;
constexpr int kAttrRight = 65;
constexpr int kAttrBottom = 66;
constexpr int kAttrIcon = 309;
constexpr int kAttrText = 313;

constexpr int kFontTitle = 267;
constexpr int kFontEntry = 268;

// The fixed line height of each font, and the side of an icon (icons are square), in pixels.
constexpr int kTitleLineHeight = 24;    // kFontTitle
constexpr int kEntryLineHeight = 28;    // kFontEntry
constexpr int kDefaultLineHeight = 16;  // no font given, or any other font
constexpr int kIconSide = 32;

// Widget types.
constexpr int kWidgetContainer = 2;
constexpr int kWidgetLabel = 3;
constexpr int kWidgetKeyboardVariant = 11;
constexpr int kWidgetKeyboard = 13;

// The callback reason of a key or a button press that reaches a widget.
constexpr int kCallbackActivated = 2;

// Kinds of a popup's system buttons.
constexpr int kTickButton = 1;
constexpr int kCrossButton = 2;
constexpr int kGoBackButton = 32;

// Icon resources.
constexpr unsigned int kIconKeyboard = 163;     // text entry
constexpr unsigned int kIconInformation = 164;  // message popups

// String resources: the serial-number requests, first and after a rejected value, the line both
// share, and the outcome of a serial-number repair.
constexpr unsigned int kStringSerialFirstRequest = 1214;
constexpr unsigned int kStringSerialRules = 1215;
constexpr unsigned int kStringSerialRepeatedRequest = 1216;
constexpr unsigned int kStringRepairSucceeded = 1217;
constexpr unsigned int kStringRepairFailed = 1218;

constexpr int kWhite = 0xFFFFFF;
constexpr int kLightGrey = 0xDCDCDC;

}  // namespace gwu::qw
