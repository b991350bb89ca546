#include "commands/query_text.h"


#include "util/text.h"
#include "util/text_buffer.h"

namespace {

// Quote state after character `c`: 0 outside quotes, else the open quote.
// A doubled quote inside quotes ('it''s') closes and reopens, which leaves
// every character between the outer quotes inside.
char chQuoteAfter(char quote, char c) {
  if (quote == 0) return (c == '\'' || c == '"') ? c : '\0';
  return c == quote ? '\0' : quote;
}

// "YYYYMMDD" as the SQL timestamp text "YYYY-MM-DD 00:00:00".
void vdPutMidnight(TextBuffer& app, const DayText& day) {
  const std::string_view d(day.data(), 8);
  app.vdPut("TIMESTAMP'");
  app.vdPut(d.substr(0, 4));
  app.vdPut("-");
  app.vdPut(d.substr(4, 2));
  app.vdPut("-");
  app.vdPut(d.substr(6, 2));
  app.vdPut(" 00:00:00'");
}

}  // namespace

void vdLowerOutsideQuotes(char* pszText) {
  char quote = 0;
  for (char* p = pszText; *p != '\0'; ++p) {
    if (quote == 0) *p = chAsciiLower(*p);
    quote = chQuoteAfter(quote, *p);
  }
}

bool boIsWholeWord(std::string_view text, std::string_view word) {
  while (!text.empty() && boIsAsciiSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && boIsAsciiSpace(text.back())) text.remove_suffix(1);
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (chAsciiLower(text[i]) != word[i]) return false;
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

  char quote = 0;
  for (size_t i = 0; i < cond.size() && app.ok;) {
    if (quote == 0 && cond.substr(i).starts_with("and")) {
      app.vdPut(" AND ");
      i += 3;
    } else if (quote == 0 && cond.substr(i).starts_with("or")) {
      app.vdPut(" OR ");
      i += 2;
    } else {
      app.vdPut(cond.substr(i, 1));
      quote = chQuoteAfter(quote, cond[i]);
      ++i;
    }
  }
  return app.ok ? 0 : -1;
}

int inBuildStatement(std::string_view fields, std::string_view filter, const DayText& firstDay,
                     const DayText& endDay, std::span<char> out) {
  TextBuffer app(out);
  app.vdPut("SELECT ");
  app.vdPut(fields);
  app.vdPut(" FROM transaction WHERE ");
  if (!filter.empty()) {
    app.vdPut("(");
    app.vdPut(filter);
    app.vdPut(") AND ");
  }
  app.vdPut("transaction.datetime>=");
  vdPutMidnight(app, firstDay);
  app.vdPut(" AND transaction.datetime<");
  vdPutMidnight(app, endDay);
  return app.ok ? 0 : -1;
}
