// The trace file's names of messages, builders, outcomes and results, and its hex, shared by
// its writer (Trace.cpp) and its reader (TraceReader.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "emulator/trace/Trace.h"

namespace gwu::emu::trace {

inline constexpr std::pair<wire::Builder, const char*> kBuilders[] = {
    {wire::Builder::VsiReset, "vsi_reset"},
    {wire::Builder::MsiReset, "msi_reset"},
    {wire::Builder::VsiGetSerialNumber, "vsi_get"},
    {wire::Builder::MsiGetCardDetails, "msi_details"},
    {wire::Builder::VsiSetSerialNumber, "vsi_set"}};

inline constexpr std::pair<wire::Outcome, const char*> kOutcomes[] = {
    {wire::Outcome::Reply, "reply"},
    {wire::Outcome::Throw, "throw"},
    {wire::Outcome::Timeout, "timeout"},
    {wire::Outcome::Disconnect, "disconnect"}};

inline constexpr std::pair<TraceResult, const char*> kResults[] = {
    {TraceResult::Answer, "answer"},
    {TraceResult::Timeout, "timeout"},
    {TraceResult::Dropped, "dropped"},
    {TraceResult::Malformed, "malformed"}};

inline constexpr std::pair<wire::MessageKind, const char*> kMessages[] = {
    {wire::MessageKind::Connect, "connect"},
    {wire::MessageKind::Disconnect, "disconnect"},
    {wire::MessageKind::SelectCard, "select"},
    {wire::MessageKind::Execute, "execute"}};

template <typename Enum, size_t N>
const char* NameOf(const std::pair<Enum, const char*> (&table)[N], Enum value) {
    for (const auto& entry : table) {
        if (entry.first == value) {
            return entry.second;
        }
    }
    return "?";
}

std::string Hex(std::string_view bytes);
std::string HexWord(std::int32_t value);

}  // namespace gwu::emu::trace
