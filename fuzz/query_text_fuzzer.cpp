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
//  - the translated condition is the lowered one with every "and"/"or" that
//    starts in its code replaced by " AND "/" OR " and everything else copied:
//    no "and"/"or" is left in the code, taking the blanks back out gives the
//    lowered condition, and quoted text and comments come through unchanged;
//  - the bracket check (boFilterKeepsItsBrackets, inUnopenedBracketAt) agrees
//    with the model, which looks for the first ')' of the code that closes
//    below depth 0, on the translated filter and on the raw arguments, and so
//    does inUnsureBackslashAt, for a backslash after a byte above 127 in E'';
//  - translation and statement write within their buffer: with a buffer of
//    exactly the needed size they succeed, one byte less gives -1; the
//    statement is the expected text, and the day parameters read YYYY-MM-DD;
//  - the handler (editions 2.1 and 2.0) answers the date errors first, then
//    kQueryTooLong exactly when the filter or the statement does
//    not fit, then kInvalidSql when the model sees the
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

#include "commands/day_text.h"
#include "commands/query_text.h"
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
  FUZZ_CHECK(inUnopenedBracketAt(s) == at);
  FUZZ_CHECK(boFilterKeepsItsBrackets(s) == (at < 0));
  FUZZ_CHECK(inUnsureBackslashAt(s) == wkModelWalk(s).unsureAt);
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
  vdLowerOutsideQuotes(text.data());
  std::string lowered(text.data());
  FUZZ_CHECK(lowered.size() == original.size());
  const std::vector<Mark> mark = vmModelMarks(original);
  for (size_t i = 0; i < original.size(); ++i) {
    FUZZ_CHECK(lowered[i] == (mark[i] == Mark::kCode ? chLower(original[i]) : original[i]));
  }
  FUZZ_CHECK(vmModelMarks(lowered) == mark);
  return lowered;
}

// The filter the model expects for a lowered condition.
std::string sModelFilter(std::string_view lowered) {
  if (boWordModel(lowered, "none") || boWordModel(lowered, "")) return {};
  const std::vector<Mark> mark = vmModelMarks(lowered);
  std::string filter;
  for (size_t i = 0; i < lowered.size();) {
    const std::string_view rest = lowered.substr(i);
    if (mark[i] == Mark::kCode && rest.starts_with("and")) {
      filter += " AND ";
      i += 3;
    } else if (mark[i] == Mark::kCode && rest.starts_with("or")) {
      filter += " OR ";
      i += 2;
    } else {
      filter += lowered[i++];
    }
  }
  return filter;
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

int inStatementInto(std::string_view fields, std::string_view filter, size_t size,
                    std::string& statement) {
  std::vector<char> out(size, 'x');
  const int rc = inBuildStatement(fields, filter, out);
  if (rc == 0) {
    statement = std::string(out.data(), strnlen(out.data(), out.size()));
    FUZZ_CHECK(statement.size() < size);
  }
  return rc;
}

// Checks the translation of `lowered` and returns it.
std::string sCheckedFilter(const std::string& lowered) {
  // "or" grows to " OR ", twice its length: three times is always enough.
  std::string filter;
  FUZZ_CHECK(inTranslateInto(lowered, 3 * lowered.size() + 1, filter) == 0);
  FUZZ_CHECK(filter == sModelFilter(lowered));
  vdCheckBrackets(filter);

  // The bound: exactly enough room works, one byte less is refused.
  std::string again;
  FUZZ_CHECK(inTranslateInto(lowered, filter.size() + 1, again) == 0 && again == filter);
  FUZZ_CHECK(inTranslateInto(lowered, filter.size(), again) == -1);
  return filter;
}

// The statement's text; every chunk runs it with its own two days.
std::string sModelStatement(std::string_view select, std::string_view filter) {
  std::string text = "SELECT " + std::string(select) +
                     " FROM transaction WHERE transaction.datetime>=$1::timestamp"
                     " AND transaction.datetime<$2::timestamp";
  if (!filter.empty()) text += " AND (" + std::string(filter) + ")";
  return text;
}

void vdCheckStatement(std::string_view select, std::string_view filter) {
  const std::string expected = sModelStatement(select, filter);
  std::string statement;
  FUZZ_CHECK(inStatementInto(select, filter, expected.size() + 1, statement) == 0);
  FUZZ_CHECK(statement == expected);
  FUZZ_CHECK(inStatementInto(select, filter, expected.size(), statement) == -1);
  const int rc = inStatementInto(select, filter, kStatementSize, statement);
  FUZZ_CHECK(rc == (expected.size() < size_t{kStatementSize} ? 0 : -1));
}

void vdCheckDayParam(const DayText& day) {
  DayParam param;
  param.fill('x');
  vdPutDayParam(day, param);
  const std::string d(day.data(), 8);
  FUZZ_CHECK(std::string(param.data(), param.size()) ==
             d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) + '\0');
}

// "the statement would be 10300 bytes, 61 more than the 10239 it may have".
std::string sTooLong(std::string_view what, size_t length, int inBufferSize) {
  const size_t limit = static_cast<size_t>(inBufferSize) - 1;
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
  if (filter.size() >= size_t{kConditionSize}) {
    return {Outcome::kQueryTooLong,
            sTooLong("the condition, rewritten,", filter.size(), kConditionSize)};
  }
  if (const size_t len = sModelStatement(select, filter).size(); len >= size_t{kStatementSize}) {
    return {Outcome::kQueryTooLong, sTooLong("the statement", len, kStatementSize)};
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
  Outcome outcome = Outcome::kSuccess;
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
  const std::string_view select = svSelectList(loweredFields);
  FUZZ_CHECK(select == (boWordModel(fields, "all") ? std::string_view("*")
                                                    : std::string_view(loweredFields)));
  const std::string filter = sCheckedFilter(sLowered(condition));
  vdCheckStatement(select, filter);

  DayText from{};
  DayText to{};
  const bool fromOk = inParseDayArg(args[2].c_str(), from) == 0;
  const bool toOk = inParseDayArg(args[3].c_str(), to) == 0;
  if (fromOk) vdCheckDayParam(from);
  if (toOk) vdCheckDayParam(to);

  vdCheckHandler(args, true, psExpectedOutcome(fromOk, toOk, select, filter));
  vdCheckHandler(args, false, psExpectedOutcome(fromOk, toOk, select, ""));
  return 0;
}
