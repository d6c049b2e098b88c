// The gateway's card rule: the card named "VCL" is the communication module, any other name the
// measurement module. The emulator, the connections and gwctl take it from here; the library
// keeps its own copy, as it depends on nothing.
#pragma once

#include <string_view>

namespace gwu::wire {

inline constexpr const char* kCommunicationCard = "VCL";

// Whether a card name selects the communication module (the name exactly, case included).
inline bool IsCommunicationCard(std::string_view name) {
    return name == kCommunicationCard;
}

}  // namespace gwu::wire
