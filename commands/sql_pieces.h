// SQL text split the way PostgreSQL's lexer splits it: code, quoted text and
// comments. The rewriting of the field list and the condition works on the
// code only, and the condition's brackets are counted in the code only.
#pragma once

#include <cstddef>
#include <string_view>

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Bytes that may start an identifier or a dollar-quote tag: ASCII letters,
// '_' and every byte above 127.
constexpr bool isIdentStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// Bytes that may go on an identifier ('$' too, after its first byte).
constexpr bool isIdentByte(char c) { return isIdentStart(c) || isDigit(c) || c == '$'; }

enum class SqlPieceKind {
  kCode,     // one byte of SQL outside quotes and comments
  kQuoted,   // a whole quoted text: '...', E'...', U&'...', "...", U&"...", $tag$...$tag$
  kComment,  // -- to the end of the line, or /* ... */ (they nest)
};

struct SqlPiece {
  SqlPieceKind kind;
  size_t len;  // bytes from the piece's start; at least 1
  // In E'...' text, the offset in the whole text of the first backslash
  // right after a byte above 127, which the server reads one way or the
  // other by the client encoding (see below); npos when there is none.
  size_t unsureAt = std::string_view::npos;
  // False for a quoted text or a /* comment that the text ends inside: in a
  // statement, whatever follows would be read as part of it.
  bool closed = true;
};

// The piece of `text` that starts at `pos` (pos < text.size()). A quoted text
// or a comment that is not closed runs to the end of the text. A '...' text
// takes in the next line's '...' that the server reads as its continuation
// (only blanks and -- comments, with a line break, between them).
//
// Where the server might read the bytes more than one way, the piece is cut
// so that the text is taken as code rather than as quoted: so a bracket the
// server would see as code is never hidden inside a quote here. Backslashes
// escape only in E'...' text (standard_conforming_strings on), and there a
// backslash straight after a byte above 127 escapes nothing: in the
// multibyte client encodings SJIS, BIG5 and GBK such a byte pair is one
// character, while in UTF-8 the backslash escapes. Which one the server
// reads depends on the session, so the piece notes it (unsureAt) and the
// caller refuses such text.
SqlPiece sqlPieceAt(std::string_view text, size_t pos);

// The piece at the start of `text` (not empty) when `before` stands right
// before it: for a text that is being written out, lexed as it will be read.
// Offsets in it count from the start of `text`.
SqlPiece sqlPieceAfter(std::string_view before, std::string_view text);
