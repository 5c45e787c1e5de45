// A PostgreSQL server of the test's own: initdb into a temporary directory,
// listening only on a Unix socket there, stopped (and removed) at the end.
#pragma once

#include <string>

namespace vexu::test {

class PgServer {
public:
    PgServer();
    ~PgServer();
    // Why there is no server (the package is missing); empty when running.
    const std::string& Missing() const { return missing_; }
    std::string Uri() const;
    bool Stop();
    bool Start();

private:
    int Run(const std::string& command) const;
    std::string bin_;
    std::string dir_;
    std::string missing_;
    std::string asUser_;  // a root test runs the server as postgres
};

}  // namespace vexu::test
