// gwfleet's commands of release sets: `release publish FOLDER --set NAME`, `release assign --set
// NAME --group G`, `release list [--json]` and `tester group TESTER G|--none`.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace gwu::fleet {

class ReleaseCommands {
public:
    // Adds the commands to the program; addDatabase gives a command its --db option.
    ReleaseCommands(CLI::App& app, void (*addDatabase)(CLI::App&, std::string&));

    // After parsing: the exit code of the command given when it is one of these, else nothing.
    std::optional<int> Run() const;

private:
    CLI::App* m_publish = nullptr;
    CLI::App* m_assign = nullptr;
    CLI::App* m_list = nullptr;
    CLI::App* m_group = nullptr;
    std::string m_database, m_folder, m_set, m_groupName, m_tester;
    bool m_none = false, m_json = false;
};

// Each returns the program's exit code.
int PublishCommand(const std::string& database, const std::string& folder, const std::string& set);
int AssignCommand(const std::string& database, const std::string& set, const std::string& group);
int ListSetsCommand(const std::string& database, bool json);
int TesterGroupCommand(const std::string& database, const std::string& tester,
                       const std::string& group);

}  // namespace gwu::fleet
