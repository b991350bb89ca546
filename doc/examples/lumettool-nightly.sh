#!/bin/bash
# Nightly export for cron or a systemd timer: yesterday's rows of
# `transaction` into a dated file. See "Nightly job" in lumettool's README.
#
#   lumettool-nightly.sh [FROM [TO]]     days as YYYYMMDD; default yesterday
#   EXPORT_RESUME=yes lumettool-nightly.sh FROM TO
#                                        go on after a failed run of FROM TO
#
# Runs in EXPORT_DIR (default: the current directory), which holds
# db_config.cfg. On success it leaves transactions-FROM[-TO].txt there, the
# tool's output byte for byte: the rows, then "Success" without a newline.
# The tool's standard error goes to transactions-FROM[-TO].log; after a
# failure the rows so far stay in the .txt.part file and the log ends with
# the tool's hint: the size to cut the .part file back to and the day to go
# on from. With EXPORT_RESUME=yes the wrapper follows that hint (cuts the
# file, exports from that day, appending), so that the finished file is the
# one an uninterrupted run would have written; keep the other EXPORT_
# settings as they were.
#
# Exit status: 0 done; 1 the export ended with an "Error - ..." message (or
# standard output could not be written, or there is nothing to resume);
# 75 another run holds the lock; 124 the time limit passed; 128+N the tool
# was ended by signal N.
set -uo pipefail

fields=${EXPORT_FIELDS:-all}
condition=${EXPORT_CONDITION:-none}
days=${EXPORT_DAYS:-1}
delay_ms=${EXPORT_DELAY_MS:-0}
limit=${EXPORT_TIMEOUT:-2h}
resume=${EXPORT_RESUME:-no}
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

# The hint of the last run in the log, as "SIZE DAY", or nothing when that
# run left none (it could not connect, or was killed outright). The tool
# writes it as "...: hint: to go on, cut standard output back to its first
# SIZE bytes (truncate -s SIZE FILE), which hold ..., and run again with
# date-from DAY appending to it (>>)".
resume_point() {
  sed -n -e 's/^[^ ]* start .*/-/p' \
    -e 's/^[^ ]*: hint: to go on, cut standard output back to its first \([0-9]*\) bytes .*, and run again with date-from \([0-9]\{8\}\) appending to it (>>)$/\1 \2/p' \
    "$log" 2>/dev/null | tail -n 1 | grep -v '^-$'
}

start=$from
if [ "$resume" = yes ]; then
  point=$(resume_point)
  if [ ! -f "$out.part" ] || [ -z "$point" ]; then
    echo "lumettool-nightly: nothing to resume for $from..$to in $PWD (no $out.part, or no hint at the end of $log); run it again without EXPORT_RESUME" >&2
    exit 1
  fi
  read -r size start <<<"$point"
  if [ "$(stat -c %s "$out.part")" -lt "$size" ]; then
    echo "lumettool-nightly: $PWD/$out.part is shorter than the $size bytes the hint names; run it again without EXPORT_RESUME" >&2
    exit 1
  fi
  truncate -s "$size" "$out.part" || exit 1
  echo "$(date -Is) start export $start..$to, resumed after the first $size bytes" >>"$log"
else
  : >"$out.part" || exit 1
  echo "$(date -Is) start export $from..$to" >>"$log"
fi

status=0
timeout -k 1m "$limit" "$lumettool" transaction_query "$fields" "$condition" \
  "$start" "$to" "$days" "$delay_ms" >>"$out.part" 2>>"$log" || status=$?

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
msg="export of $start..$to failed: $why; rows so far in $PWD/$out.part, the reason in $PWD/$log"
point=$(resume_point)
if [ -n "$point" ]; then
  read -r size next <<<"$point"
  msg="$msg; to go on from $next (after the first $size bytes): cd $PWD && EXPORT_RESUME=yes lumettool-nightly.sh $from $to"
else
  msg="$msg; to go on, run it again: cd $PWD && lumettool-nightly.sh $from $to"
fi
echo "$(date -Is) $msg" >>"$log"
echo "lumettool-nightly: $msg" >&2
exit "$status"
