// What any libpq client pays to read an export as COPY, and where a chunk's
// time goes: runs the tool's statement over FIRST..LAST in chunks of DAYS
// days (0: one statement), reads every row with PQgetCopyData and drops it,
// printing nothing. MODE says what surrounds each chunk's COPY:
//   bare     nothing (autocommit)
//   tool     what lumettool sends: BEGIN READ ONLY and the SET LOCALs in one
//            round trip before, ROLLBACK and the unlock in one after
//   merged   the same statements, but a chunk's ROLLBACK and unlock travel
//            with the next chunk's BEGIN: one round trip fewer a chunk
// The time of each step, summed over the chunks, goes to standard error.
//   pq_floor CONNINFO FIELDS FIRST LAST DAYS MODE    (days as 2024-01-31)
#include <libpq-fe.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::sys_days;

constexpr const char* kBegin =
    "BEGIN TRANSACTION READ ONLY; SET LOCAL standard_conforming_strings TO on; "
    "SET LOCAL client_connection_check_interval TO 2000";
constexpr const char* kEnd = "ROLLBACK; SELECT pg_catalog.pg_advisory_unlock_all()";

std::string isoDay(sys_days day) {
  const std::chrono::year_month_day ymd(day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  return text;
}

bool parseDay(const char* text, sys_days& day) {
  int y = 0;
  unsigned m = 0, d = 0;
  if (std::sscanf(text, "%d-%u-%u", &y, &m, &d) != 3) return false;
  const std::chrono::year_month_day ymd{std::chrono::year(y), std::chrono::month(m),
                                        std::chrono::day(d)};
  day = sys_days(ymd);
  return ymd.ok();
}

// Runs a command (or several in one simple-query message); false on failure.
bool command(PGconn* conn, const std::string& sql) {
  bool ok = true;
  if (PQsendQuery(conn, sql.c_str()) == 0) return false;
  while (PGresult* result = PQgetResult(conn)) {
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      std::fprintf(stderr, "%s", PQresultErrorMessage(result));
      ok = false;
    }
    PQclear(result);
  }
  return ok;
}

struct Steps {
  double begin = 0, start = 0, rows = 0, end = 0;  // seconds
  long long bytes = 0;
};

double since(Clock::time_point& mark) {
  const Clock::time_point now = Clock::now();
  const double took = std::chrono::duration<double>(now - mark).count();
  mark = now;
  return took;
}

// COPY of one chunk through the extended protocol, its rows dropped.
bool copyChunk(PGconn* conn, const std::string& sql, Steps& steps, Clock::time_point& mark) {
  PGresult* result = PQexecParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
  const bool started = PQresultStatus(result) == PGRES_COPY_OUT;
  if (!started) std::fprintf(stderr, "%s", PQresultErrorMessage(result));
  PQclear(result);
  steps.start += since(mark);
  if (!started) return false;
  char* row = nullptr;
  int length = 0;
  while ((length = PQgetCopyData(conn, &row, 0)) > 0) {
    steps.bytes += length;
    PQfreemem(row);
  }
  bool ok = length == -1;
  while ((result = PQgetResult(conn)) != nullptr) {
    if (PQresultStatus(result) != PGRES_COMMAND_OK) ok = false;
    PQclear(result);
  }
  steps.rows += since(mark);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  sys_days first, last;
  if (argc != 7 || !parseDay(argv[3], first) || !parseDay(argv[4], last)) {
    std::fprintf(stderr, "usage: pq_floor CONNINFO FIELDS FIRST LAST DAYS bare|tool|merged\n");
    return 2;
  }
  const int days = std::atoi(argv[5]);
  const std::string_view mode = argv[6];
  const bool tool = mode == "tool", merged = mode == "merged";
  mallopt(M_TRIM_THRESHOLD, -1);  // as lumettool does
  PGconn* conn = PQconnectdb(argv[1]);
  if (PQstatus(conn) != CONNECTION_OK) {
    std::fprintf(stderr, "%s", PQerrorMessage(conn));
    PQfinish(conn);
    return 1;
  }
  Steps steps;
  int chunks = 0;
  bool ok = true;
  Clock::time_point mark = Clock::now();
  if (merged) ok = command(conn, kBegin);
  steps.begin += since(mark);
  for (sys_days from = first; ok && from <= last; ++chunks) {
    const sys_days after =
        days <= 0 ? last + std::chrono::days{1}
                  : std::min(from + std::chrono::days{days}, last + std::chrono::days{1});
    const std::string sql = std::string("COPY (SELECT ") + argv[2] +
                            " FROM transaction WHERE transaction.datetime OPERATOR(pg_catalog.>=) '" +
                            isoDay(from) + "' AND transaction.datetime OPERATOR(pg_catalog.<) '" +
                            isoDay(after) +
                            "') TO STDOUT WITH (DELIMITER '|')";
    if (tool) ok = command(conn, kBegin);
    steps.begin += since(mark);
    ok = ok && copyChunk(conn, sql, steps, mark);
    from = after;
    if (tool || merged) {
      const bool more = merged && from <= last;
      ok = command(conn, more ? std::string(kEnd) + "; " + kBegin : std::string(kEnd)) && ok;
    }
    steps.end += since(mark);
  }
  PQfinish(conn);
  const double n = chunks > 0 ? chunks : 1;
  std::fprintf(stderr,
               "%s: %d chunks, %lld bytes; ms a chunk: begin %.3f, COPY's start %.3f, rows %.3f, "
               "end %.3f\n",
               argv[6], chunks, steps.bytes, steps.begin * 1e3 / n, steps.start * 1e3 / n,
               steps.rows * 1e3 / n, steps.end * 1e3 / n);
  return ok ? 0 : 1;
}
