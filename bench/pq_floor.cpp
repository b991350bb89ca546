// Runs one statement with PQexec and releases the result without printing
// anything: what every client that holds a whole libpq result pays for an
// export (connection, server, transfer, libpq's parsing and memory), and so
// the least that lumettool's one-statement export can cost.
//   pq_floor CONNINFO STATEMENT
#include <libpq-fe.h>
#include <malloc.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pq_floor CONNINFO STATEMENT\n");
    return 2;
  }
  mallopt(M_TRIM_THRESHOLD, -1);  // as lumettool does
  PGconn* conn = PQconnectdb(argv[1]);
  if (PQstatus(conn) != CONNECTION_OK) {
    std::fprintf(stderr, "%s", PQerrorMessage(conn));
    PQfinish(conn);
    return 1;
  }
  PGresult* result = PQexec(conn, argv[2]);
  const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
  if (!ok) std::fprintf(stderr, "%s", PQerrorMessage(conn));
  PQclear(result);
  PQfinish(conn);
  return ok ? 0 : 1;
}
