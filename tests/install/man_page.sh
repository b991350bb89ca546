# The manual page: both formatters accept it without a warning, and it
# documents every message and banner that the programs' sources can print.
. "$(dirname "$0")/lib.sh"

groff_out=$(groff -ww -man -z "$MAN_SOURCE" 2>&1)
check_eq "groff -ww -man -z" "" "$groff_out"
mandoc_out=$(mandoc -T lint "$MAN_SOURCE" 2>&1)
check_eq "mandoc -T lint: exit status and messages" "0:" "$?:$mandoc_out"

text=$(man_text | tr -s ' \n' '  ')
while IFS= read -r message; do
  case $text in
    *"$message"*) passed=$((passed + 1)) ;;
    *) fail "the manual page does not mention [$message]" ;;
  esac
done < <(cat "$SRC"/app/*.cpp "$SRC"/commands/*.cpp "$SRC"/config/*.cpp "$SRC"/db/*.cpp \
           "$SRC"/util/*.cpp | grep -o -E '"(Error - [^"]*|Success|New Darvo Lumet Version [^"]*)"' \
           | tr -d '"' | sort -u)

# The time-outs it gives are the connection's (db/conn_string.h), and the
# statement's lengths the program's, in the manual page and in the README
# alike.
constant() { sed -n "s/^inline constexpr int $1 = \([0-9]*\);/\1/p" "$SRC/db/conn_string.h"; }
idle=$(constant kKeepalivesIdleSeconds)
interval=$(constant kKeepalivesIntervalSeconds)
count=$(constant kKeepalivesCount)
connect=$(constant kConnectTimeoutSeconds)
# The statement's limits are the program's: a field list far too long makes
# it say how long the statement would be, without a filter and with one.
fields=$(printf '%*s' 10240 '' | tr ' ' c)
statement_told() {
  "$BUILD/bin/lumettool" transaction_query "$fields" "$1" 20240101 20240101 0 0 2>&1 >/dev/null |
    sed -n 's/.*statement would be \([0-9]*\) bytes, [0-9]* more than the \([0-9]*\) .*/\1 \2/p'
}
read -r unfiltered longest < <(statement_told none)
read -r filtered _ < <(statement_told x)
fixed=$((unfiltered - ${#fields}))
framed=$((filtered - ${#fields} - 1))
besides="$fixed bytes besides the field list without a filter, $framed besides the field list"
readme=$(tr -s ' \n' '  ' <"$SRC/README.md")
for phrase in "at most $connect seconds to connect to each server" \
  "probes after $idle idle seconds, $interval seconds apart, $count of them" \
  "within about $((idle + interval * count)) seconds, always under 60" \
  "at most $longest bytes" \
  "$besides and the filter with one"; do
  case $text in
    *"$phrase"*) passed=$((passed + 1)) ;;
    *) fail "the manual page does not say [$phrase]" ;;
  esac
  case $readme in
    *"$phrase"*) passed=$((passed + 1)) ;;
    *) fail "README.md does not say [$phrase]" ;;
  esac
done

# The SYNOPSIS lists exactly the usage each program prints with --help, in
# the same order; the usage comes from the program's command table, as the
# completion does, so none of the three can drift from the others.
for prog in "${PROGRAMS[@]}"; do
  check_eq "$prog --help begins with Usage:" "Usage:" "$("$BUILD/bin/$prog" --help | head -n 1)"
  check_eq "SYNOPSIS of $prog is its --help" "$(synopsis_lines "$prog")" "$(help_lines "$prog")"
done
# The example of --help shows what the program prints.
check_eq "EXAMPLES show lumettool-2.0 --help" "$("$BUILD/bin/lumettool-2.0" --help | sed 's/^ *//')" \
  "$(man_text | awk '/\$ lumettool-2\.0 --help$/ { on = 1; next }
                     on { sub(/^ */, ""); if (sub(/\$$/, "")) { print; exit } print }')"

# Every section a reader looks for.
for section in NAME SYNOPSIS DESCRIPTION OPTIONS DIAGNOSTICS "EXIT STATUS" ENVIRONMENT EXAMPLES FILES \
  AUTHORS COPYRIGHT "SEE ALSO"; do
  check "section $section" grep -q -x "$section" <(man_text)
done
finish
