// The trace reader on any text: a trace it cannot use is refused with TraceError and nothing
// else; a trace it takes is written back line for line as it was read, and a replay of it
// answers its own messages, in order, without refusing one.
#include <cstdint>
#include <string>

#include "emulator/serving/Replay.h"
#include "emulator/trace/Trace.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    gwu::emu::Trace trace;
    try {
        trace = gwu::emu::ParseTrace(text, "fuzz.jsonl");
    } catch (const gwu::emu::TraceError&) {
        return 0;
    }
    std::string written = gwu::emu::TraceHeaderLine(trace.header) + "\n";
    for (const gwu::emu::TraceExchange& exchange : trace.exchanges) {
        written += gwu::emu::TraceExchangeLine(exchange) + "\n";
    }
    const gwu::emu::Trace again = gwu::emu::ParseTrace(written, "written.jsonl");
    GWU_FUZZ_CHECK(again.exchanges.size() == trace.exchanges.size());
    for (size_t i = 0; i < trace.exchanges.size(); ++i) {
        GWU_FUZZ_CHECK(gwu::emu::TraceExchangeLine(again.exchanges[i]) ==
                       gwu::emu::TraceExchangeLine(trace.exchanges[i]));
    }

    bool refused = false;
    gwu::emu::ReplayBackend replay(trace, false, [&](const std::string&) { refused = true; });
    for (const gwu::emu::TraceExchange& exchange : trace.exchanges) {
        const gwu::emu::ServerAnswer answer = replay.Answer(exchange.message);
        GWU_FUZZ_CHECK(!refused);
        GWU_FUZZ_CHECK(answer.kind != gwu::emu::ServerAnswer::Kind::Frame ||
                       answer.frame.size() >= 4);
    }
    replay.Answer(gwu::wire::ClientMessage{});  // one past the end is refused
    GWU_FUZZ_CHECK(refused);
    return 0;
}
