#include "testsupport/PostgresServer.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "fleet/Postgres.h"

namespace gwu::test {

namespace {

constexpr int kWaitMs = 60000;

// The command line that runs a program of the cluster: as nobody when this process is root,
// with SIGINT for it when the calling thread ends.
std::vector<std::string> AsServerUser(std::vector<std::string> arguments) {
    std::vector<std::string> line = {"/usr/bin/setpriv", "--pdeathsig", "SIGINT"};
    if (::geteuid() == 0) {
        const bool nogroup = ::getgrnam("nogroup") != nullptr;
        line.insert(line.end(), {"--reuid=nobody", nogroup ? "--regid=nogroup" : "--regid=nobody",
                                 "--clear-groups"});
    }
    line.push_back("--");
    line.insert(line.end(), arguments.begin(), arguments.end());
    return line;
}

}  // namespace

PostgresServer::PostgresServer() {
    if (FILE* pipe = ::popen("pg_config --bindir 2>/dev/null", "r")) {
        char buffer[512] = {};
        m_bin = std::fgets(buffer, sizeof buffer, pipe) != nullptr ? buffer : "";
        ::pclose(pipe);
        m_bin.erase(m_bin.find_last_not_of(" \n") + 1);
    }
    const std::string folder = m_folder.Path().string();
    const struct passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 &&
        (nobody == nullptr || ::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) != 0)) {
        m_error = "cannot give " + folder + " to nobody";
        return;
    }
    host::ChildProcess initdb(
        AsServerUser({m_bin + "/initdb", "-D", folder + "/data", "-U", "postgres", "-A", "trust",
                      "-E", "UTF8", "--locale=C", "--no-sync"}),
        folder + "/initdb");
    if (m_bin.empty() || initdb.Wait(kWaitMs) != 0) {
        m_error = "initdb failed (are postgresql and pg_config installed?): " +
                  TestFolders::ReadFile(folder + "/initdb.err");
        return;
    }
    Start();
}

PostgresServer& PostgresServer::Shared() {
    static PostgresServer server;
    return server;
}

std::string PostgresServer::Uri(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + m_folder.Path().string() + "&user=postgres";
}

bool PostgresServer::Start() {
    const std::string folder = m_folder.Path().string();
    // A test's data need not survive a crash: no waiting for the disk.
    m_server = std::make_unique<host::ChildProcess>(
        AsServerUser({m_bin + "/postgres", "-D", folder + "/data", "-k", folder, "-c",
                      "listen_addresses=", "-c", "fsync=off", "-c", "synchronous_commit=off"}),
        folder + "/server");
    for (int i = 0; i < kWaitMs / 50 && m_server->Wait(50) == -1; ++i) {
        try {
            fleet::Database probe(Uri("postgres"));
            m_error.clear();
            return true;
        } catch (const fleet::DbError& error) {
            m_error = error.what();
        }
    }
    m_error = "no server: " + m_error + "\n" + TestFolders::ReadFile(folder + "/server.err");
    m_server.reset();
    return false;
}

bool PostgresServer::Stop() {
    if (!m_server) {
        return true;
    }
    ::kill(static_cast<pid_t>(m_server->Id()), SIGINT);  // a fast shutdown
    const bool stopped = m_server->Wait(kWaitMs) != -1;
    m_server.reset();
    return stopped;
}

std::string PostgresServer::CreateDatabase(const std::string& name) {
    try {
        fleet::Database(Uri("postgres")).Exec("CREATE DATABASE " + name);
        return Uri(name);
    } catch (const fleet::DbError& error) {
        m_error = error.what();
        return {};
    }
}

}  // namespace gwu::test
