#include "fleet/ReleaseCommands.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "fleet/FleetCommands.h"
#include "fleet/Migrations.h"
#include "fleet/Postgres.h"
#include "fleet/Releases.h"
#include "os/Format.h"

namespace gwu::fleet {

namespace {

using Json = nlohmann::json;

int Fail(const std::string& message) {
    std::fprintf(stderr, "gwfleet: %s\n", EscapeForTerminal(message).c_str());
    return kExitTrouble;
}

// A set's or group's name, refused with the reason when it is not a plain one.
std::optional<int> BadName(const char* what, const std::string& name) {
    if (const std::string problem = SetNameProblem(name); !problem.empty()) {
        return Fail(std::string("bad ") + what + " name \"" + name + "\": " + problem);
    }
    return std::nullopt;
}

void PrintSets(const Json& sets) {
    std::vector<std::vector<std::string>> rows;
    for (const Json& set : sets["sets"]) {
        std::string groups;
        for (const Json& group : set["groups"]) {
            groups += (groups.empty() ? "" : " ") + group.get<std::string>();
        }
        rows.push_back({Shown(set["name"]), set["publication"].dump(), set["sequence"].dump(),
                        Shown(set["published"]), groups.empty() ? "-" : Shown(groups)});
    }
    PrintTable({"SET", "PUBLICATION", "SEQUENCE", "PUBLISHED", "GROUPS"}, rows);
}

}  // namespace

ReleaseCommands::ReleaseCommands(CLI::App& app, void (*addDatabase)(CLI::App&, std::string&)) {
    CLI::App* release = app.add_subcommand("release", "publish, assign and list release sets");
    release->require_subcommand(1);
    m_publish = release->add_subcommand(
        "publish", "store a signed release folder as it is signed, as the set's publication");
    m_publish->add_option("FOLDER", m_folder, "the signed release folder")->required();
    m_assign = release->add_subcommand("assign", "assign a set to a group of testers");
    for (CLI::App* command : {m_publish, m_assign}) {
        command->add_option("--set", m_set, "the set's name")->required();
    }
    m_assign->add_option("--group", m_groupName, "the group's name")->required();
    m_list = release->add_subcommand("list", "list the sets");
    m_list->add_flag("--json", m_json, "the HTTP API's JSON instead of a table");

    CLI::App* tester = app.add_subcommand("tester", "put a tester in a group");
    tester->require_subcommand(1);
    m_group = tester->add_subcommand("group", "put the tester in the group, or in none");
    m_group->add_option("TESTER", m_tester, "the tester's name")->required();
    CLI::Option* group = m_group->add_option("GROUP", m_groupName, "the group's name");
    m_group->add_flag("--none", m_none, "take the tester out of its group")->excludes(group);
    for (CLI::App* command : {m_publish, m_assign, m_list, m_group}) {
        addDatabase(*command, m_database);
    }
}

std::optional<int> ReleaseCommands::Run() const {
    if (m_publish->parsed()) {
        return PublishCommand(m_database, m_folder, m_set);
    }
    if (m_assign->parsed()) {
        return AssignCommand(m_database, m_set, m_groupName);
    }
    if (m_list->parsed()) {
        return ListSetsCommand(m_database, m_json);
    }
    if (m_group->parsed()) {
        if (!m_none && m_group->get_option("GROUP")->count() == 0) {
            return Fail("tester group: give the GROUP, or --none to take the tester out of one");
        }
        return TesterGroupCommand(m_database, m_tester, m_groupName);
    }
    return std::nullopt;
}

int PublishCommand(const std::string& uri, const std::string& folder, const std::string& set) {
    return WithDatabase(uri, false, [&](Database& database) {
        std::string problem;
        const std::optional<Publication> done = PublishFolder(database, folder, set, problem);
        if (!done) {
            return Fail("refusing to publish " + folder + ": " + problem + "; nothing stored");
        }
        std::cout << "published set " << set << ": publication " << done->id << ", sequence "
                  << done->sequence << ", " << done->files << " files, " << done->bytes
                  << " bytes\n";
        if (done->previousSequence &&
            *done->previousSequence > static_cast<long long>(done->sequence)) {
            std::fprintf(stderr,
                         "gwfleet: warning: set %s was at sequence %lld; testers that accepted "
                         "it will refuse sequence %llu from the same publisher\n",
                         set.c_str(), *done->previousSequence,
                         static_cast<unsigned long long>(done->sequence));
        }
        return kExitOk;
    });
}

int AssignCommand(const std::string& uri, const std::string& set, const std::string& group) {
    if (const std::optional<int> refused = BadName("group", group)) {
        return *refused;
    }
    return WithDatabase(uri, false, [&](Database& database) {
        if (!AssignSet(database, set, group)) {
            return Fail("no set " + set + ": publish it first (gwfleet release publish)");
        }
        std::cout << "group " << group << " now gets set " << set << "\n";
        return kExitOk;
    });
}

int ListSetsCommand(const std::string& uri, bool json) {
    return WithDatabase(uri, false, [json](Database& database) {
        const Json sets = Sets(database);
        if (json) {
            std::cout << sets.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
        } else {
            PrintSets(sets);
        }
        return kExitOk;
    });
}

int TesterGroupCommand(const std::string& uri, const std::string& tester,
                       const std::string& group) {
    if (!group.empty()) {
        if (const std::optional<int> refused = BadName("group", group)) {
            return *refused;
        }
    }
    return WithDatabase(uri, false, [&](Database& database) {
        if (!SetTesterGroup(database, tester, group)) {
            return Fail("no tester " + tester + ": its first token makes one (gwfleet token add)");
        }
        std::cout << "tester " << EscapeForTerminal(tester)
                  << (group.empty() ? " is in no group" : " is in group " + group) << "\n";
        return kExitOk;
    });
}

}  // namespace gwu::fleet
