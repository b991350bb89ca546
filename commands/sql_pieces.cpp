#include "commands/sql_pieces.h"

#include "util/text.h"

namespace {

bool isHighByte(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// True when a byte right after `before` goes on a word that starts in it:
// after "a1" a '$' belongs to the identifier, after "12" it may open a dollar
// quote.
bool continuesIdentifier(std::string_view before) {
  for (size_t i = before.size(); i > 0 && isIdentByte(before[i - 1]); --i) {
    if (!isDigit(before[i - 1])) return true;
  }
  return false;
}

// True when a byte right after `before` starts a word of its own.
bool wordStartsAfter(std::string_view before) {
  return before.empty() || !isIdentByte(before.back());
}

size_t lineCommentLength(std::string_view text, size_t pos) {
  const size_t end = text.find_first_of("\r\n", pos);
  return end == std::string_view::npos ? text.size() - pos : end - pos;
}

// After the closing quote of a '...' text, at `pos`: the length of the blanks
// and -- comments with a line break among them after which a ' carries the
// same text on ('a'<newline>'b' is 'ab', and E'...' keeps its escapes), or 0
// when the text ends there. \v counts as a blank: servers before 16 take it
// for no blank and then refuse the statement anyway.
size_t continuationLength(std::string_view text, size_t pos) {
  size_t i = pos;
  bool lineBreak = false;
  while (i < text.size()) {
    if (isAsciiSpace(text[i])) {
      lineBreak = lineBreak || text[i] == '\n' || text[i] == '\r';
      ++i;
    } else if (text.substr(i).starts_with("--")) {
      i += lineCommentLength(text, i);
    } else {
      break;
    }
  }
  return lineBreak && i < text.size() && text[i] == '\'' ? i - pos : 0;
}

// Length of a text quoted with `quote` that opens at `open`; a doubled quote
// inside stands for itself. With `escapes`, a backslash takes the next byte;
// one right after a byte above 127 takes nothing, and its offset goes to
// `unsureAt` when that is still npos. `closed` turns false when the text
// ends first.
size_t quotedLength(std::string_view text, size_t open, char quote, bool escapes,
                    size_t& unsureAt, bool& closed) {
  size_t i = open + 1;
  while (i < text.size()) {
    const char c = text[i];
    const bool afterHighByte = isHighByte(text[i - 1]);
    if (escapes && c == '\\' && afterHighByte && unsureAt == std::string_view::npos) {
      unsureAt = i;
    }
    if (escapes && c == '\\' && i + 1 < text.size() && !afterHighByte) {
      i += 2;
    } else if (c == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) {
        i += 2;
      } else if (const size_t gap = quote == '\'' ? continuationLength(text, i + 1) : 0;
                 gap > 0) {
        i += gap + 2;
      } else {
        return i + 1 - open;
      }
    } else {
      ++i;
    }
  }
  closed = false;
  return text.size() - open;
}

// Length of the dollar-quote delimiter ($$ or $tag$) at `pos`, 0 if none.
size_t dollarTagLength(std::string_view text, size_t pos) {
  size_t i = pos + 1;
  if (i < text.size() && isIdentStart(text[i])) {
    while (i < text.size() && (isIdentStart(text[i]) || isDigit(text[i]))) ++i;
  }
  return i < text.size() && text[i] == '$' ? i + 1 - pos : 0;
}

size_t dollarQuotedLength(std::string_view text, size_t pos, size_t tagLen, bool& closed) {
  const size_t close = text.find(text.substr(pos, tagLen), pos + tagLen);
  closed = close != std::string_view::npos;
  return closed ? close + tagLen - pos : text.size() - pos;
}

size_t blockCommentLength(std::string_view text, size_t pos, bool& closed) {
  int depth = 0;
  size_t i = pos;
  while (i + 1 < text.size()) {
    if (text[i] == '/' && text[i + 1] == '*') {
      ++depth;
      i += 2;
    } else if (text[i] == '*' && text[i + 1] == '/') {
      i += 2;
      if (--depth == 0) return i - pos;
    } else {
      ++i;
    }
  }
  closed = false;
  return text.size() - pos;
}

// The quoted text that begins at `pos` with a prefix (E'..', U&'..', U&".."),
// or 0 when there is none; `startsWord` tells whether a word may start there.
size_t prefixedQuoteLength(std::string_view text, size_t pos, bool startsWord,
                           size_t& unsureAt, bool& closed) {
  if (!startsWord) return 0;
  const char c = text[pos];
  const std::string_view rest = text.substr(pos + 1);
  if ((c == 'e' || c == 'E') && rest.starts_with('\'')) {
    return 1 + quotedLength(text, pos + 1, '\'', true, unsureAt, closed);
  }
  if ((c == 'u' || c == 'U') && (rest.starts_with("&'") || rest.starts_with("&\""))) {
    return 2 + quotedLength(text, pos + 2, rest[1], false, unsureAt, closed);
  }
  return 0;
}

}  // namespace

SqlPiece sqlPieceAfter(std::string_view before, std::string_view text) {
  const char c = text[0];
  size_t unsureAt = std::string_view::npos;
  bool closed = true;
  if (c == '\'' || c == '"') {
    const size_t len = quotedLength(text, 0, c, false, unsureAt, closed);
    return {SqlPieceKind::kQuoted, len, unsureAt, closed};
  }
  if (text.starts_with("--")) return {SqlPieceKind::kComment, lineCommentLength(text, 0)};
  if (text.starts_with("/*")) {
    const size_t len = blockCommentLength(text, 0, closed);
    return {SqlPieceKind::kComment, len, unsureAt, closed};
  }
  if (c == '$' && !continuesIdentifier(before)) {
    const size_t tagLen = dollarTagLength(text, 0);
    if (tagLen > 0) {
      const size_t len = dollarQuotedLength(text, 0, tagLen, closed);
      return {SqlPieceKind::kQuoted, len, unsureAt, closed};
    }
  }
  if (const size_t len = prefixedQuoteLength(text, 0, wordStartsAfter(before), unsureAt, closed);
      len > 0) {
    return {SqlPieceKind::kQuoted, len, unsureAt, closed};
  }
  return {SqlPieceKind::kCode, 1};
}

SqlPiece sqlPieceAt(std::string_view text, size_t pos) {
  SqlPiece piece = sqlPieceAfter(text.substr(0, pos), text.substr(pos));
  if (piece.unsureAt != std::string_view::npos) piece.unsureAt += pos;
  return piece;
}
