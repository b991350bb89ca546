// Fuzzes the field list and condition rewriting and the SELECT statement
// built from them, down to the transaction_query handler's messages.
//
// Input: zero-separated fields, condition, date-from and date-to; missing
// ones take a harmless default. Checked for every input:
//  - lower-casing touches only ASCII letters outside quotes, and the quoted
//    text ('...' with '' inside, "...") comes out byte for byte;
//  - the translated condition has no "and"/"or" left outside quotes, and
//    taking the blanks around " AND "/" OR " back out gives the lower-cased
//    condition again; its quoted text is the input's, byte for byte;
//  - translation and statement write within their buffer: with a buffer of
//    exactly the needed size they succeed, one byte less gives -1;
//  - with the real buffer sizes the handler answers "Error - Query Too Long"
//    exactly when the condition or the statement does not fit, and goes on
//    to the settings file otherwise (there is none in the scratch directory).

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "commands/day_text.h"
#include "commands/query_text.h"
#include "commands/transaction_query.h"
#include "fuzz/fuzz_support.h"

namespace {

bool boIsQuote(char c) { return c == '\'' || c == '"'; }

// The quoted pieces of `text`, each from its opening quote up to and with its
// closing quote (or the end of the text), in order.
std::vector<std::string> vsQuotedPieces(std::string_view text) {
  std::vector<std::string> pieces;
  char quote = 0;
  for (const char c : text) {
    if (quote == 0) {
      if (boIsQuote(c)) {
        quote = c;
        pieces.emplace_back(1, c);
      }
    } else {
      pieces.back().push_back(c);
      if (c == quote) quote = 0;
    }
  }
  return pieces;
}

// For each byte of `text`, whether it lies inside quotes (the quotes included).
std::vector<bool> vbInsideQuotes(std::string_view text) {
  std::vector<bool> inside(text.size());
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (quote == 0) {
      if (boIsQuote(text[i])) quote = text[i];
      inside[i] = quote != 0;
    } else {
      inside[i] = true;
      if (text[i] == quote) quote = 0;
    }
  }
  return inside;
}

char chLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool boBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// `text` without blanks around it equals `word` ignoring ASCII case.
bool boWordModel(std::string_view text, std::string_view word) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && boBlank(text[b])) ++b;
  while (e > b && boBlank(text[e - 1])) --e;
  if (e - b != word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (chLower(text[b + i]) != word[i]) return false;
  }
  return true;
}

// Lower-cases through the library and checks the result against the input.
std::string sLowered(const std::string& original) {
  std::vector<char> text = vcMutable(original);
  vdLowerOutsideQuotes(text.data());
  std::string lowered(text.data());
  FUZZ_CHECK(lowered.size() == original.size());
  const std::vector<bool> inside = vbInsideQuotes(original);
  for (size_t i = 0; i < original.size(); ++i) {
    FUZZ_CHECK(lowered[i] == (inside[i] ? original[i] : chLower(original[i])));
  }
  return lowered;
}

// Undoes the translation outside quotes: " AND " back to "and", " OR " back
// to "or". Upper-case letters outside quotes can only come from those.
std::string sUntranslated(std::string_view filter) {
  const std::vector<bool> inside = vbInsideQuotes(filter);
  std::string back;
  for (size_t i = 0; i < filter.size(); ++i) {
    const std::string_view rest = filter.substr(i);
    if (!inside[i] && (rest.starts_with("AND ") || rest.starts_with("OR "))) {
      FUZZ_CHECK(!back.empty() && back.back() == ' ');
      back.pop_back();
      const bool isAnd = rest[0] == 'A';
      back += isAnd ? "and" : "or";
      i += isAnd ? 3 : 2;  // the word and its trailing blank
      continue;
    }
    FUZZ_CHECK(inside[i] || !(filter[i] >= 'A' && filter[i] <= 'Z'));
    back.push_back(filter[i]);
  }
  return back;
}

// Translates into a buffer of exactly `size` bytes on the heap, so that a
// write past it is caught. Returns the status and the text.
int inTranslateInto(const std::string& condition, size_t size, std::string& filter) {
  std::vector<char> out(size, 'x');
  const int rc = inTranslateCondition(condition.c_str(), out);
  if (rc == 0) {
    filter = std::string(out.data(), strnlen(out.data(), out.size()));
    FUZZ_CHECK(filter.size() < size);
  }
  return rc;
}

int inStatementInto(std::string_view fields, std::string_view filter, const DayText& first,
                    const DayText& end, size_t size, std::string& statement) {
  std::vector<char> out(size, 'x');
  const int rc = inBuildStatement(fields, filter, first, end, out);
  if (rc == 0) {
    statement = std::string(out.data(), strnlen(out.data(), out.size()));
    FUZZ_CHECK(statement.size() < size);
  }
  return rc;
}

std::string sMidnight(const DayText& day) {
  const std::string d(day.data(), 8);
  return "TIMESTAMP'" + d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) + " 00:00:00'";
}

// Checks the translation of `lowered` and returns it.
std::string sCheckedFilter(const std::string& lowered) {
  // "or" grows to " OR ", twice its length: three times is always enough.
  std::string filter;
  FUZZ_CHECK(inTranslateInto(lowered, 3 * lowered.size() + 1, filter) == 0);
  if (boWordModel(lowered, "none") || boWordModel(lowered, "")) {
    FUZZ_CHECK(filter.empty());
    return filter;
  }
  const std::vector<bool> inside = vbInsideQuotes(filter);
  for (size_t i = 0; i < filter.size(); ++i) {
    const std::string_view rest = std::string_view(filter).substr(i);
    FUZZ_CHECK(inside[i] || !(rest.starts_with("and") || rest.starts_with("or")));
  }
  FUZZ_CHECK(sUntranslated(filter) == lowered);
  FUZZ_CHECK(vsQuotedPieces(filter) == vsQuotedPieces(lowered));

  // The bound: exactly enough room works, one byte less is refused.
  std::string again;
  FUZZ_CHECK(inTranslateInto(lowered, filter.size() + 1, again) == 0 && again == filter);
  FUZZ_CHECK(inTranslateInto(lowered, filter.size(), again) == -1);
  return filter;
}

void vdCheckStatement(std::string_view select, std::string_view filter, const DayText& first,
                      const DayText& end) {
  std::string expected = "SELECT " + std::string(select) + " FROM transaction WHERE ";
  if (!filter.empty()) expected += "(" + std::string(filter) + ") AND ";
  expected += "transaction.datetime>=" + sMidnight(first) + " AND transaction.datetime<" +
              sMidnight(end);

  std::string statement;
  FUZZ_CHECK(inStatementInto(select, filter, first, end, expected.size() + 1, statement) == 0);
  FUZZ_CHECK(statement == expected);
  FUZZ_CHECK(inStatementInto(select, filter, first, end, expected.size(), statement) == -1);
  const int rc = inStatementInto(select, filter, first, end, kStatementSize, statement);
  FUZZ_CHECK(rc == (expected.size() < size_t{kStatementSize} ? 0 : -1));
}

// The handler's message for the arguments, from the lengths alone.
std::string sExpectedMessage(bool fromOk, bool toOk, size_t filterLen, size_t statementLen) {
  if (!fromOk) return "Error - Date From Invalid";
  if (!toOk) return "Error - Date To Invalid";
  if (filterLen >= size_t{kConditionSize} || statementLen >= size_t{kStatementSize}) {
    return "Error - Query Too Long";
  }
  return "Error - Open DB Config File Failed";
}

size_t inStatementLength(std::string_view select, std::string_view filter) {
  // "SELECT " f " FROM transaction WHERE " ["(" c ") AND "] and the two bounds.
  constexpr size_t kBounds = std::string_view(
      "transaction.datetime>=TIMESTAMP'2024-01-01 00:00:00' AND "
      "transaction.datetime<TIMESTAMP'2024-01-02 00:00:00'").size();
  size_t len = 7 + select.size() + 24 + kBounds;
  if (!filter.empty()) len += filter.size() + 7;
  return len;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  vdEnterScratchDir({});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* pbData, size_t size) {
  std::vector<std::string> args = vsArguments(pbData, size);
  const char* defaults[] = {"id", "none", "20240101", "20240131"};
  for (size_t i = args.size(); i < 4; ++i) args.emplace_back(defaults[i]);
  const std::string& fields = args[0];
  const std::string& condition = args[1];

  const std::string loweredFields = sLowered(fields);
  FUZZ_CHECK(vsQuotedPieces(loweredFields) == vsQuotedPieces(fields));
  const std::string_view select = svSelectList(loweredFields);
  FUZZ_CHECK(select == (boWordModel(fields, "all") ? std::string_view("*")
                                                    : std::string_view(loweredFields)));

  const std::string loweredCondition = sLowered(condition);
  FUZZ_CHECK(vsQuotedPieces(loweredCondition) == vsQuotedPieces(condition));
  const std::string filter = sCheckedFilter(loweredCondition);

  DayText from{};
  DayText to{};
  DayText end{};
  const bool fromOk = inParseDayArg(args[2].c_str(), from) == 0;
  const bool toOk = inParseDayArg(args[3].c_str(), to) == 0;
  if (!fromOk) FUZZ_CHECK(inParseDayArg("20240101", from) == 0);
  if (!toOk) FUZZ_CHECK(inParseDayArg("20240131", to) == 0);
  vdDayAfter(to, end);
  vdCheckStatement(select, filter, from, end);

  // The handler, editions 2.1 and 2.0, on copies of the arguments.
  std::vector<char> f = vcMutable(fields);
  std::vector<char> c = vcMutable(condition);
  std::vector<char> d1 = vcMutable(args[2]);
  std::vector<char> d2 = vcMutable(args[3]);
  const std::string message = sCaptureStdout([&] {
    vdTransactionQuery(f.data(), c.data(), d1.data(), d2.data(), 0, 0);
  });
  FUZZ_CHECK(message == sExpectedMessage(fromOk, toOk, filter.size(),
                                         inStatementLength(select, filter)));
  f = vcMutable(fields);
  d1 = vcMutable(args[2]);
  const std::string message20 =
      sCaptureStdout([&] { vdTransactionQuery(f.data(), d1.data(), d2.data(), 0, 0); });
  FUZZ_CHECK(message20 == sExpectedMessage(fromOk, toOk, 0, inStatementLength(select, "")));
  return 0;
}
