#!/bin/bash
# Nightly export for cron or a systemd timer: yesterday's rows of
# `transaction` into a dated file. See "Nightly job" in lumettool's README.
#
#   lumettool-nightly.sh [FROM [TO]]     days as YYYYMMDD; default yesterday
#
# Runs in EXPORT_DIR (default: the current directory), which holds
# db_config.cfg. On success it leaves transactions-FROM[-TO].txt there, the
# tool's output byte for byte: the rows, then "Success" without a newline.
# The tool's standard error goes to transactions-FROM[-TO].log; after a
# failure the rows so far stay in the .txt.part file and the log ends with
# the tool's hint: the day to go on from and the size to cut the file to.
#
# Exit status: 0 done; 1 the export ended with an "Error - ..." message (or
# standard output could not be written); 75 another run holds the lock;
# 124 the time limit passed; 128+N the tool was ended by signal N.
set -uo pipefail

fields=${EXPORT_FIELDS:-all}
condition=${EXPORT_CONDITION:-none}
days=${EXPORT_DAYS:-1}
delay_ms=${EXPORT_DELAY_MS:-0}
limit=${EXPORT_TIMEOUT:-2h}
lumettool=${LUMETTOOL:-lumettool}
from=${1:-$(date -d yesterday +%Y%m%d)}
to=${2:-$from}

# A statement or a lock wait that takes too long fails on the server with
# its reason, well before the time limit ends the whole run.
export PGOPTIONS=${PGOPTIONS:--c statement_timeout=30min -c lock_timeout=1min}
export LUMETTOOL_RETRIES=${LUMETTOOL_RETRIES:-5}
export PGAPPNAME=${PGAPPNAME:-lumettool-nightly}

cd "${EXPORT_DIR:-.}" || exit 1
name=transactions-$from
[ "$to" = "$from" ] || name=$name-$to
out=$name.txt
log=$name.log

# Two runs writing one file lose rows: a run that finds the lock taken
# leaves at once instead of waiting.
exec 9>>lumettool-nightly.lock
if ! flock -n 9; then
  echo "lumettool-nightly: another export holds $PWD/lumettool-nightly.lock; not started" >&2
  exit 75
fi

echo "$(date -Is) export $from..$to" >>"$log"
status=0
timeout -k 1m "$limit" "$lumettool" transaction_query "$fields" "$condition" \
  "$from" "$to" "$days" "$delay_ms" >"$out.part" 2>>"$log" || status=$?

# The final message is the last line and has no newline after it; only a
# run that ended by itself (status 0) printed one.
last=$(tail -n 1 "$out.part")
if [ "$status" -eq 0 ] && [ "$last" = Success ]; then
  mv -f "$out.part" "$out"
  echo "$(date -Is) done: $out" >>"$log"
  exit 0
fi

case $status in
  0) why="it ended with '$last'"; status=1 ;;
  124) why="it ran past the time limit of $limit" ;;
  *) if [ "$status" -gt 128 ]; then why="it was ended by signal $((status - 128))"
     else why="exit status $status"; fi ;;
esac
msg="export of $from..$to failed: $why; rows so far in $PWD/$out.part, where to go on at the end of $PWD/$log"
echo "$(date -Is) $msg" >>"$log"
echo "lumettool-nightly: $msg" >&2
exit "$status"
