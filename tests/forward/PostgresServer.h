// A PostgreSQL server of its own for a test or a benchmark: a cluster made
// in a temporary directory, listening on a free port of 127.0.0.1 (and on a
// socket in that directory), gone with the object.
//
// Every role logs in without a password, except members of the role
// `password_login`, which must give theirs (scram-sha-256).
#pragma once

#include <string>
#include <vector>

namespace q31::test {

class PostgresServer {
public:
    // Whether the server's programs are installed.
    static bool Available();

    // Makes the cluster and starts it. Durable keeps the server's defaults;
    // otherwise nothing is flushed to disk, which a test does not need.
    // Throws std::runtime_error (with the server's log) when it cannot.
    explicit PostgresServer(bool durable = false);
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // As a crash does: connections break, nothing is shut down cleanly.
    void Stop();
    // On the same port again.
    void Start();

    int Port() const { return port_; }
    const std::string& Dir() const { return dir_; }
    // postgresql://USER@127.0.0.1:PORT/DATABASE
    std::string Url(const std::string& database, const std::string& user = "postgres") const;
    // The psql program beside the server, or "psql".
    std::string Psql() const;

    void CreateDatabase(const std::string& name, const std::string& owner = "postgres");
    // Runs `sql` as the superuser in `database`; throws with the server's message.
    void Exec(const std::string& database, const std::string& sql) const;
    // The rows of `sql` in `database`, each its columns joined by '|' (NULL
    // as "NULL"); `params` are $1, $2, ... in text.
    std::vector<std::string> Rows(const std::string& database, const std::string& sql,
                                  const std::vector<std::string>& params = {}) const;

private:
    void PgCtl(const std::string& args) const;
    std::string AsOwner(const std::string& command) const;

    std::string bin_;
    std::string dir_;
    int port_ = 0;
    bool running_ = false;
};

}  // namespace q31::test
