// Serial reservations and record inserts per second with 1, 8 and 64
// stations at once, on the station's SQLite database and on a line's
// PostgreSQL server (one of the bench's own, as the tests start it), beside
// the rate the line needs: one board per station about every 47 s.
//
//   bench_ledger_rates
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "pg_server.h"
#include "station/ledger.h"

using namespace vexu::station;

namespace {

constexpr double kSecondsPerBoard = 47.0;

std::optional<std::string> Render(uint64_t index) { return "BENCH" + std::to_string(index); }

struct Rates {
    double reservations = 0;
    double inserts = 0;
    bool ok = true;
};

// Each station: its own connection; perStation reservations (each
// reserved, then committed, as a board takes it) and as many records.
Rates Measure(const std::function<std::unique_ptr<Database>()>& connect, int stations, int perStation) {
    Rates rates;
    std::vector<std::unique_ptr<Database>> dbs;
    for (int s = 0; s < stations; ++s) {
        dbs.push_back(connect());
        if (!dbs.back()) {
            rates.ok = false;
            return rates;
        }
    }
    auto timed = [&](const std::function<bool(Database&, int, int)>& work) {
        std::atomic<bool> ok{true};
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int s = 0; s < stations; ++s)
            threads.emplace_back([&, s] {
                for (int n = 0; n < perStation && ok; ++n)
                    if (!work(*dbs[static_cast<size_t>(s)], s, n)) ok = false;
            });
        for (auto& thread : threads) thread.join();
        if (!ok) rates.ok = false;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return stations * perStation / seconds;
    };
    rates.reservations = timed([](Database& db, int s, int) {
        SerialReservation serial;
        bool usedUp = false;
        std::string error;
        if (!ReserveSerial(db, "bench", 1, Render, "st" + std::to_string(s), 0, serial, usedUp, error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        // Settled as the station's ledger settles it: one transaction that
        // need not wait for the disk.
        if (!db.BeginUnsynced(error)) return false;
        if (!db.Run("UPDATE serials SET state = 'committed' WHERE serial = $1", {serial.text}, nullptr, error)) {
            db.Rollback();
            return false;
        }
        return db.Commit(error) || (db.Rollback(), false);
    });
    rates.inserts = timed([](Database& db, int s, int n) {
        RecordRow row;
        row.id = "st" + std::to_string(s) + "-" + std::to_string(n) + "-" + NewRecordId("b");
        row.time = 1767254400 + n;
        row.day = "2026-01-01";
        row.station = "st" + std::to_string(s);
        row.result = "ok";
        row.record = R"({"time":"2026-01-01T00:00:00Z","result":"ok"})";
        // One transaction each, as a station stores a record.
        std::string error;
        if (!db.Begin(error) || !InsertRecord(db, row, error) || !db.Commit(error)) {
            fprintf(stderr, "%s\n", error.c_str());
            db.Rollback();
            return false;
        }
        return true;
    });
    return rates;
}

void Print(const char* name, int stations, const Rates& rates) {
    const double needed = stations / kSecondsPerBoard;
    if (!rates.ok) {
        printf("%-10s %3d stations: failed\n", name, stations);
        return;
    }
    printf("%-10s %3d stations: %8.0f reservations/s, %8.0f records/s; the line needs %6.2f/s: %6.0fx and %6.0fx\n",
           name, stations, rates.reservations, rates.inserts, needed, rates.reservations / needed,
           rates.inserts / needed);
}

}  // namespace

int main() {
    char dir[] = "/tmp/vexu-bench-XXXXXX";
    const std::string path = std::string(mkdtemp(dir)) + "/station.db";
    {
        std::string error;
        auto db = OpenSqlite(path, error);
        if (!db || !MigrateSchema(*db, StationSchema(), error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    for (const int stations : {1, 8, 64})
        Print("SQLite", stations,
              Measure([&path] {
                  std::string error;
                  return OpenSqlite(path, error);
              }, stations, std::max(10, 800 / stations)));
    std::filesystem::remove_all(dir);

    vexu::test::PgServer server;
    if (!server.Missing().empty()) {
        printf("PostgreSQL: SKIP (%s)\n", server.Missing().c_str());
        return 0;
    }
    {
        std::string error;
        auto db = ConnectPostgres(server.Uri(), error);
        if (!db || db->Lost() || !MigrateSchema(*db, LineSchema(), error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    for (const int stations : {1, 8, 64})
        Print("PostgreSQL", stations,
              Measure([&server] {
                  std::string error;
                  auto db = ConnectPostgres(server.Uri(), error);
                  return db && !db->Lost() ? std::move(db) : nullptr;
              }, stations, std::max(10, 800 / stations)));
    return 0;
}
