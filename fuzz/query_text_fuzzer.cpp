// Fuzzes the field list and condition rewriting, the bracket check and the
// SELECT statement built from them, down to the transaction_query handler's
// messages.
//
// Input: zero-separated fields, condition, date-from and date-to; missing
// ones take a harmless default. A lexer model of its own (vmModelMarks, one
// state per kind of text, written apart from commands/sql_pieces.cpp) says
// which bytes are code, quoted text or comment. Checked for every input:
//  - lower-casing touches only the ASCII letters of the code, and leaves
//    every byte of quoted text and comments as it was (and so the model
//    splits the lowered text the same way);
//  - the translated condition is the condition with its code lower-cased and
//    every "and"/"or" that starts in its code replaced by " AND "/" OR ",
//    where the model reads what is code off the text as it stands after each
//    replacement (the server reads the filter, not the condition): quoted
//    text and comments of the filter are the condition's bytes, unchanged;
//  - the bracket check (unopenedBracketAt) agrees with the model, which
//    looks for the first ')' of the code that closes below depth 0, on the
//    translated filter and on the raw arguments, and so does
//    unsureBackslashAt, for a backslash after a byte above 127 in E'';
//  - a field list that fieldListFault lets through has, by the model, no
//    comment, no quoted text left open, no ';', balanced brackets and no
//    clause word (from, union, ...) at depth 0;
//  - translation and statement write within their buffer: with a buffer of
//    exactly the needed size they succeed, one byte less gives -1; the
//    statement is the expected text, and the day parameters read YYYY-MM-DD;
//  - the handler (editions 2.1 and 2.0) answers the date errors first, then
//    Outcome::kQueryTooLong exactly when the filter or the statement does
//    not fit, then Outcome::kInvalidSql when the model sees the
//    filter close a bracket it did not open or an unsure backslash, and
//    otherwise goes on to the
//    settings file (there is none in the scratch directory); for the
//    refusals that come from lengths and brackets, it tells on standard
//    error the length or the byte the model expects.

#include <array>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "commands/days.h"
#include "commands/condition.h"
#include "commands/statement.h"
#include "commands/transaction_query.h"
#include "fuzz/fuzz_support.h"

namespace {

enum class Mark : unsigned char { kCode, kQuoted, kComment };

bool boHigh(char c) { return static_cast<unsigned char>(c) > 127; }
bool boLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool boDigit(char c) { return c >= '0' && c <= '9'; }
bool boNewline(char c) { return c == '\n' || c == '\r'; }
bool boBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Bytes of a word: an identifier, a keyword, a number or a $1 parameter.
bool boWordByte(char c) { return boLetter(c) || boDigit(c) || boHigh(c) || c == '_' || c == '$'; }

// The dollar-quote delimiter ($$ or $tag$) that `s` starts with, or "".
std::string_view svDollarTag(std::string_view s) {
  if (s.empty() || s[0] != '$') return {};
  size_t n = 1;
  while (n < s.size() && (boLetter(s[n]) || boHigh(s[n]) || s[n] == '_' ||
                          (n > 1 && boDigit(s[n])))) {
    ++n;
  }
  return n < s.size() && s[n] == '$' ? s.substr(0, n + 1) : std::string_view{};
}

char chLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the model is in a text: the kind of text each next byte belongs to.
enum class St { kCode, kQuote, kEQuote, kDQuote, kDollar, kLine, kBlock, kGap };

// The model's walk over one text, a byte or a few at a time.
struct ModelWalk {
  std::string_view s;
  std::vector<Mark> mark;
  // afterWord[i]: byte i goes on a word (s[i - 1] is a word byte), so that an
  // E or U there is no prefix; afterName[i]: that word has a byte other than
  // a digit, so that a '$' there is part of a name and opens no dollar quote.
  std::vector<char> afterWord;
  std::vector<char> afterName;
  size_t i = 0;
  St st = St::kCode;
  St reopen = St::kQuote;   // kGap: the kind of '...' text that may go on
  bool gapNewline = false;  // kGap: a line break since the closing quote
  int depth = 0;            // kBlock: comments open
  std::string_view tag;     // kDollar: the closing delimiter
  int unsureAt = -1;        // the first backslash after a byte above 127 in E'...'
};

// The byte `k` bytes on from the walk's position, or 0 past the end (the
// texts hold no zero byte).
char chAhead(const ModelWalk& w, size_t k) { return w.i + k < w.s.size() ? w.s[w.i + k] : '\0'; }

// Marks the next `n` bytes (fewer at the end of the text) and goes on in `st`.
void vdTake(ModelWalk& w, size_t n, Mark m, St st) {
  for (size_t k = w.i; k < w.i + n && k < w.s.size(); ++k) w.mark[k] = m;
  w.i += n;
  w.st = st;
}

void vdStepCode(ModelWalk& w) {
  const char c = w.s[w.i];
  const char next = chAhead(w, 1);
  const bool wordStart = w.afterWord[w.i] == 0;
  const std::string_view tag = w.afterName[w.i] == 0 ? svDollarTag(w.s.substr(w.i)) : "";
  if (c == '-' && next == '-') {
    vdTake(w, 2, Mark::kComment, St::kLine);
  } else if (c == '/' && next == '*') {
    w.depth = 1;
    vdTake(w, 2, Mark::kComment, St::kBlock);
  } else if (c == '\'' || c == '"') {
    vdTake(w, 1, Mark::kQuoted, c == '"' ? St::kDQuote : St::kQuote);
  } else if (wordStart && chLower(c) == 'e' && next == '\'') {
    vdTake(w, 2, Mark::kQuoted, St::kEQuote);
  } else if (wordStart && chLower(c) == 'u' && next == '&' &&
             (chAhead(w, 2) == '\'' || chAhead(w, 2) == '"')) {
    vdTake(w, 3, Mark::kQuoted, chAhead(w, 2) == '"' ? St::kDQuote : St::kQuote);
  } else if (!tag.empty()) {
    w.tag = tag;
    vdTake(w, tag.size(), Mark::kQuoted, St::kDollar);
  } else {
    vdTake(w, 1, Mark::kCode, St::kCode);
  }
}

// '...', U&'...', E'...', "..." and U&"...", where a doubled quote stands
// for itself. In E'...' a backslash takes the next byte, unless it may be the
// second byte of a character that a byte above 127 starts.
void vdStepQuote(ModelWalk& w) {
  const char c = w.s[w.i];
  const char quote = w.st == St::kDQuote ? '"' : '\'';
  if (w.st == St::kEQuote && c == '\\' && boHigh(w.s[w.i - 1]) && w.unsureAt < 0) {
    w.unsureAt = static_cast<int>(w.i);
  }
  if ((w.st == St::kEQuote && c == '\\' && !boHigh(w.s[w.i - 1])) ||
      (c == quote && chAhead(w, 1) == quote)) {
    vdTake(w, 2, Mark::kQuoted, w.st);
  } else if (c == quote) {
    w.reopen = w.st;
    w.gapNewline = false;
    vdTake(w, 1, Mark::kQuoted, quote == '"' ? St::kCode : St::kGap);
  } else {
    vdTake(w, 1, Mark::kQuoted, w.st);
  }
}

// After a closing ' the server goes on with the same text when only blanks
// and -- comments, a line break among them, come before the next ':
// E'a'<newline>'\'' is one text, with its escapes.
void vdStepGap(ModelWalk& w) {
  const char c = w.s[w.i];
  if (boBlank(c)) {
    w.gapNewline = w.gapNewline || boNewline(c);
    vdTake(w, 1, Mark::kCode, St::kGap);
  } else if (c == '-' && chAhead(w, 1) == '-') {
    size_t n = 0;
    while (chAhead(w, n) != '\0' && !boNewline(chAhead(w, n))) ++n;
    vdTake(w, n, Mark::kComment, St::kGap);
  } else if (c == '\'' && w.gapNewline) {
    vdTake(w, 1, Mark::kQuoted, w.reopen);
  } else {
    w.st = St::kCode;
  }
}

void vdStepBlock(ModelWalk& w) {
  const char c = w.s[w.i];
  const char next = chAhead(w, 1);
  if ((c == '/' && next == '*') || (c == '*' && next == '/')) {
    w.depth += c == '/' ? 1 : -1;
    vdTake(w, 2, Mark::kComment, w.depth == 0 ? St::kCode : St::kBlock);
  } else {
    vdTake(w, 1, Mark::kComment, St::kBlock);
  }
}

void vdStep(ModelWalk& w) {
  const char c = w.s[w.i];
  switch (w.st) {
    case St::kCode: vdStepCode(w); break;
    case St::kQuote:
    case St::kEQuote:
    case St::kDQuote: vdStepQuote(w); break;
    case St::kGap: vdStepGap(w); break;
    case St::kBlock: vdStepBlock(w); break;
    case St::kDollar:
      if (w.s.substr(w.i).starts_with(w.tag)) {
        vdTake(w, w.tag.size(), Mark::kQuoted, St::kCode);
      } else {
        vdTake(w, 1, Mark::kQuoted, St::kDollar);
      }
      break;
    case St::kLine:
      // The line break ends the comment and is code.
      if (boNewline(c)) {
        w.st = St::kCode;
      } else {
        vdTake(w, 1, Mark::kComment, St::kLine);
      }
      break;
  }
}

// The model's walk over all of `s`: for each byte, what PostgreSQL's lexer
// makes of it, read the cautious way the tool reads it (see
// commands/sql_pieces.h).
ModelWalk wkModelWalk(std::string_view s) {
  ModelWalk w;
  w.s = s;
  w.mark.assign(s.size(), Mark::kCode);
  w.afterWord.assign(s.size() + 1, 0);
  w.afterName.assign(s.size() + 1, 0);
  for (size_t i = 0; i < s.size(); ++i) {
    const bool word = boWordByte(s[i]);
    w.afterWord[i + 1] = word ? 1 : 0;
    w.afterName[i + 1] = word && (w.afterName[i] != 0 || !boDigit(s[i])) ? 1 : 0;
  }
  while (w.i < s.size()) vdStep(w);
  return w;
}

std::vector<Mark> vmModelMarks(std::string_view s) { return wkModelWalk(s).mark; }

// Where the model sees the first ')' of the code that closes below depth 0,
// or -1 when there is none.
int inModelUnopenedBracketAt(std::string_view s) {
  const std::vector<Mark> mark = vmModelMarks(s);
  int depth = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (mark[i] != Mark::kCode) continue;
    if (s[i] == '(') ++depth;
    if (s[i] == ')' && --depth < 0) return static_cast<int>(i);
  }
  return -1;
}

// The bracket check, both ways it is asked, against the model.
void vdCheckBrackets(std::string_view s) {
  const int at = inModelUnopenedBracketAt(s);
  FUZZ_CHECK(unopenedBracketAt(s) == at);
  FUZZ_CHECK(unsureBackslashAt(s) == wkModelWalk(s).unsureAt);
}

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

// Lower-cases through the library and checks the result against the model.
std::string sLowered(const std::string& original) {
  std::vector<char> text = vcMutable(original);
  lowerOutsideQuotes(text.data());
  std::string lowered(text.data());
  FUZZ_CHECK(lowered.size() == original.size());
  const std::vector<Mark> mark = vmModelMarks(original);
  for (size_t i = 0; i < original.size(); ++i) {
    FUZZ_CHECK(lowered[i] == (mark[i] == Mark::kCode ? chLower(original[i]) : original[i]));
  }
  FUZZ_CHECK(vmModelMarks(lowered) == mark);
  return lowered;
}

// True when `text` starts with the lower-case `word` in any case.
bool boStartsFolded(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (chLower(text[i]) != word[i]) return false;
  }
  return true;
}

// True when the model's walk over `s` ends inside quoted text or a /* comment.
bool boModelUnclosed(std::string_view s) {
  const St st = wkModelWalk(s).st;
  return st == St::kQuote || st == St::kEQuote || st == St::kDQuote || st == St::kDollar ||
         st == St::kBlock;
}

// The filter the model expects: the code lower-cased, every "and"/"or" that
// starts in the code replaced; after each replacement the whole text, as it
// then stands, is walked again to tell code from quoted text.
std::string sModelFilter(std::string_view condition) {
  if (boWordModel(condition, "none") || boWordModel(condition, "")) return {};
  std::string text(condition);
  std::vector<Mark> mark = vmModelMarks(text);
  for (size_t i = 0; i < text.size();) {
    if (mark[i] != Mark::kCode) {
      ++i;
      continue;
    }
    const std::string_view rest = std::string_view(text).substr(i);
    const bool isAnd = boStartsFolded(rest, "and");
    if (!isAnd && !boStartsFolded(rest, "or")) {
      text[i] = chLower(text[i]);
      ++i;
      continue;
    }
    const std::string_view word = isAnd ? " AND " : " OR ";
    text.replace(i, isAnd ? 3 : 2, word);
    i += word.size();
    mark = vmModelMarks(text);
  }
  return text;
}

// Translates into a buffer of exactly `size` bytes on the heap, so that a
// write past it is caught. Returns the length and, when it fits, the text.
size_t inTranslateInto(const std::string& condition, size_t size, std::string& filter) {
  std::vector<char> out(size, 'x');
  const size_t length = translateCondition(condition, out);
  if (length < size) {
    filter = std::string(out.data(), strnlen(out.data(), out.size()));
    FUZZ_CHECK(filter.size() == length);
  }
  return length;
}

size_t inStatementInto(std::string_view fields, std::string_view filter, Day first, Day after,
                       size_t size, std::string& statement) {
  std::vector<char> out(size, 'x');
  const size_t length = buildStatement(fields, filter, first, after, out);
  if (length < size) {
    statement = std::string(out.data(), strnlen(out.data(), out.size()));
    FUZZ_CHECK(statement.size() == length);
  }
  return length;
}

// Conditions longer than this are translated by the library alone: the
// model walks the whole text again after every replacement.
constexpr size_t kModelConditionLimit = 4096;

// Checks the translation of `condition` and returns it.
std::string sCheckedFilter(const std::string& condition) {
  // "or" grows to " OR ", twice its length: three times is always enough.
  std::string filter;
  const size_t length = inTranslateInto(condition, 3 * condition.size() + 1, filter);
  FUZZ_CHECK(length == filter.size());
  if (condition.size() <= kModelConditionLimit) FUZZ_CHECK(filter == sModelFilter(condition));
  vdCheckBrackets(filter);

  // The bound: exactly enough room works, one byte less is refused.
  std::string again;
  FUZZ_CHECK(inTranslateInto(condition, filter.size() + 1, again) == length && again == filter);
  FUZZ_CHECK(inTranslateInto(condition, filter.size(), again) == length);
  return filter;
}

// The words that end a select list.
constexpr std::string_view kClauseWords[] = {"from",  "where",  "union", "intersect", "except",
                                             "group", "having", "window", "order",    "limit",
                                             "offset", "fetch", "for",   "into"};

// A field list that fieldListFault accepts, checked against the model.
void vdCheckFieldList(std::string_view fields) {
  if (!fieldListFault(fields).what.empty()) return;
  const std::vector<Mark> mark = vmModelMarks(fields);
  FUZZ_CHECK(!boModelUnclosed(fields));
  int depth = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    FUZZ_CHECK(mark[i] != Mark::kComment);
    if (mark[i] != Mark::kCode) continue;
    FUZZ_CHECK(fields[i] != ';');
    if (fields[i] == '(') ++depth;
    if (fields[i] == ')') --depth;
    FUZZ_CHECK(depth >= 0);
    if (depth > 0 || (i > 0 && boWordByte(fields[i - 1]))) continue;
    const std::string_view rest = fields.substr(i);
    for (const std::string_view word : kClauseWords) {
      FUZZ_CHECK(!boStartsFolded(rest, word) ||
                 (rest.size() > word.size() && boWordByte(rest[word.size()])));
    }
  }
  FUZZ_CHECK(depth == 0);
}

// The statement of the chunk from `first` up to, not including, `after`.
std::string sModelStatement(std::string_view select, std::string_view filter, Day first,
                            Day after) {
  const auto iso = [](Day day) {
    const std::string d = argumentText(day);
    return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
  };
  std::string text = "COPY (SELECT " + std::string(select) +
                     " FROM transaction WHERE transaction.datetime>='" + iso(first) +
                     "' AND transaction.datetime<'" + iso(after) + "'";
  if (!filter.empty()) text += " AND (" + std::string(filter) + "\n)";
  return text + ") TO STDOUT WITH (DELIMITER '|')";
}

void vdCheckStatement(std::string_view select, std::string_view filter, Day first, Day after) {
  const std::string expected = sModelStatement(select, filter, first, after);
  std::string statement;
  FUZZ_CHECK(inStatementInto(select, filter, first, after, expected.size() + 1, statement) ==
             expected.size());
  FUZZ_CHECK(statement == expected);
  FUZZ_CHECK(inStatementInto(select, filter, first, after, expected.size(), statement) ==
             expected.size());
}

// Any day: every chunk's statement is as long as any other's.
constexpr Day kSomeDay{std::chrono::year{2024} / 1 / 1};

// "the statement would be 10300 bytes, 61 more than the 10239 it may have".
std::string sTooLong(std::string_view what, size_t length, size_t bufferSize) {
  const size_t limit = bufferSize - 1;
  return "lumettool: error: " + std::string(what) + " would be " + std::to_string(length) +
         " bytes, " + std::to_string(length - limit) + " more than the " +
         std::to_string(limit) + " it may have\n";
}

// The handler's message for the arguments, from the lengths and the filter,
// and for the refusals that come from them, the reason it tells before.
std::pair<Outcome, std::string> psExpectedOutcome(bool fromOk, bool toOk,
                                                      std::string_view select,
                                                      std::string_view filter) {
  if (!fromOk) return {Outcome::kDateFromInvalid, ""};
  if (!toOk) return {Outcome::kDateToInvalid, ""};
  if (filter.size() >= kConditionSize) {
    return {Outcome::kQueryTooLong,
            sTooLong("the condition, rewritten,", filter.size(), kConditionSize)};
  }
  if (!fieldListFault(select).what.empty()) {
    return {Outcome::kInvalidSql, "lumettool: error: the field list holds "};
  }
  if (const int at = inModelUnopenedBracketAt(filter); at >= 0) {
    return {Outcome::kInvalidSql,
            "lumettool: error: the condition closes a bracket it did not open, at byte " +
                std::to_string(at + 1) + " of '"};
  }
  if (const int at = wkModelWalk(filter).unsureAt; at >= 0) {
    return {Outcome::kInvalidSql,
            "lumettool: error: the condition's E'...' text has a backslash right after a byte "
            "above 127, at byte " + std::to_string(at + 1) + " of '"};
  }
  if (boModelUnclosed(filter)) {
    return {Outcome::kInvalidSql,
            "lumettool: error: the condition's quoted text or comment is not closed"};
  }
  if (const size_t len = sModelStatement(select, filter, kSomeDay, kSomeDay).size();
      len >= kStatementSize) {
    return {Outcome::kQueryTooLong, sTooLong("the statement", len, kStatementSize)};
  }
  return {Outcome::kOpenConfigFailed, ""};
}

// Runs the handler, edition 2.1 with a condition or 2.0 without, on copies
// of the arguments and checks its message and reason.
void vdCheckHandler(const std::vector<std::string>& args, bool withCondition,
                    const std::pair<Outcome, std::string>& expected) {
  std::vector<char> f = vcMutable(args[0]);
  std::vector<char> c = vcMutable(args[1]);
  std::vector<char> d1 = vcMutable(args[2]);
  std::vector<char> d2 = vcMutable(args[3]);
  std::string told;
  Outcome outcome = Outcome::kPrinted;
  const std::string printed = sCaptureStdout(
      [&] {
        outcome = withCondition
                      ? vdTransactionQuery(f.data(), c.data(), d1.data(), d2.data(), 0, 0)
                      : vdTransactionQuery(f.data(), d1.data(), d2.data(), 0, 0);
      },
      &told);
  FUZZ_CHECK(outcome == expected.first && printed.empty());
  FUZZ_CHECK(told.find(expected.second) != std::string::npos);
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
  vdCheckBrackets(fields);
  vdCheckBrackets(condition);

  const std::string loweredFields = sLowered(fields);
  const std::string_view select = selectList(loweredFields);
  vdCheckFieldList(select);
  FUZZ_CHECK(select == (boWordModel(fields, "all") ? std::string_view("*")
                                                    : std::string_view(loweredFields)));
  (void)sLowered(condition);
  const std::string filter = sCheckedFilter(condition);

  const DayArg from = parseDayArg(args[2].c_str());
  const DayArg to = parseDayArg(args[3].c_str());
  const bool fromOk = from.fault.empty();
  const bool toOk = to.fault.empty();
  if (fromOk && toOk) vdCheckStatement(select, filter, from.day, to.day + std::chrono::days{1});

  vdCheckHandler(args, true, psExpectedOutcome(fromOk, toOk, select, filter));
  vdCheckHandler(args, false, psExpectedOutcome(fromOk, toOk, select, ""));
  return 0;
}
