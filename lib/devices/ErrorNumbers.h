// What a device object writes to the host's error log (LogError: its source name and a number)
// when it is asked about a code type its family does not have. The host's log readers know the
// entries by these names and numbers: they stay as they are.
#pragma once

namespace gwu::errors {

// The communication module.
constexpr const char* kHLXSource = ".\\HLXUtils";
constexpr int kHLXRenameUnsupportedCode = 144;
constexpr int kHLXFileNameOfUnsupportedCode = 317;
constexpr int kHLXValueNameOfUnsupportedCode = 491;
constexpr int kHLXUntrimmedValueNameOfUnsupportedCode = 529;

// The measurement module.
constexpr const char* kQPTSource = ".\\QPTUtils";
constexpr int kQPTRenameUnsupportedCode = 47;
constexpr int kQPTFileNameOfUnsupportedCode = 166;
constexpr int kQPTValueNameOfUnsupportedCode = 253;
constexpr int kQPTUntrimmedValueNameOfUnsupportedCode = 273;

}  // namespace gwu::errors
