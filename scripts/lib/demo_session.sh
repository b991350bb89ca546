# Runs inside pg_virtualenv (PGPORT, PGUSER, PGPASSWORD, PGDATABASE set):
# fills a sample table and runs the tool against it. $1: the bin directory.
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

psql -X -q <<'SQL'
CREATE TABLE transaction (
  id bigint PRIMARY KEY,
  datetime timestamp NOT NULL,
  amount numeric(12,2) NOT NULL,
  status int NOT NULL,
  type int NOT NULL,
  merchant text,
  note text
);
-- 3000 transactions over January 2024, one every ~15 minutes.
INSERT INTO transaction
SELECT g,
       TIMESTAMP '2024-01-01 00:00:00' + g * INTERVAL '893 seconds',
       round((g * 7919 % 100000) / 100.0, 2),
       g % 3,
       g % 2 + 1,
       (ARRAY['Lumet Cafe', 'Darvo Books', 'Blue Code Fuel'])[g % 3 + 1],
       CASE WHEN g % 5 = 0 THEN NULL ELSE 'ref ' || g END
FROM generate_series(1, 3000) AS g;
CREATE INDEX ON transaction (datetime);
SQL

show() {
  printf '\n$ %s\n' "$*"
  "$@" || true
  printf '\n\n'   # the tool's last message ends without a newline
}

show "$bin/lumettool" version
show "$bin/lumettool-2.0" version
show "$bin/lumettool-1.0" version
show "$bin/lumettool" enc_api_key 00112233445566778899AABBCCDDEEFF
show "$bin/lumettool" db_init 127.0.0.1 "$PGPORT" "$PGUSER" "$PGPASSWORD" "$PGDATABASE"
ls -l db_config.cfg
echo "# Paid card payments (status 1, type 2) of 1-6 January over 900, three days per chunk, 200 ms apart:"
show "$bin/lumettool" transaction_query "id,datetime,amount,merchant,note" \
  "status=1 and type=2 and amount>900" 20240101 20240106 3 200
echo "# Count and total of 1-21 January, one line per chunk of seven days:"
show "$bin/lumettool" transaction_query "count(*),sum(amount)" none 20240101 20240121 7 0
echo "# Errors end with a message too:"
show "$bin/lumettool" transaction_query all none 20241301 20240107 0 0
show "$bin/lumettool" transaction_query no_such_column none 20240101 20240107 0 0
