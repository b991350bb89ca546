#include "commands/query_text.h"

#include "commands/sql_pieces.h"
#include "util/text.h"
#include "util/text_buffer.h"

namespace {

// Calls `step(pos, piece)` for each piece of `text`, in order.
template <typename Step>
void vdForEachPiece(std::string_view text, Step step) {
  for (size_t pos = 0; pos < text.size();) {
    const SqlPiece piece = spSqlPieceAt(text, pos);
    step(pos, piece);
    pos += piece.len;
  }
}

}  // namespace

void vdLowerOutsideQuotes(char* pszText) {
  const std::string_view text(pszText);
  vdForEachPiece(text, [pszText](size_t pos, const SqlPiece& piece) {
    if (piece.kind == SqlPieceKind::kCode) pszText[pos] = asciiLower(pszText[pos]);
  });
}

bool boIsWholeWord(std::string_view text, std::string_view word) {
  while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (asciiLower(text[i]) != word[i]) return false;
  }
  return true;
}

std::string_view svSelectList(std::string_view fields) {
  return boIsWholeWord(fields, "all") ? std::string_view("*") : fields;
}

int inTranslateCondition(const char* pszCondition, std::span<char> out) {
  TextBuffer app(out);
  const std::string_view cond(pszCondition);
  // "none", or nothing but blanks, is no filter.
  if (boIsWholeWord(cond, "none") || boIsWholeWord(cond, "")) return app.ok ? 0 : -1;

  for (size_t pos = 0; pos < cond.size() && app.ok;) {
    const SqlPiece piece = spSqlPieceAt(cond, pos);
    const std::string_view rest = cond.substr(pos);
    if (piece.kind == SqlPieceKind::kCode && rest.starts_with("and")) {
      app.put(" AND ");
      pos += 3;
    } else if (piece.kind == SqlPieceKind::kCode && rest.starts_with("or")) {
      app.put(" OR ");
      pos += 2;
    } else {
      app.put(rest.substr(0, piece.len));
      pos += piece.len;
    }
  }
  return app.ok ? 0 : -1;
}

int inUnopenedBracketAt(std::string_view filter) {
  int depth = 0;
  int at = -1;
  vdForEachPiece(filter, [&](size_t pos, const SqlPiece& piece) {
    if (piece.kind != SqlPieceKind::kCode || at >= 0) return;
    if (filter[pos] == '(') ++depth;
    if (filter[pos] == ')' && --depth < 0) at = static_cast<int>(pos);
  });
  return at;
}

bool boFilterKeepsItsBrackets(std::string_view filter) { return inUnopenedBracketAt(filter) < 0; }

int inUnsureBackslashAt(std::string_view filter) {
  int at = -1;
  vdForEachPiece(filter, [&at](size_t /*pos*/, const SqlPiece& piece) {
    if (at < 0 && piece.unsureAt != std::string_view::npos) at = static_cast<int>(piece.unsureAt);
  });
  return at;
}

int inBuildStatement(std::string_view fields, std::string_view filter, std::span<char> out) {
  TextBuffer app(out);
  app.put("SELECT ");
  app.put(fields);
  app.put(" FROM transaction WHERE transaction.datetime>=$1::timestamp"
          " AND transaction.datetime<$2::timestamp");
  if (!filter.empty()) {
    app.put(" AND (");
    app.put(filter);
    app.put(")");
  }
  return app.ok ? 0 : -1;
}

void vdPutDayParam(const DayText& day, DayParam& param) {
  TextBuffer app(param);
  app.put(sDayIso(day));
}
