// What the program tells the operator on standard error, the way
// PostgreSQL's client programs do: "lumettool: error: REASON", followed by
// "lumettool: detail: ..." and "lumettool: hint: ..." lines where they help.
// Standard output keeps only the rows and the final message.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

// Writes one line "PROGRAM: KIND: " followed by the pieces. Whatever is
// pending on standard output is flushed first, so that a reader of both
// streams sees the rows, then the reason, then the final message. A status
// line on the terminal is erased first. Failures to write are ignored:
// standard error is only ever a courtesy.
void tellError(std::initializer_list<std::string_view> pieces);
void tellWarning(std::initializer_list<std::string_view> pieces);
void tellDetail(std::initializer_list<std::string_view> pieces);
void tellHint(std::initializer_list<std::string_view> pieces);

// Writes a message of the server's as libpq gives it ("NOTICE:  ...\n"
// "DETAIL:  ...\nHINT:  ...\n") one line each, "PROGRAM: NOTICE:  ...",
// "PROGRAM: DETAIL:  ...": a line of the server's keeps its own label; a
// line that continues one (a message of several lines) is a detail line.
void tellServer(std::string_view message);

// Shows `text` as the status line on the terminal, in place of the one
// before; nothing when standard error is not a terminal.
void showStatus(std::string_view text);

// Erases the status line, if one is shown.
void clearStatus();

// True when standard error is a terminal, where a status line is shown.
bool statusShown();

// `text` in single quotes, with bytes that are not printable ASCII written
// as \xNN, for quoting what the operator gave; past `longest` bytes it is
// cut and "..." follows.
std::string quoted(std::string_view text, size_t longest = 64);

// The system's text for `errnum` (strerror).
std::string systemError(int errnum);
