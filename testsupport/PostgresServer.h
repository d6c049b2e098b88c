// A private PostgreSQL cluster for the fleet's tests (Linux): initdb in a temporary folder, the
// server on a Unix socket there only (no TCP), trust authentication, superuser "postgres". Run as
// root, the cluster's programs run as nobody, as PostgreSQL requires. The server is this
// process's child and gets SIGINT (a fast shutdown) when the thread that started it ends, so
// that a test that dies leaves no cluster running.
#pragma once

#include <memory>
#include <string>

#include "process/ChildProcess.h"
#include "testsupport/TestFolders.h"

namespace gwu::test {

class PostgresServer {
public:
    PostgresServer();  // makes the cluster and starts it; Error() says why not
    ~PostgresServer() { Stop(); }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // The one cluster of this test program, made on first use (on the main thread: see above).
    static PostgresServer& Shared();

    const std::string& Error() const { return m_error; }
    std::string Uri(const std::string& database) const;
    // A new, empty database of the name (a plain SQL name) and its URI; empty, with Error() set,
    // when it could not be made.
    std::string CreateDatabase(const std::string& name);
    // Stop cuts every connection at once; Start serves the same data again.
    bool Stop();
    bool Start();
    bool Restart() { return Stop() && Start(); }

private:
    TempDir m_folder;   // the cluster in data/, its socket, the programs' output
    std::string m_bin;  // the folder of initdb and postgres, as pg_config tells it
    std::string m_error;
    std::unique_ptr<host::ChildProcess> m_server;
};

}  // namespace gwu::test
