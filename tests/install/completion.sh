# The SYNOPSIS, the generated bash completion and the programs agree: every
# command word in a program's SYNOPSIS is offered by its completion and
# accepted by the program with exactly the arguments shown, a word of
# another edition is refused, and the long options are offered once a dash
# is typed. (man_page.sh checks the SYNOPSIS against the
# usage the programs print.)
. "$(dirname "$0")/lib.sh"

all_words=$(for p in "${PROGRAMS[@]}"; do synopsis_commands "$p" | awk '{ print $1 }'; done | sort -u)
check "SYNOPSIS names commands" test -n "$all_words"
cd "$scratch" || exit 1

for prog in "${PROGRAMS[@]}"; do
  bin=$BUILD/bin/$prog
  completion=$BUILD/completions/$prog
  words=$(synopsis_commands "$prog" | awk '{ print $1 }' | sort)
  check_eq "$prog offers its SYNOPSIS words" "$words" "$(completion_words "$completion" "$prog" "")"
  # The long options of the SYNOPSIS (-h is left to be typed).
  options=$(synopsis_lines "$prog" | grep '^-' | awk '{ print $1 }' | sort)
  check_eq "$prog SYNOPSIS options" "--help
--version" "$options"
  for prefix in - -- --h --v --x; do
    check_eq "$prog completes [$prefix]" "$(grep -- "^$prefix" <<<"$options")" \
      "$(completion_words "$completion" "$prog" "$prefix")"
  done
  for word in $all_words; do
    prefix=${word:0:2}
    check_eq "$prog completes [$prefix]" "$(grep "^$prefix" <<<"$words")" \
      "$(completion_words "$completion" "$prog" "$prefix")"
  done

  # Dummy arguments: each command must get past the argument count check
  # with the count shown, and fail it with one more.
  while read -r word args; do
    read -r -a argv <<<"$args"
    dummies=()
    for _ in "${argv[@]}"; do dummies+=(x); done
    out=$("$bin" "$word" "${dummies[@]}")
    check "$prog $word takes ${#argv[@]} arguments (got [$out])" \
      test "$out" != "Error - Invalid Parameters" -a "$out" != "Error - Invalid Command"
    check_eq "$prog $word with one argument too many" "Error - Invalid Parameters" \
      "$("$bin" "$word" "${dummies[@]}" x)"
  done < <(synopsis_commands "$prog")

  for word in $all_words; do
    grep -q -x "$word" <<<"$words" && continue
    check_eq "$prog refuses $word" "Error - Invalid Command" "$("$bin" "$word")"
  done
done
finish
