# The steps of scripts/test, each with its wall time, so that the log shows
# where the time goes. Source it, then:
#   step "what"; ...; step_done
# step_done prints "== what: N s" and, when STEP_TIMES names a file, adds
# that line to it (scripts/test prints the file at the end). A step that is
# still open when the script exits is reported as failed, with its time.

step_name=""
step_started=0

step_done() {
  [ -n "$step_name" ] || return 0
  local line
  line=$(printf '%-66s %5d s' "$step_name" $((SECONDS - step_started)))
  echo "== $line"
  if [ -n "${STEP_TIMES:-}" ]; then echo "$line" >>"$STEP_TIMES"; fi
  step_name=""
}

step() {
  step_done
  step_name=$1
  step_started=$SECONDS
  echo "== $step_name"
}

# For an EXIT trap: the open step, if any, failed.
step_failed() {
  [ -n "$step_name" ] || return 0
  step_name="$step_name (FAILED)"
  step_done
}
