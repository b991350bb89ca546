// The export's output format: the variable that chooses it, COPY's options
// in the statement, the rows as COPY sends them turned into the lines the
// export prints, and the warning about values that break those lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "commands/days.h"
#include "util/client_encoding.h"

struct Spool;

// What the export's lines look like: `kText` (the default) is the values as
// they are, joined by '|', NULL as an empty value (what psql -At -F'|'
// prints); `kCopy` is COPY's own line, escapes kept and NULL as \N.
enum class OutputFormat { kText, kCopy };

// The format asked for, or the reason it is refused (empty when it is not).
struct FormatChoice {
  OutputFormat format = OutputFormat::kText;
  std::string reason;
};

inline constexpr const char* kFormatVariable = "LUMETTOOL_FORMAT";

// The format's name, as the variable spells it.
constexpr std::string_view formatName(OutputFormat format) {
  return format == OutputFormat::kCopy ? "copy" : "text";
}

// The format asked for by `value`, the variable's value (nullptr when it is
// not set). An empty value is refused rather than read as the default: it
// is what `LUMETTOOL_FORMAT=$FORMAT` leaves when $FORMAT is lost, and a
// script that meant copy must not get text silently.
FormatChoice formatFromValue(const char* value);

// How the statement asks for the rows: COPY's text format, '|' between the
// values. Both formats read this, and the text format decodes it.
inline constexpr std::string_view kCopyOptions = " TO STDOUT WITH (DELIMITER '|')";

// What decoding one row gave.
struct DecodedRow {
  size_t length = 0;          // bytes of the line written
  size_t breakingValues = 0;  // values holding '|', '\n' or '\r' once decoded
};

// Decodes one row in COPY's text format with delimiter '|' (as
// PQgetCopyData returns it, its '\n' included) into its line in the text
// format: COPY FROM's rules for backslashes (\b \f \n \r \t \v, octal \o to
// \ooo, \xH and \xHH, any other byte after a backslash standing for itself),
// a value that is exactly \N as an empty value, and the row's final '\n'
// kept. A backslash that ends the row, which COPY never sends, is kept.
// `out` holds at least row.size() bytes, since no escape is shorter than
// what it stands for; it may be row.data() itself, to decode in place.
// A row without a backslash is copied as it is. The row is in `encoding`,
// the session's client encoding when the COPY began: in SJIS, BIG5 and the
// other encodings whose characters may hold ASCII bytes, the server escapes
// character by character and leaves a backslash or '|' inside a character
// as it is, so such a character is copied whole and counts for nothing.
DecodedRow decodeCopyRow(std::string_view row, char* out, ClientEncoding encoding);

// Appends one row, as PQgetCopyData returned it, to the chunk's spool in
// `format`: decoded in place for kText, by `encoding` (see decodeCopyRow),
// as it is for kCopy. Adds to `breakingValues` the values of kText that
// break its lines. Returns spoolWrite's answer.
bool spoolCopyRow(Spool& spool, std::span<char> row, OutputFormat format, ClientEncoding encoding,
                  size_t& breakingValues);

// A warning when `count` values of the rows printed hold '|' or a line
// break, the first of them in the chunk over `first`..`last`, with the
// setting of kFormatVariable that keeps such rows whole.
void tellBreakingValues(uint64_t count, Day first, Day last);
