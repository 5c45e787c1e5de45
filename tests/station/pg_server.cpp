#include "pg_server.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace vexu::test {

PgServer::PgServer() {
    std::error_code error;
    for (const auto& version : std::filesystem::directory_iterator("/usr/lib/postgresql", error))
        if (std::filesystem::exists(version.path() / "bin" / "initdb")) bin_ = (version.path() / "bin").string();
    if (bin_.empty()) {
        missing_ = "no PostgreSQL server (Debian package postgresql) under /usr/lib/postgresql";
        return;
    }
    char dir[] = "/tmp/vexu-pg-XXXXXX";
    if (!mkdtemp(dir)) {
        missing_ = "cannot make a temporary directory";
        return;
    }
    dir_ = dir;
    if (getuid() == 0) {
        // initdb refuses root.
        asUser_ = "runuser -u postgres -- ";
        if (Run("chown postgres " + dir_) != 0) {
            missing_ = "running as root, and no postgres user to run the server as";
            return;
        }
    }
    if (Run(asUser_ + bin_ + "/initdb -A trust -U vexu -D " + dir_ + "/data >/dev/null 2>&1") != 0) {
        missing_ = "initdb failed in " + dir_;
        return;
    }
    if (!Start()) missing_ = "the server did not start (log: " + dir_ + "/log)";
}

PgServer::~PgServer() {
    if (dir_.empty()) return;
    Stop();
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
}

int PgServer::Run(const std::string& command) const { return std::system(command.c_str()); }

std::string PgServer::Uri() const { return "host=" + dir_ + " user=vexu dbname=postgres connect_timeout=2"; }

bool PgServer::Start() {
    return Run(asUser_ + bin_ + "/pg_ctl -w -s -D " + dir_ + "/data -l " + dir_ +
               "/log -o \"-k " + dir_ + " -c listen_addresses='' -c max_connections=200 -c fsync=off\" start") == 0;
}

bool PgServer::Stop() {
    return Run(asUser_ + bin_ + "/pg_ctl -w -s -D " + dir_ + "/data -m fast stop >/dev/null 2>&1") == 0;
}

}  // namespace vexu::test
