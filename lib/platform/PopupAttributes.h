// Attribute codes and values of the host's widget library, as the dialogs use them and as the
// stand-in widget library understands them.
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

constexpr int kWhite = 0xFFFFFF;
constexpr int kLightGrey = 0xDCDCDC;

}  // namespace gwu::qw
