# The examples of doc/examples for a nightly job: the wrapper parses and
# behaves as its header says when run with the built lumettool, the cron
# line calls it and parses, and systemd accepts the service and the timer.
. "$(dirname "$0")/lib.sh"

examples=$SRC/doc/examples
wrapper=$examples/lumettool-nightly.sh
check "bash -n $wrapper" bash -n "$wrapper"
check "the wrapper is executable" test -x "$wrapper"

# /etc/cron.d lines: five time fields, the user, then a command for bash.
jobs=0
while read -r min hour dom mon dow user command; do
  jobs=$((jobs + 1))
  check "cron line [$min $hour $dom $mon $dow $user ...] has a command" test -n "$command"
  check "the cron command parses: $command" bash -n -c "$command"
  check "the cron command runs the wrapper" grep -q -w -F "$(basename "$wrapper")" <<<"$command"
  check "README.md shows this cron line" \
    grep -q -x -F "    $min $hour $dom $mon $dow $user $command" "$SRC/README.md"
done < <(grep -v -E '^[[:space:]]*(#|$|[A-Za-z_]+=)' "$examples/lumettool-nightly.cron")
check_eq "cron jobs in lumettool-nightly.cron" 1 "$jobs"

# verify wants ExecStart= to exist: point the units at the wrapper here.
if command -v systemd-analyze >/dev/null; then
  units=$scratch/units
  mkdir "$units"
  sed "s|^ExecStart=/usr/local/bin/lumettool-nightly.sh$|ExecStart=$wrapper|" \
    "$examples/lumettool-export.service" >"$units/lumettool-export.service"
  cp "$examples/lumettool-export.timer" "$units/"
  check "the service runs the wrapper" grep -q -x "ExecStart=$wrapper" "$units/lumettool-export.service"
  # verify warns about an unknown key or a bad value yet exits 0.
  verify_out=$(systemd-analyze verify "$units/lumettool-export.service" "$units/lumettool-export.timer" 2>&1)
  check_eq "systemd-analyze verify: exit status and messages" "0:" "$?:$verify_out"
else
  skip "systemd-analyze is not installed: the unit files are not verified"
fi

# Runs the wrapper in DIR with the built program: run_wrapper DIR ARGS...;
# sets status and err (its standard error).
run_wrapper() {
  local dir=$1
  shift
  err=$(cd "$dir" && LUMETTOOL=$BUILD/bin/lumettool bash "$wrapper" "$@" 2>&1 >/dev/null)
  status=$?
}

# Without a settings file the tool ends with its error message: status 1,
# the reason in the log, the output kept as .part.
nocfg=$scratch/nocfg
mkdir "$nocfg"
run_wrapper "$nocfg" 20240101
check_eq "wrapper status without db_config.cfg" 1 "$status"
check "wrapper names the final message [$err]" \
  grep -q -F "failed: it ended with 'Error - Open DB Config File Failed'" <<<"$err"
check_eq "the output so far" "Error - Open DB Config File Failed" "$(cat "$nocfg/transactions-20240101.txt.part")"
check "no finished file" test ! -e "$nocfg/transactions-20240101.txt"
check "the log holds the tool's reason" \
  grep -q -F "lumettool: error: cannot open the settings file" "$nocfg/transactions-20240101.log"

# A second run while the lock is held leaves at once and touches nothing.
locked=$scratch/locked
mkdir "$locked"
err=$(cd "$locked" && flock lumettool-nightly.lock env LUMETTOOL="$BUILD/bin/lumettool" \
  bash "$wrapper" 20240101 2>&1 >/dev/null)
check_eq "wrapper status while the lock is held" 75 "$?"
check "it says why [$err]" grep -q -F "another export holds" <<<"$err"
check_eq "nothing written while locked" "lumettool-nightly.lock" "$(ls "$locked")"

# Against a server when one is given (PGHOST, PGPORT, PGUSER, PGPASSWORD
# of a role that may create a database); scripts/test gives one.
if [ -n "${PGHOST:-}" ] && [ -n "${PGPORT:-}" ] && pg_isready -q 2>/dev/null; then
  db=lumet_examples_$$
  psql -X -q -d postgres -c "CREATE DATABASE $db" >/dev/null
  trap 'psql -X -q -d postgres -c "DROP DATABASE IF EXISTS $db" >/dev/null; rm -rf "$scratch"' EXIT
  psql -X -q -d "$db" >/dev/null <<'SQL'
CREATE TABLE transaction (id int PRIMARY KEY, datetime timestamp NOT NULL, amount numeric(12,2), note text);
INSERT INTO transaction
SELECT g, TIMESTAMP '2024-01-01' + g * INTERVAL '7 minutes', g / 4.0, CASE WHEN g % 3 > 0 THEN 'ref ' || g END
FROM generate_series(0, 600) AS g;
SQL
  rows_of() {  # rows_of FROM TO: what psql prints for those days, one per line
    psql -X -At -F'|' -d "$db" -c "SELECT * FROM transaction WHERE datetime >= '$1' AND datetime < '$2' ORDER BY id"
  }
  live=$scratch/live
  mkdir "$live"
  # The settings file takes a numeric address only; a host name (localhost,
  # as pg_virtualenv sets it) or a socket directory is left to libpq, which
  # reads PGHOST when the field is empty.
  host=$PGHOST
  [[ $host =~ ^[0-9.]+$ || $host == *:* ]] || host=""
  (cd "$live" && "$BUILD/bin/lumettool" db_init "$host" "$PGPORT" "$PGUSER" "$PGPASSWORD" "$db" >/dev/null)
  run_wrapper "$live" 20240102 20240103
  check_eq "wrapper status of a good export [$err]" 0 "$status"
  out=$live/transactions-20240102-20240103.txt
  check "the .part file is renamed" test ! -e "$out.part"
  check_eq "the file's last line" Success "$(tail -n 1 "$out")"
  check_eq "the file's rows" "$(rows_of 2024-01-02 2024-01-04)" "$(sed '$d' "$out" | sort -t'|' -k1,1n)"

  # The time limit ends a run that pauses longer: status 124, and the rows
  # of the first chunk, written before the pause, stay in the .part file.
  EXPORT_DELAY_MS=5000 EXPORT_TIMEOUT=2 run_wrapper "$live" 20240101 20240102
  check_eq "wrapper status past the time limit [$err]" 124 "$status"
  check "it names the time limit [$err]" grep -q -F "ran past the time limit of 2" <<<"$err"
  check_eq "the first day's rows are kept" "$(rows_of 2024-01-01 2024-01-02)" \
    "$(sort -t'|' -k1,1n "$live/transactions-20240101-20240102.txt.part")"

  # A chunk that fails, then the resume the wrapper names from the tool's
  # hint: the finished file is the uninterrupted run's, byte for byte.
  psql -X -q -d "$db" -c "CREATE TABLE flag (ok bool); INSERT INTO flag VALUES (false)"
  cond="case when transaction.datetime>='2024-01-02' and not (select ok from flag) then 1/(id-id) else 1 end=1"
  EXPORT_CONDITION=$cond run_wrapper "$live" 20240101 20240103
  check_eq "wrapper status after a failed chunk [$err]" 1 "$status"
  check "it names where to go on [$err]" grep -q -F \
    "to go on from 20240102 (after the first $(rows_of 2024-01-01 2024-01-02 | wc -c) bytes)" <<<"$err"
  EXPORT_CONDITION=$cond EXPORT_RESUME=yes run_wrapper "$live" 20240101 20240103
  check_eq "the resume fails the same way [$err]" 1 "$status"
  psql -X -q -d "$db" -c "UPDATE flag SET ok = true"
  EXPORT_CONDITION=$cond EXPORT_RESUME=yes run_wrapper "$live" 20240101 20240103
  check_eq "wrapper status of the resume [$err]" 0 "$status"
  whole=$scratch/whole
  mkdir "$whole"
  cp "$live/db_config.cfg" "$whole/"
  EXPORT_CONDITION=$cond run_wrapper "$whole" 20240101 20240103
  check "the resumed file is the uninterrupted run's" \
    cmp "$live/transactions-20240101-20240103.txt" "$whole/transactions-20240101-20240103.txt"
  EXPORT_RESUME=yes run_wrapper "$live" 20240101 20240103
  check_eq "nothing left to resume [$err]" 1 "$status"
else
  skip_unless_full "no PostgreSQL given (PGHOST, PGPORT): the wrapper is not run against a server"
fi
finish
