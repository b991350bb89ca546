#include "commands/condition.h"

#include <algorithm>
#include <array>
#include <vector>

#include "commands/sql_pieces.h"
#include "util/diagnostics.h"
#include "util/text.h"
#include "util/text_buffer.h"

namespace {

// Calls `step(pos, piece)` for each piece of `text`, in order.
template <typename Step>
void forEachPiece(std::string_view text, Step step) {
  for (size_t pos = 0; pos < text.size();) {
    const SqlPiece piece = sqlPieceAt(text, pos);
    step(pos, piece);
    pos += piece.len;
  }
}

// True when `text` starts with the lower-case `word` in any case.
bool startsWithFolded(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (asciiLower(text[i]) != word[i]) return false;
  }
  return true;
}

// The words that end a select list and start the next clause. Inside
// brackets they belong to a function's own syntax (extract(epoch from x),
// substring(s from 1 for 3)) and stay there.
constexpr std::array<std::string_view, 14> kClauseWords{
    "from",  "where", "union",  "intersect", "except", "group", "having",
    "window", "order", "limit", "offset",    "fetch",  "for",   "into"};

// The length of the number at `pos`, read as PostgreSQL 15 reads one: digits,
// a decimal point and digits, an exponent only when digits follow it. A
// word right after it is a token of its own there (1from is 1 and from).
size_t numberLength(std::string_view text, size_t pos) {
  size_t i = pos;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && isDigit(text[j])) {
      while (j < text.size() && isDigit(text[j])) ++j;
      i = j;
    }
  }
  return i - pos;
}

// Walks the field list's code word by word, at bracket depth 0 looking for
// what ends a select list.
struct FieldWalk {
  std::string_view fields;
  FieldListFault fault;
  std::vector<size_t> opened;  // offsets of the brackets still open
  bool found = false;

  void refuse(size_t at, std::string what) {
    if (found) return;
    fault = {at, std::move(what)};
    found = true;
  }

  // The code byte at `pos` and what starts there; returns the bytes taken.
  size_t code(size_t pos) {
    const char c = fields[pos];
    if (c == '(') opened.push_back(pos);
    if (c == ')') {
      if (opened.empty()) refuse(pos, "a bracket it did not open");
      if (!opened.empty()) opened.pop_back();
    }
    if (c == ';') refuse(pos, "a ';'");
    if (isDigit(c)) return numberLength(fields, pos);
    if (c == '$' && pos + 1 < fields.size() && isDigit(fields[pos + 1])) {
      refuse(pos, "a parameter");
      return 1 + numberLength(fields, pos + 1);
    }
    if (!isIdentByte(c) || c == '$') return 1;
    size_t end = pos;
    while (end < fields.size() && isIdentByte(fields[end])) ++end;
    const std::string_view token = fields.substr(pos, end - pos);
    for (const std::string_view clause : kClauseWords) {
      if (opened.empty() && isWholeWord(token, clause)) {
        refuse(pos, "the word " + std::string(clause) + ", which ends a select list");
      }
    }
    return end - pos;
  }
};

std::string folded(std::string_view text) {
  std::string lower(text.size(), '\0');
  std::transform(text.begin(), text.end(), lower.begin(), asciiLower);
  return lower;
}

// What a character of a word is, for telling which and/or stood inside
// one. A $ ends a word here: it starts a parameter or a quote as often as
// it continues a name.
bool isWordByte(char c) { return isIdentByte(c) && c != '$'; }

// The filter as the translation writes it, and how the condition's bytes
// went into it.
struct Translation {
  std::string written;
  std::vector<size_t> writtenAt;  // where each byte's step starts in `written`; one past the end too
  std::vector<bool> code;         // the byte was translated as code
  std::vector<size_t> replaced;   // offsets of the and/or written as AND/OR
  std::string view;               // the condition as lexed (trailingBytesHidden)
};

Translation translate(std::string_view condition, ClientEncoding encoding) {
  Translation t;
  if (isWholeWord(condition, "none") || isWholeWord(condition, "")) return t;
  // Lexed on `view`, written from `condition`: a byte inside a multibyte
  // character is never an and/or, nor lower-cased.
  const std::string view = trailingBytesHidden(condition, encoding);
  std::string writtenView;
  t.written.reserve(condition.size() + condition.size() / 2);
  t.writtenAt.assign(condition.size() + 1, 0);
  t.code.assign(condition.size(), false);
  // Each piece is lexed after what has been written so far, not after the
  // condition's own bytes: " OR " ends a word where "or" did not.
  for (size_t pos = 0; pos < condition.size();) {
    t.writtenAt[pos] = t.written.size();
    const std::string_view rest = std::string_view(view).substr(pos);
    const SqlPiece piece = sqlPieceAfter(writtenView, rest);
    size_t taken = 1;
    if (piece.kind != SqlPieceKind::kCode) {
      taken = piece.len;
      t.written += condition.substr(pos, taken);
      writtenView += rest.substr(0, taken);
    } else if (startsWithFolded(rest, "and") || startsWithFolded(rest, "or")) {
      taken = startsWithFolded(rest, "and") ? 3 : 2;
      t.written += taken == 3 ? " AND " : " OR ";
      writtenView += taken == 3 ? " AND " : " OR ";
      t.replaced.push_back(pos);
    } else {
      t.written += rest[0] == condition[pos] ? asciiLower(rest[0]) : condition[pos];
      writtenView += asciiLower(rest[0]);
    }
    if (piece.kind == SqlPieceKind::kCode) {
      for (size_t i = pos; i < pos + taken; ++i) t.code[i] = true;
    }
    pos += taken;
  }
  t.writtenAt[condition.size()] = t.written.size();
  t.view = view;
  return t;
}

}  // namespace

void lowerOutsideQuotes(char* text, ClientEncoding encoding) {
  const std::string view = trailingBytesHidden(text, encoding);
  forEachPiece(view, [text, &view](size_t pos, const SqlPiece& piece) {
    // A hidden byte continues a character: it stays as it is.
    if (piece.kind == SqlPieceKind::kCode && view[pos] == text[pos]) {
      text[pos] = asciiLower(text[pos]);
    }
  });
}

bool isWholeWord(std::string_view text, std::string_view word) {
  while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
  return text.size() == word.size() && startsWithFolded(text, word);
}

size_t translateCondition(std::string_view condition, std::span<char> out,
                          ClientEncoding encoding) {
  TextBuffer filter(out);
  const Translation translation = translate(condition, encoding);
  filter.put(translation.written);
  return translation.written.size();
}

std::vector<SplitWord> splitWords(std::string_view condition, ClientEncoding encoding) {
  const Translation translation = translate(condition, encoding);
  std::vector<SplitWord> words;
  for (const size_t at : translation.replaced) {
    const auto inWord = [&](size_t pos) {
      return translation.code[pos] && isWordByte(translation.view[pos]);
    };
    size_t start = at;
    while (start > 0 && inWord(start - 1)) --start;
    size_t end = at;
    while (end < condition.size() && inWord(end)) ++end;
    const std::string_view word = condition.substr(start, end - start);
    if (isWholeWord(word, "and") || isWholeWord(word, "or")) continue;
    SplitWord split{std::string(word),
                    translation.written.substr(translation.writtenAt[start],
                                               translation.writtenAt[end] -
                                                   translation.writtenAt[start])};
    // Floor and floor are one name to the server once lower-cased.
    const bool told = std::any_of(words.begin(), words.end(), [&](const SplitWord& w) {
      return isWholeWord(w.word, folded(split.word));
    });
    if (!told) words.push_back(std::move(split));
  }
  return words;
}

void tellTranslation(std::string_view condition, std::string_view filter,
                     ClientEncoding encoding) {
  const std::vector<SplitWord> words = splitWords(condition, encoding);
  if (words.empty()) return;
  tellDetail({"the condition was sent as ", quoted(filter, kConditionSize)});
  std::string names;
  for (const SplitWord& split : words) {
    tellDetail({"the word ", quoted(split.word), " became ", quoted(split.became)});
    names += (names.empty() ? "" : ", ") + ("\"" + folded(split.word) + "\"");
  }
  tellHint({"every and/or of the condition's code becomes AND/OR, inside words too; to keep a "
              "name whole, write it in double quotes and lower case: ",
              names});
}

int unopenedBracketAt(std::string_view text) {
  int depth = 0;
  int at = -1;
  forEachPiece(text, [&](size_t pos, const SqlPiece& piece) {
    if (piece.kind != SqlPieceKind::kCode || at >= 0) return;
    if (text[pos] == '(') ++depth;
    if (text[pos] == ')' && --depth < 0) at = static_cast<int>(pos);
  });
  return at;
}

int unsureBackslashAt(std::string_view text) {
  int at = -1;
  forEachPiece(text, [&at](size_t /*pos*/, const SqlPiece& piece) {
    if (at < 0 && piece.unsureAt != std::string_view::npos) at = static_cast<int>(piece.unsureAt);
  });
  return at;
}

FieldListFault fieldListFault(std::string_view fields) {
  FieldWalk walk{fields, {}, {}, false};
  for (size_t pos = 0; pos < fields.size() && !walk.found;) {
    const SqlPiece piece = sqlPieceAt(fields, pos);
    if (piece.kind == SqlPieceKind::kCode) {
      pos += walk.code(pos);
      continue;
    }
    if (piece.kind == SqlPieceKind::kComment) walk.refuse(pos, "a comment");
    if (!piece.closed) walk.refuse(pos, "quoted text that is not closed");
    if (piece.unsureAt != std::string_view::npos) {
      walk.refuse(piece.unsureAt, "a backslash right after a byte above 127 in E'...' text");
    }
    pos += piece.len;
  }
  if (!walk.opened.empty()) walk.refuse(walk.opened.back(), "a bracket it does not close");
  return walk.fault;
}

QueryTextRefusal checkQueryText(std::string_view fields, std::string_view filter,
                                ClientEncoding encoding) {
  const auto where = [](size_t at, std::string_view text) {
    return ", at byte " + std::to_string(at + 1) + " of " + quoted(text);
  };
  if (isWholeWord(fields, "")) {
    return {fields.empty() ? "the field list is empty" : "the field list holds only blanks",
            "a field list names the columns and expressions to export, all for every column; "
            "nothing was sent"};
  }
  // Lexed with the bytes inside multibyte characters hidden; told as typed.
  const std::string fieldsView = trailingBytesHidden(fields, encoding);
  const std::string filterView = trailingBytesHidden(filter, encoding);
  if (const FieldListFault fault = fieldListFault(fieldsView); !fault.what.empty()) {
    return {"the field list holds " + fault.what + where(fault.at, fields),
            "a field list names columns and expressions of the rows only; nothing was sent"};
  }
  if (const int at = unopenedBracketAt(filterView); at >= 0) {
    return {"the condition closes a bracket it did not open" +
                where(static_cast<size_t>(at), filter),
            "a condition stays inside its own brackets; nothing was sent"};
  }
  if (const int at = unsureBackslashAt(filterView); at >= 0) {
    return {"the condition's E'...' text has a backslash right after a byte above 127" +
                where(static_cast<size_t>(at), filter),
            "the client encoding decides whether it escapes the next byte; write the text "
            "without escapes, or as U&'...'; nothing was sent"};
  }
  bool unclosed = false;
  size_t unclosedAt = 0;
  forEachPiece(filterView, [&](size_t pos, const SqlPiece& piece) {
    if (!piece.closed && !unclosed) {
      unclosed = true;
      unclosedAt = pos;
    }
  });
  if (unclosed) {
    return {"the condition's quoted text or comment is not closed" + where(unclosedAt, filter),
            "close it within the condition; nothing was sent"};
  }
  return {};
}
