#!/bin/bash
# Nightly export for cron or a systemd timer: one file per day of the
# table `transaction`, in COPY's text format. See "Nightly job" in
# lumettool's README.
#
#   lumettool-nightly.sh [FIRST-DAY]     FIRST-DAY as YYYYMMDD
#
# In EXPORT_DIR (default: the current directory), which holds
# db_config.cfg, it exports every day from the one after the newest
# transactions-YYYYMMDD.copy there up to yesterday, one run of the tool per
# day, so that a night that failed or that the machine was off is caught up.
# With no such file it exports yesterday only, or from FIRST-DAY on; a
# FIRST-DAY later than the day after the newest file skips the days before
# it. Days are UTC days (PGTZ=UTC), and yesterday is the last complete one.
#
# The tool writes each day to transactions-YYYYMMDD.copy.part and renames
# it when the day is complete. The first day that fails ends the run: its
# reason is on standard error (the tool's own lines, then one of this
# script's), and the next run goes on from that day, the tool taking up its
# .part file where it stopped.
#
# Exit status: 0 every day done (or nothing to do); else the tool's (64
# settings refused, 65 a statement failed, 69 cannot connect, 74 the file,
# 75 a passing failure outlasted the retries or another run holds the
# file, 78 db_config.cfg unreadable, 128+N a signal); 124 the time limit of
# the whole run, EXPORT_TIMEOUT, passed.
set -euo pipefail
umask 077

fields=${EXPORT_FIELDS:-all}
condition=${EXPORT_CONDITION:-none}
delay_ms=${EXPORT_DELAY_MS:-0}    # pause between two days of a catch-up
limit=${EXPORT_TIMEOUT:-2h}       # for the whole run, catch-up included
lumettool=${LUMETTOOL:-lumettool}

say() { echo "lumettool-nightly: $*" >&2; }

# A statement or a lock wait that takes too long fails on the server with
# its reason, well before the time limit ends the whole run.
export PGOPTIONS=${PGOPTIONS:--c statement_timeout=30min -c lock_timeout=1min}
export LUMETTOOL_RETRIES=${LUMETTOOL_RETRIES:-5}
export PGAPPNAME=${PGAPPNAME:-lumettool-nightly}
export PGTZ=UTC LUMETTOOL_FORMAT=copy LUMETTOOL_EXIT_STATUS=on

if ! [[ $delay_ms =~ ^[0-9]+$ ]]; then
  say "EXPORT_DELAY_MS '$delay_ms' is not a whole number of milliseconds"
  exit 64
fi
delay_ms=$((10#$delay_ms))
if ! [[ $limit =~ ^([0-9]+)([smhd]?)$ ]]; then
  say "EXPORT_TIMEOUT '$limit' is not a whole number followed by s, m, h, d or nothing (seconds)"
  exit 64
fi
seconds=$((10#${BASH_REMATCH[1]}))
case ${BASH_REMATCH[2]} in
  m) seconds=$((seconds * 60)) ;;
  h) seconds=$((seconds * 3600)) ;;
  d) seconds=$((seconds * 86400)) ;;
esac
now_ms() { local us=${EPOCHREALTIME//[!0-9]/}; echo $((us / 1000)); }
as_seconds() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }  # from ms
deadline=$(($(now_ms) + seconds * 1000))

next_day() { date -u -d "$1 + 1 day" +%Y%m%d; }

first=${1:-}
if [ -n "$first" ] && ! { [[ $first =~ ^[0-9]{8}$ ]] && date -u -d "$first" >/dev/null 2>&1; }; then
  say "FIRST-DAY '$first' is not a day written YYYYMMDD"
  exit 64
fi

cd "${EXPORT_DIR:-.}"
last=$(date -u -d yesterday +%Y%m%d)
newest=$(compgen -G 'transactions-[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9].copy' | sort | tail -n 1 || true)
if [ -n "$newest" ]; then
  day=$(next_day "${newest:13:8}")
  if [ -n "$first" ] && [ "$first" -gt "$day" ]; then day=$first; fi
else
  day=${first:-$last}
fi

while [ "$day" -le "$last" ]; do
  file=transactions-$day.copy
  left=$((deadline - $(now_ms)))
  status=0
  if [ "$left" -le 0 ]; then
    status=124 message="not started"
  else
    # The tool's standard error goes straight on; its standard output holds
    # only the final message.
    message=$(LUMETTOOL_OUTPUT=$PWD/$file timeout -k 1m "$(as_seconds "$left")s" \
      "$lumettool" transaction_query "$fields" "$condition" "$day" "$day" 0 0) || status=$?
  fi
  if [ "$status" -ne 0 ] || [ "$message" != Success ] || [ ! -f "$file" ]; then
    [ "$status" -ne 0 ] || status=1
    why="exit status $status"
    [ "$status" -ne 124 ] || why="the time limit of $limit passed"
    say "export of $day into $PWD/$file failed ($why): ${message:-no final message}; the next run goes on from $day"
    exit "$status"
  fi
  day=$(next_day "$day")
  if [ "$day" -le "$last" ] && [ "$delay_ms" -gt 0 ]; then
    sleep "$(as_seconds "$delay_ms")"
  fi
done
