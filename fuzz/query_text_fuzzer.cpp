// Fuzzes the field list and condition rewriting, the bracket check and the
// SELECT statement built from them, down to the transaction_query handler's
// messages.
//
// Input: zero-separated fields, condition, date-from and date-to; missing
// ones take a harmless default. A lexer model of its own (modelMarks, one
// state per kind of text, written apart from commands/sql_pieces.cpp) says
// which bytes are code, quoted text or comment. Checked for every input:
//  - lower-casing touches only the ASCII letters of the code, and leaves
//    every byte of quoted text and comments as it was (and so the model
//    splits the lowered text the same way); in SJIS it never touches a byte
//    after a character's first, and the model reads the rest as code or not
//    with those bytes hidden;
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
//    not fit, then Outcome::kSqlRefused when the model sees the
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
#include "util/client_encoding.h"
#include "fuzz/fuzz_support.h"

namespace {

enum class Mark : unsigned char { kCode, kQuoted, kComment };

bool isHigh(char c) { return static_cast<unsigned char>(c) > 127; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNewline(char c) { return c == '\n' || c == '\r'; }
bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Bytes of a word: an identifier, a keyword, a number or a $1 parameter.
bool isWordByte(char c) { return isLetter(c) || isDigit(c) || isHigh(c) || c == '_' || c == '$'; }

// The dollar-quote delimiter ($$ or $tag$) that `s` starts with, or "".
std::string_view dollarTag(std::string_view s) {
  if (s.empty() || s[0] != '$') return {};
  size_t n = 1;
  while (n < s.size() && (isLetter(s[n]) || isHigh(s[n]) || s[n] == '_' ||
                          (n > 1 && isDigit(s[n])))) {
    ++n;
  }
  return n < s.size() && s[n] == '$' ? s.substr(0, n + 1) : std::string_view{};
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the model is in a text: the kind of text each next byte belongs to.
enum class Place { kCode, kQuote, kEQuote, kDQuote, kDollar, kLine, kBlock, kGap };

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
  Place place = Place::kCode;
  Place reopen = Place::kQuote;  // kGap: the kind of '...' text that may go on
  bool gapNewline = false;       // kGap: a line break since the closing quote
  int depth = 0;                 // kBlock: comments open
  std::string_view tag;          // kDollar: the closing delimiter
  int unsureAt = -1;             // the first backslash after a byte above 127 in E'...'
  // inText[i]: byte i is a -- comment between two parts of one '...' text
  // ('a' -- c<newline>'b'), which is no comment of the code.
  std::vector<char> inText;
  std::vector<size_t> gapComment;  // kGap: the comment bytes seen, while it may go on
};

// The byte `k` bytes on from the walk's position, or 0 past the end (the
// texts hold no zero byte).
char byteAhead(const ModelWalk& w, size_t k) { return w.i + k < w.s.size() ? w.s[w.i + k] : '\0'; }

// Marks the next `n` bytes (fewer at the end of the text) and goes on in `place`.
void markNext(ModelWalk& w, size_t n, Mark m, Place place) {
  for (size_t k = w.i; k < w.i + n && k < w.s.size(); ++k) w.mark[k] = m;
  w.i += n;
  w.place = place;
}

void stepCode(ModelWalk& w) {
  const char c = w.s[w.i];
  const char next = byteAhead(w, 1);
  const bool wordStart = w.afterWord[w.i] == 0;
  const std::string_view tag = w.afterName[w.i] == 0 ? dollarTag(w.s.substr(w.i)) : "";
  if (c == '-' && next == '-') {
    markNext(w, 2, Mark::kComment, Place::kLine);
  } else if (c == '/' && next == '*') {
    w.depth = 1;
    markNext(w, 2, Mark::kComment, Place::kBlock);
  } else if (c == '\'' || c == '"') {
    markNext(w, 1, Mark::kQuoted, c == '"' ? Place::kDQuote : Place::kQuote);
  } else if (wordStart && lowerAscii(c) == 'e' && next == '\'') {
    markNext(w, 2, Mark::kQuoted, Place::kEQuote);
  } else if (wordStart && lowerAscii(c) == 'u' && next == '&' &&
             (byteAhead(w, 2) == '\'' || byteAhead(w, 2) == '"')) {
    markNext(w, 3, Mark::kQuoted, byteAhead(w, 2) == '"' ? Place::kDQuote : Place::kQuote);
  } else if (!tag.empty()) {
    w.tag = tag;
    markNext(w, tag.size(), Mark::kQuoted, Place::kDollar);
  } else {
    markNext(w, 1, Mark::kCode, Place::kCode);
  }
}

// '...', U&'...', E'...', "..." and U&"...", where a doubled quote stands
// for itself. In E'...' a backslash takes the next byte, unless it may be the
// second byte of a character that a byte above 127 starts.
void stepQuote(ModelWalk& w) {
  const char c = w.s[w.i];
  const char quote = w.place == Place::kDQuote ? '"' : '\'';
  if (w.place == Place::kEQuote && c == '\\' && isHigh(w.s[w.i - 1]) && w.unsureAt < 0) {
    w.unsureAt = static_cast<int>(w.i);
  }
  if ((w.place == Place::kEQuote && c == '\\' && !isHigh(w.s[w.i - 1])) ||
      (c == quote && byteAhead(w, 1) == quote)) {
    markNext(w, 2, Mark::kQuoted, w.place);
  } else if (c == quote) {
    w.reopen = w.place;
    w.gapNewline = false;
    markNext(w, 1, Mark::kQuoted, quote == '"' ? Place::kCode : Place::kGap);
  } else {
    markNext(w, 1, Mark::kQuoted, w.place);
  }
}

// After a closing ' the server goes on with the same text when only blanks
// and -- comments, a line break among them, come before the next ':
// E'a'<newline>'\'' is one text, with its escapes.
void stepGap(ModelWalk& w) {
  const char c = w.s[w.i];
  if (isBlank(c)) {
    w.gapNewline = w.gapNewline || isNewline(c);
    markNext(w, 1, Mark::kCode, Place::kGap);
  } else if (c == '-' && byteAhead(w, 1) == '-') {
    size_t n = 0;
    while (byteAhead(w, n) != '\0' && !isNewline(byteAhead(w, n))) ++n;
    for (size_t k = 0; k < n; ++k) w.gapComment.push_back(w.i + k);
    markNext(w, n, Mark::kComment, Place::kGap);
  } else if (c == '\'' && w.gapNewline) {
    for (const size_t k : w.gapComment) w.inText[k] = 1;
    w.gapComment.clear();
    markNext(w, 1, Mark::kQuoted, w.reopen);
  } else {
    w.gapComment.clear();
    w.place = Place::kCode;
  }
}

void stepBlock(ModelWalk& w) {
  const char c = w.s[w.i];
  const char next = byteAhead(w, 1);
  if ((c == '/' && next == '*') || (c == '*' && next == '/')) {
    w.depth += c == '/' ? 1 : -1;
    markNext(w, 2, Mark::kComment, w.depth == 0 ? Place::kCode : Place::kBlock);
  } else {
    markNext(w, 1, Mark::kComment, Place::kBlock);
  }
}

void step(ModelWalk& w) {
  const char c = w.s[w.i];
  switch (w.place) {
    case Place::kCode: stepCode(w); break;
    case Place::kQuote:
    case Place::kEQuote:
    case Place::kDQuote: stepQuote(w); break;
    case Place::kGap: stepGap(w); break;
    case Place::kBlock: stepBlock(w); break;
    case Place::kDollar:
      if (w.s.substr(w.i).starts_with(w.tag)) {
        markNext(w, w.tag.size(), Mark::kQuoted, Place::kCode);
      } else {
        markNext(w, 1, Mark::kQuoted, Place::kDollar);
      }
      break;
    case Place::kLine:
      // The line break ends the comment and is code.
      if (isNewline(c)) {
        w.place = Place::kCode;
      } else {
        markNext(w, 1, Mark::kComment, Place::kLine);
      }
      break;
  }
}

// The model's walk over all of `s`: for each byte, what PostgreSQL's lexer
// makes of it, read the cautious way the tool reads it (see
// commands/sql_pieces.h).
ModelWalk modelWalk(std::string_view s) {
  ModelWalk w;
  w.s = s;
  w.mark.assign(s.size(), Mark::kCode);
  w.inText.assign(s.size(), 0);
  w.afterWord.assign(s.size() + 1, 0);
  w.afterName.assign(s.size() + 1, 0);
  for (size_t i = 0; i < s.size(); ++i) {
    const bool word = isWordByte(s[i]);
    w.afterWord[i + 1] = word ? 1 : 0;
    w.afterName[i + 1] = word && (w.afterName[i] != 0 || !isDigit(s[i])) ? 1 : 0;
  }
  while (w.i < s.size()) step(w);
  return w;
}

std::vector<Mark> modelMarks(std::string_view s) { return modelWalk(s).mark; }

// Where the model sees the first ')' of the code that closes below depth 0,
// or -1 when there is none.
int modelUnopenedBracketAt(std::string_view s) {
  const std::vector<Mark> mark = modelMarks(s);
  int depth = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (mark[i] != Mark::kCode) continue;
    if (s[i] == '(') ++depth;
    if (s[i] == ')' && --depth < 0) return static_cast<int>(i);
  }
  return -1;
}

// The bracket check, both ways it is asked, against the model.
void checkBrackets(std::string_view s) {
  const int at = modelUnopenedBracketAt(s);
  FUZZ_CHECK(unopenedBracketAt(s) == at);
  FUZZ_CHECK(unsureBackslashAt(s) == modelWalk(s).unsureAt);
}

// `text` without blanks around it equals `word` ignoring ASCII case.
bool modelIsWord(std::string_view text, std::string_view word) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && isBlank(text[b])) ++b;
  while (e > b && isBlank(text[e - 1])) --e;
  if (e - b != word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (lowerAscii(text[b + i]) != word[i]) return false;
  }
  return true;
}

// Lower-cases through the library and checks the result against the model.
std::string loweredAndChecked(const std::string& original) {
  std::vector<char> text = mutableCopy(original);
  lowerOutsideQuotes(text.data());
  std::string lowered(text.data());
  FUZZ_CHECK(lowered.size() == original.size());
  const std::vector<Mark> mark = modelMarks(original);
  for (size_t i = 0; i < original.size(); ++i) {
    FUZZ_CHECK(lowered[i] == (mark[i] == Mark::kCode ? lowerAscii(original[i]) : original[i]));
  }
  FUZZ_CHECK(modelMarks(lowered) == mark);
  // In SJIS a byte after a character's first is never lower-cased, and the
  // others are lower-cased as the model reads the text with those hidden.
  std::vector<char> sjis = mutableCopy(original);
  lowerOutsideQuotes(sjis.data(), ClientEncoding::kSjis);
  const std::string hidden = trailingBytesHidden(original, ClientEncoding::kSjis);
  const std::vector<Mark> hiddenMark = modelMarks(hidden);
  for (size_t i = 0; i < original.size(); ++i) {
    const bool lowers = hidden[i] == original[i] && hiddenMark[i] == Mark::kCode;
    FUZZ_CHECK(sjis[i] == (lowers ? lowerAscii(original[i]) : original[i]));
  }
  return lowered;
}

// True when `text` starts with the lower-case `word` in any case.
bool startsFolded(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (lowerAscii(text[i]) != word[i]) return false;
  }
  return true;
}

// True when the model's walk over `s` ends inside quoted text or a /* comment.
bool modelUnclosed(std::string_view s) {
  const Place place = modelWalk(s).place;
  return place == Place::kQuote || place == Place::kEQuote || place == Place::kDQuote ||
         place == Place::kDollar || place == Place::kBlock;
}

// The filter the model expects: the code lower-cased, every "and"/"or" that
// starts in the code replaced; after each replacement the whole text, as it
// then stands, is walked again to tell code from quoted text.
std::string modelFilter(std::string_view condition) {
  if (modelIsWord(condition, "none") || modelIsWord(condition, "")) return {};
  std::string text(condition);
  std::vector<Mark> mark = modelMarks(text);
  for (size_t i = 0; i < text.size();) {
    if (mark[i] != Mark::kCode) {
      ++i;
      continue;
    }
    const std::string_view rest = std::string_view(text).substr(i);
    const bool isAnd = startsFolded(rest, "and");
    if (!isAnd && !startsFolded(rest, "or")) {
      text[i] = lowerAscii(text[i]);
      ++i;
      continue;
    }
    const std::string_view word = isAnd ? " AND " : " OR ";
    text.replace(i, isAnd ? 3 : 2, word);
    i += word.size();
    mark = modelMarks(text);
  }
  return text;
}

// Translates into a buffer of exactly `size` bytes on the heap, so that a
// write past it is caught. Returns the length and, when it fits, the text.
size_t translateInto(const std::string& condition, size_t size, std::string& filter) {
  std::vector<char> out(size, 'x');
  const size_t length = translateCondition(condition, out);
  if (length < size) {
    filter = std::string(out.data(), strnlen(out.data(), out.size()));
    FUZZ_CHECK(filter.size() == length);
  }
  return length;
}

size_t statementInto(std::string_view fields, std::string_view filter, Day first, Day after,
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
std::string checkedFilter(const std::string& condition) {
  // "or" grows to " OR ", twice its length: three times is always enough.
  std::string filter;
  const size_t length = translateInto(condition, 3 * condition.size() + 1, filter);
  FUZZ_CHECK(length == filter.size());
  if (condition.size() <= kModelConditionLimit) FUZZ_CHECK(filter == modelFilter(condition));
  checkBrackets(filter);

  // The bound: exactly enough room works, one byte less is refused.
  std::string again;
  FUZZ_CHECK(translateInto(condition, filter.size() + 1, again) == length && again == filter);
  FUZZ_CHECK(translateInto(condition, filter.size(), again) == length);
  return filter;
}

// The words that end a select list.
constexpr std::string_view kClauseWords[] = {"from",  "where",  "union", "intersect", "except",
                                             "group", "having", "window", "order",    "limit",
                                             "offset", "fetch", "for",   "into"};

// A field list that fieldListFault accepts, checked against the model.
void checkFieldList(std::string_view fields) {
  if (!fieldListFault(fields).what.empty()) return;
  const ModelWalk walk = modelWalk(fields);
  const std::vector<Mark>& mark = walk.mark;
  FUZZ_CHECK(!modelUnclosed(fields));
  int depth = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    FUZZ_CHECK(mark[i] != Mark::kComment || walk.inText[i] != 0);
    if (mark[i] != Mark::kCode) continue;
    FUZZ_CHECK(fields[i] != ';');
    if (fields[i] == '(') ++depth;
    if (fields[i] == ')') --depth;
    FUZZ_CHECK(depth >= 0);
    if (depth > 0 || (i > 0 && isWordByte(fields[i - 1]))) continue;
    const std::string_view rest = fields.substr(i);
    for (const std::string_view word : kClauseWords) {
      FUZZ_CHECK(!startsFolded(rest, word) ||
                 (rest.size() > word.size() && isWordByte(rest[word.size()])));
    }
  }
  FUZZ_CHECK(depth == 0);
}

// The statement of the chunk from `first` up to, not including, `after`.
std::string modelStatement(std::string_view select, std::string_view filter, Day first,
                           Day after) {
  const auto iso = [](Day day) {
    const std::string d = argumentText(day);
    return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
  };
  std::string text = "COPY (SELECT " + std::string(select) +
                     " FROM transaction WHERE transaction.datetime OPERATOR(pg_catalog.>=) '" +
                     iso(first) + "' AND transaction.datetime OPERATOR(pg_catalog.<) '" +
                     iso(after) + "'";
  if (!filter.empty()) text += " AND (" + std::string(filter) + "\n)";
  return text + ") TO STDOUT WITH (DELIMITER '|')";
}

void checkStatement(std::string_view select, std::string_view filter, Day first, Day after) {
  const std::string expected = modelStatement(select, filter, first, after);
  std::string statement;
  FUZZ_CHECK(statementInto(select, filter, first, after, expected.size() + 1, statement) ==
             expected.size());
  FUZZ_CHECK(statement == expected);
  FUZZ_CHECK(statementInto(select, filter, first, after, expected.size(), statement) ==
             expected.size());
}

// Any day: every chunk's statement is as long as any other's.
constexpr Day kSomeDay{std::chrono::year{2024} / 1 / 1};

// "the statement would be 10300 bytes, 61 more than the 10239 it may have".
std::string tooLongReason(std::string_view what, size_t length, size_t bufferSize) {
  const size_t limit = bufferSize - 1;
  return "lumettool: error: " + std::string(what) + " would be " + std::to_string(length) +
         " bytes, " + std::to_string(length - limit) + " more than the " +
         std::to_string(limit) + " it may have\n";
}

// The handler's message for the arguments, from the lengths and the filter,
// and for the refusals that come from them, the reason it tells before.
std::pair<Outcome, std::string> expectedOutcome(bool fromOk, bool toOk, std::string_view select,
                                                std::string_view filter) {
  if (!fromOk) return {Outcome::kDateFromInvalid, ""};
  if (!toOk) return {Outcome::kDateToInvalid, ""};
  if (filter.size() >= kConditionSize) {
    return {Outcome::kQueryTooLong,
            tooLongReason("the condition, rewritten,", filter.size(), kConditionSize)};
  }
  // A field list of nothing but blanks names nothing.
  if (select.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos) {
    return {Outcome::kSqlRefused, "lumettool: error: the field list "};
  }
  if (!fieldListFault(select).what.empty()) {
    return {Outcome::kSqlRefused, "lumettool: error: the field list holds "};
  }
  if (const int at = modelUnopenedBracketAt(filter); at >= 0) {
    return {Outcome::kSqlRefused,
            "lumettool: error: the condition closes a bracket it did not open, at byte " +
                std::to_string(at + 1) + " of '"};
  }
  if (const int at = modelWalk(filter).unsureAt; at >= 0) {
    return {Outcome::kSqlRefused,
            "lumettool: error: the condition's E'...' text has a backslash right after a byte "
            "above 127, at byte " + std::to_string(at + 1) + " of '"};
  }
  if (modelUnclosed(filter)) {
    return {Outcome::kSqlRefused,
            "lumettool: error: the condition's quoted text or comment is not closed"};
  }
  if (const size_t len = modelStatement(select, filter, kSomeDay, kSomeDay).size();
      len >= kStatementSize) {
    return {Outcome::kQueryTooLong, tooLongReason("the statement", len, kStatementSize)};
  }
  return {Outcome::kOpenConfigFailed, ""};
}

// Runs the handler, edition 2.1 with a condition or 2.0 without, on copies
// of the arguments and checks its message and reason.
void checkHandler(const std::vector<std::string>& args, bool withCondition,
                  const std::pair<Outcome, std::string>& expected) {
  std::vector<char> f = mutableCopy(args[0]);
  std::vector<char> c = mutableCopy(args[1]);
  std::vector<char> d1 = mutableCopy(args[2]);
  std::vector<char> d2 = mutableCopy(args[3]);
  std::string told;
  Outcome outcome = Outcome::kPrinted;
  const std::string printed = captureStdout(
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
  enterScratchDir({});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  std::vector<std::string> args = splitArguments(data, size);
  const char* defaults[] = {"id", "none", "20240101", "20240131"};
  for (size_t i = args.size(); i < 4; ++i) args.emplace_back(defaults[i]);
  const std::string& fields = args[0];
  const std::string& condition = args[1];
  checkBrackets(fields);
  checkBrackets(condition);

  const std::string loweredFields = loweredAndChecked(fields);
  const std::string_view select = selectList(loweredFields);
  checkFieldList(select);
  FUZZ_CHECK(select == (modelIsWord(fields, "all") ? std::string_view("*")
                                                    : std::string_view(loweredFields)));
  (void)loweredAndChecked(condition);
  const std::string filter = checkedFilter(condition);

  const DayArg from = parseDayArg(args[2].c_str());
  const DayArg to = parseDayArg(args[3].c_str());
  const bool fromOk = from.fault.empty();
  const bool toOk = to.fault.empty();
  if (fromOk && toOk) checkStatement(select, filter, from.day, to.day + std::chrono::days{1});

  checkHandler(args, true, expectedOutcome(fromOk, toOk, select, filter));
  checkHandler(args, false, expectedOutcome(fromOk, toOk, select, ""));
  return 0;
}
