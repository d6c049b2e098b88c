// HOST:PORT as the programs read it: the last colon splits, the port is one to five digits within
// the syntax's range, and a scheme and bracketed hosts are taken as each program's syntax says.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "wire/Address.h"

namespace {

using gwu::wire::AddressSyntax;
using HostPort = std::optional<std::pair<std::string, int>>;  // empty: refused

const AddressSyntax kListen{};                            // gwemu --listen
const AddressSyntax kUpstream{"tcp://", true, false, 1};  // gwemu --upstream
const AddressSyntax kDevice{"tcp://", false, false, 1};   // a device tcp://HOST:PORT
const AddressSyntax kBracketed{{}, false, true, 0};       // a listener that takes IPv6 hosts

TEST(AddressParse, SplitsHostAndPortAsEachSyntaxSays) {
    const std::vector<std::tuple<std::string_view, AddressSyntax, HostPort>> cases = {
        {"127.0.0.1:0", kListen, {{"127.0.0.1", 0}}},
        {"localhost:65535", kListen, {{"localhost", 65535}}},
        {"::1:8080", kListen, {{"::1", 8080}}},  // the last colon splits
        {"tcp://h:80", kListen, {{"tcp://h", 80}}},
        {"h:00080", kListen, {{"h", 80}}},
        {"h:65536", kListen, std::nullopt},
        {"h:000080", kListen, std::nullopt},  // six digits
        {":80", kListen, std::nullopt},
        {"h:", kListen, std::nullopt},
        {"h", kListen, std::nullopt},
        {"h:+80", kListen, std::nullopt},
        {"h: 80", kListen, std::nullopt},
        {"h:-0", kListen, std::nullopt},
        {"h:8a", kListen, std::nullopt},
        {std::string_view("h:80\0", 5), kListen, std::nullopt},
        {"tcp://h:80", kUpstream, {{"h", 80}}},
        {"tcp://h:1", kUpstream, {{"h", 1}}},
        {"h:80", kUpstream, std::nullopt},
        {"tcp://h:0", kUpstream, std::nullopt},
        {"tcp://:80", kUpstream, std::nullopt},
        {"h:80", kDevice, {{"h", 80}}},
        {"tcp://h:80", kDevice, {{"h", 80}}},
        {"[::1]:8080", kBracketed, {{"::1", 8080}}},
        {"[::1]:8080", kListen, {{"[::1]", 8080}}},
        {"::1:8080", kBracketed, std::nullopt},
        {"[]:80", kBracketed, std::nullopt},
        {"a]:80", kBracketed, std::nullopt},
    };
    for (const auto& [text, syntax, expected] : cases) {
        const auto parsed = gwu::wire::ParseHostPort(text, syntax);
        const HostPort got = parsed ? HostPort({parsed->host, parsed->port}) : std::nullopt;
        EXPECT_EQ(got, expected) << "\"" << text << "\" with scheme \"" << syntax.scheme << "\"";
    }
}

}  // namespace
