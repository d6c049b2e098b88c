// The tester's update history as gwctl writes and reads it: the README's story (an update, then
// two repairs, one silent and one typed) reads back as it happened, and a history that cannot
// be written is said while the check itself goes on.
#include <sstream>
#include <string>
#include <vector>

#include "tests/endtoend/CliFixture.h"

namespace gwu::test::cli {
namespace {

class HistoryStoryTest : public CliTest {
protected:
    // gwctl history with the arguments, as JSON Lines: one text per event.
    std::vector<std::string> History(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"history", "--json"});
        const Result result = Run(arguments, false);
        EXPECT_EQ(result.code, 0) << result.err;
        std::vector<std::string> events;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);) {
            const json event = json::parse(line, nullptr, false);
            std::string text = Text(At(event, "/seq")) + " " + Text(At(event, "/operation")) +
                               " " + Text(At(event, "/serial"));
            for (const char* member : {"/repair", "/exit"}) {
                if (event.contains(json::json_pointer(member))) {
                    text += " " + Text(At(event, member));
                }
            }
            if (event.contains("rounds")) {
                for (const json& round : event["rounds"]) {
                    text += " " + Text(At(round, "/code")) +
                            (At(round, "/took") == true ? " took " + Text(At(round, "/reported"))
                                                        : " did not take");
                }
            }
            events.push_back(text);
        }
        return events;
    }
};

TEST_F(HistoryStoryTest, TheStoryReadsBackAsItHappened) {
    EXPECT_EQ(Run({"update", "--device", "emu:" + Scenario("behind"), "--tester", "bench 7"}).code,
              0);
    EXPECT_EQ(Run({"check", "--device", "emu:" + Scenario("lost-serial-silent")}).code, 0);
    const Result typed = Run({"check", "--json", "--device", "emu:" + Scenario("lost-serial-typed"),
                              "--keys", "HX100241<tick><tick>"});
    EXPECT_EQ(At(typed.document, "/history"), (json{{"recorded", true}, {"seq", 5}}));
    EXPECT_EQ(History({}),
              (std::vector<std::string>{
                  "1 update HX100307 0 BS took KLEM_BOOT_R1.4.0 PROM took KLEM_PROM_R2.0.3",
                  "2 repair HX100234 silent", "3 check HX100234 0", "4 repair HX100241 typed",
                  "5 check HX100241 0"}));
    EXPECT_EQ(History({"--serial", "HX100241"}),
              (std::vector<std::string>{"4 repair HX100241 typed", "5 check HX100241 0"}));
    EXPECT_EQ(History({"--operation", "repair"}).size(), 2u);
    const Result table = Run({"history", "--serial", "HX100307"}, false);
    EXPECT_NE(table.out.find("bench 7"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("BS took KLEM_BOOT_R1.4.0, PROM took KLEM_PROM_R2.0.3"),
              std::string::npos)
        << table.out;
}

TEST_F(HistoryStoryTest, AHistoryThatCannotBeWrittenIsSaidAndTheCheckGoesOn) {
    fs::create_directories(Logs() / "history.jsonl");  // its place taken by a folder
    const Result result = Run({"check", "--json", "--device", "emu:" + Scenario("behind")});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(At(result.document, "/history/recorded"), false);
    EXPECT_FALSE(Text(At(result.document, "/history/problem")).empty());
    EXPECT_NE(result.err.find("gwctl: warning: the history in"), std::string::npos) << result.err;
    EXPECT_EQ(At(result.document, "/list/recorded"), true);
}

}  // namespace
}  // namespace gwu::test::cli
