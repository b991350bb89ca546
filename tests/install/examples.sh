# The nightly job of doc/examples: the wrapper, the cron line and the
# systemd units parse; with the built lumettool the wrapper refuses bad
# settings and passes the tool's reason and status on; against a server
# (PGPORT, PGUSER, PGPASSWORD of a role that may create databases, on
# 127.0.0.1) it exports a range of days one file each, stops at a failed
# night and catches up on the next run, and its files load as they are
# into a second database.
. "$(dirname "$0")/lib.sh"
. "$SRC/scripts/lib/setup.sh"  # free_port

examples=$SRC/doc/examples
wrapper=$examples/lumettool-nightly.sh
check "bash -n $wrapper" bash -n "$wrapper"
check "the wrapper is executable" test -x "$wrapper"
if command -v shellcheck >/dev/null; then
  check "shellcheck $wrapper" shellcheck "$wrapper"
fi

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

# Days as the wrapper counts them: UTC, yesterday the last complete one. A
# run that starts just before midnight waits for it, so that yesterday is
# the same day from the first check to the last.
left=$((86400 - $(date -u +%s) % 86400))
if [ "$left" -lt 120 ]; then sleep "$((left + 1))"; fi
day_ago() { date -u -d "$1 days ago" +%Y%m%d; }
today=$(day_ago 0)
yesterday=$(day_ago 1)

# run_wrapper DIR ARGS...: the wrapper in DIR with the built program (or
# LUMETTOOL); sets status, out and err.
run_wrapper() {
  local dir=$1
  shift
  (cd "$dir" && LUMETTOOL=${LUMETTOOL:-$BUILD/bin/lumettool} bash "$wrapper" "$@" \
    >"$scratch/out" 2>"$scratch/err")
  status=$?
  out=$(cat "$scratch/out")
  err=$(cat "$scratch/err")
}

# Settings the wrapper refuses before it runs the tool, and a directory
# whose newest file is yesterday's: nothing to do. The program named does
# not exist, so any run of it would fail with 127.
idle=$scratch/idle
mkdir "$idle"
touch "$idle/transactions-$(day_ago 3).copy" "$idle/transactions-$yesterday.copy"
files=$(ls "$idle")
while IFS='|' read -r setting args want_status want_err; do
  # shellcheck disable=SC2086  # args: none or one word
  (cd "$idle" && env "$setting" LUMETTOOL="$scratch/absent" bash "$wrapper" $args >"$scratch/out" 2>"$scratch/err")
  check_eq "[$setting $args] status, output, files" "$want_status::$files" \
    "$?:$(cat "$scratch/out"):$(ls "$idle")"
  if [ -n "$want_err" ]; then
    check "[$setting $args] says [$want_err], said [$(cat "$scratch/err")]" grep -q -F -- "$want_err" "$scratch/err"
  else
    check_eq "[$setting $args] standard error" "" "$(cat "$scratch/err")"
  fi
done <<EOF
EXPORT_DIR=.|20241301|64|lumettool-nightly: FIRST-DAY '20241301' is not a day written YYYYMMDD
EXPORT_DIR=.|2024010|64|FIRST-DAY '2024010' is not
EXPORT_TIMEOUT=2x||64|lumettool-nightly: EXPORT_TIMEOUT '2x' is not a whole number
EXPORT_TIMEOUT=1.5h||64|EXPORT_TIMEOUT '1.5h' is not
EXPORT_DELAY_MS=-1||64|lumettool-nightly: EXPORT_DELAY_MS '-1' is not a whole number
EXPORT_DELAY_MS=08||0|
EXPORT_DIR=.|$(day_ago 2)|0|
EOF

# Without db_config.cfg the tool refuses at once: its reason and final
# message on standard error, its status, no file.
nocfg=$scratch/nocfg
mkdir "$nocfg"
run_wrapper "$nocfg"
check_eq "wrapper status without db_config.cfg" 78 "$status"
check "the tool's reason is passed on [$err]" \
  grep -q -x -F "lumettool: error: cannot open the settings file './db_config.cfg': No such file or directory" <<<"$err"
check "the wrapper names the day and the final message [$err]" grep -q -x -F \
  "lumettool-nightly: export of $yesterday into $nocfg/transactions-$yesterday.copy failed (exit status 78): Error - Open DB Config File Failed; the next run goes on from $yesterday" <<<"$err"
check_eq "standard output" "" "$out"
check "no file" test ! -e "$nocfg/transactions-$yesterday.copy"

server=no
if [ -n "${PGPORT:-}" ] && pg_isready -q -h 127.0.0.1 -p "$PGPORT" 2>/dev/null; then server=yes; fi
if [ "$server" = no ]; then
  if [ -n "${LUMET_FULL_ENV:-}" ]; then
    fail "no PostgreSQL on 127.0.0.1 port ${PGPORT:-(PGPORT unset)}: scripts/test starts one"
  else
    echo "SKIP: no PostgreSQL on 127.0.0.1 (PGPORT): the nightly runs, the catch-up and the import are not checked"
  fi
  finish
  exit
fi

export PGTZ=UTC  # for psql here; the wrapper sets it for the tool itself
db=lumet_examples_$$
archive=lumet_examples_archive_$$
# The exports log in as a role that may only read, as a job's should: a
# superuser draws a warning on every run.
reader=lumet_examples_reader_$$
reader_password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
sql() { psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 "$@"; }
drop_dbs() {
  sql -d postgres -c "DROP DATABASE IF EXISTS $db" -c "DROP DATABASE IF EXISTS $archive" \
    -c "DROP ROLE IF EXISTS $reader" >/dev/null
}
trap 'drop_dbs; rm -rf "$scratch"' EXIT
sql -d postgres -c "CREATE DATABASE $db" -c "CREATE DATABASE $archive" \
  -c "CREATE ROLE $reader LOGIN PASSWORD '$reader_password'" >/dev/null
# Eight UTC days up to today, 37 minutes apart, and a row on each side of
# every midnight; notes that need COPY's escapes. The wrapper's days are
# day_ago 5 to yesterday.
sql -d "$db" >/dev/null <<SQL
CREATE TABLE transaction (id int PRIMARY KEY, datetime timestamptz NOT NULL, amount numeric(12,2), note text);
INSERT INTO transaction
SELECT g, '$(day_ago 6) 00:00+00'::timestamptz + g * interval '37 minutes', g / 4.0,
       CASE g % 5 WHEN 0 THEN NULL WHEN 1 THEN 'a|b' WHEN 2 THEN E'two\nlines' WHEN 3 THEN E'back\\\\slash' ELSE 'ref ' || g END
FROM generate_series(0, 7 * 24 * 60 / 37) AS g
UNION ALL
SELECT 1000 + 10 * k + e, '$(day_ago 6) 00:00+00'::timestamptz + k * interval '1 day' - e * interval '1 microsecond', k, 'edge'
FROM generate_series(1, 7) AS k, generate_series(0, 1) AS e;
CREATE TABLE flag (ok bool);
INSERT INTO flag VALUES (false);
CREATE TABLE nap (seconds int);
INSERT INTO nap VALUES (30);
GRANT SELECT ON transaction, flag, nap TO $reader;
SQL

# One uninterrupted export of each day, as the files are to be.
ref=$scratch/ref
mkdir "$ref"
(cd "$ref" && "$BUILD/bin/lumettool" db_init 127.0.0.1 "$PGPORT" "$reader" "$reader_password" "$db" >/dev/null)
for n in 5 4 3 2 1; do
  d=$(day_ago "$n")
  (cd "$ref" && LUMETTOOL_OUTPUT=$d.copy LUMETTOOL_FORMAT=copy "$BUILD/bin/lumettool" \
    transaction_query all none "$d" "$d" 0 0 >/dev/null 2>&1)
  check "the reference export of $d" test -f "$ref/$d.copy"
done
check_eq "rows in the reference files" \
  "$(sql -At -d "$db" -c "SELECT count(*) FROM transaction WHERE datetime >= '$(day_ago 5)' AND datetime < '$today'")" \
  "$(cat "$ref"/*.copy | wc -l)"

# A failing night: the condition divides by zero from day_ago 3 on while
# flag.ok is false. The wrapper, started from day_ago 5 and in another time
# zone (which it must not use), exports two days and stops at the third.
live=$scratch/live
mkdir "$live"
cp "$ref/db_config.cfg" "$live/"
cond="case when transaction.datetime >= '$(day_ago 3)' and not (select ok from flag) then 1/(id-id) else 1 end=1"
d3=$(day_ago 3)
PGTZ=Pacific/Kiritimati EXPORT_CONDITION=$cond run_wrapper "$live" "$(day_ago 5)"
check_eq "status of the failing night [$err]" 65 "$status"
check_eq "its standard output" "" "$out"
check "the tool's reason is passed on [$err]" grep -q -E \
  "^lumettool: error: the statement for ${d3:0:4}-${d3:4:2}-${d3:6:2}[.][.]${d3:0:4}-${d3:4:2}-${d3:6:2} failed: ERROR:  division by zero [(]SQLSTATE 22012[)]$" <<<"$err"
check "the wrapper's line comes last [$err]" test "$(tail -n 1 <<<"$err")" = \
  "lumettool-nightly: export of $d3 into $live/transactions-$d3.copy failed (exit status 65): Error - Invalid Sql Command; the next run goes on from $d3"
check_eq "files after the failing night" \
  "transactions-$(day_ago 5).copy transactions-$(day_ago 4).copy" \
  "$(cd "$live" && ls transactions-*.copy | sort | tr '\n' ' ' | sed 's/ $//')"
check_eq "no day after the failed one was tried" "" \
  "$(cd "$live" && compgen -G "*$(day_ago 2)*"; compgen -G "*$yesterday*")"

# The next night, the cause gone: it catches up from the failed day to
# yesterday, and says nothing.
sql -d "$db" -c "UPDATE flag SET ok = true"
PGTZ=Pacific/Kiritimati EXPORT_CONDITION=$cond EXPORT_DELAY_MS=10 run_wrapper "$live"
check_eq "status, output and errors of the catch-up" "0::" "$status:$out:$err"
for n in 5 4 3 2 1; do
  d=$(day_ago "$n")
  check "transactions-$d.copy is the uninterrupted export's" cmp "$ref/$d.copy" "$live/transactions-$d.copy"
done
check_eq "nothing but the files and the settings left" \
  "db_config.cfg $(for n in 5 4 3 2 1; do printf 'transactions-%s.copy ' "$(day_ago "$n")"; done)" \
  "$(ls "$live" | sort | tr '\n' ' ')"
run_wrapper "$live"
check_eq "a second run the same night has nothing to do" "0::" "$status:$out:$err"

# A settings file pointing at a closed port: the tool's reason and status;
# with the port fixed, the same command exports the days.
down=$scratch/down
mkdir "$down"
(cd "$down" && "$BUILD/bin/lumettool" db_init 127.0.0.1 "$(free_port)" "$reader" "$reader_password" "$db" >/dev/null)
LUMETTOOL_RETRIES=0 run_wrapper "$down" "$(day_ago 2)"
check_eq "status with the server's port closed [$err]" 75 "$status"
check "the tool's reason is passed on [$err]" grep -q -E "^lumettool: error: cannot connect: .*Connection refused" <<<"$err"
check "the wrapper names the final message [$err]" grep -q -F \
  "failed (exit status 75): Error - Can't Connect Database; the next run goes on from $(day_ago 2)" <<<"$err"
cp "$ref/db_config.cfg" "$down/"
run_wrapper "$down" "$(day_ago 2)"
check_eq "status once the server is reached [$err]" 0 "$status"
check "the first day is the uninterrupted export's" cmp "$ref/$(day_ago 2).copy" "$down/transactions-$(day_ago 2).copy"
check "and yesterday" cmp "$ref/$yesterday.copy" "$down/transactions-$yesterday.copy"

# The time limit ends a statement that sleeps (once, in an InitPlan): status
# 124, no file; the next run, with the server quick again, writes it.
slow=$scratch/slow
mkdir "$slow"
cp "$ref/db_config.cfg" "$slow/"
nap="(select count(*) from (select pg_sleep(seconds) from nap) as s)=1"
EXPORT_CONDITION=$nap EXPORT_TIMEOUT=2 run_wrapper "$slow"
check_eq "status past the time limit [$err]" 124 "$status"
check "the tool says it was stopped [$err]" grep -q "^lumettool: error: stopped by SIGTERM" <<<"$err"
check "the wrapper names the time limit [$err]" grep -q -F \
  "export of $yesterday into $slow/transactions-$yesterday.copy failed (the time limit of 2 passed): no final message" <<<"$err"
check "no file past the time limit" test ! -e "$slow/transactions-$yesterday.copy"
sql -d "$db" -c "UPDATE nap SET seconds = 0"
EXPORT_CONDITION=$nap EXPORT_TIMEOUT=2 run_wrapper "$slow"
check_eq "status of the next run [$err]" 0 "$status"
check "its file is the uninterrupted export's" cmp "$ref/$yesterday.copy" "$slow/transactions-$yesterday.copy"

# The import of README's "Importing the output": the table made in a second
# database from pg_dump, each file loaded as it is; and the same rows from
# standard output, its final message checked and dropped.
pg_dump -s -O -x -t transaction -h 127.0.0.1 "$db" | sql -d "$archive" >/dev/null
check_eq "the table made by pg_dump" "$(sql -At -d "$db" -c '\d transaction')" "$(sql -At -d "$archive" -c '\d transaction')"
for f in "$live"/transactions-*.copy; do
  check "\\copy FROM $f" sql -d "$archive" -c "\\copy transaction FROM '$f' WITH (DELIMITER '|')"
done
rows() { sql -d "$1" -c "COPY (SELECT * FROM transaction WHERE datetime >= '$(day_ago 5)' AND datetime < '$today' ORDER BY id) TO STDOUT"; }
check_eq "the imported rows are the source's" "$(rows "$db")" "$(rows "$archive")"
(cd "$ref" && LUMETTOOL_FORMAT=copy "$BUILD/bin/lumettool" transaction_query all none \
  "$(day_ago 5)" "$yesterday" 2 0 >"$scratch/stdout.copy" 2>/dev/null)
check_eq "the final message" Success "$(tail -n 1 "$scratch/stdout.copy")"
check_eq "standard output less its final message holds the files' rows" \
  "$(cat "$live"/transactions-*.copy | sort)" "$(sed '$d' "$scratch/stdout.copy" | sort)"
finish
