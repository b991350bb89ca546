#include <gtest/gtest.h>

#include <array>
#include <string>

#include "commands/days.h"
#include "commands/condition.h"
#include "commands/statement.h"

namespace {

// The filter of a condition; `fits` says whether it should fit its buffer.
std::string filterOf(const std::string& condition, bool fits = true) {
  std::array<char, kConditionSize> out{};
  const size_t length = translateCondition(condition, out);
  EXPECT_EQ(length < out.size(), fits) << length;
  return fits ? std::string(out.data()) : std::string(length, '?');
}

// The words the translation of `condition` splits, as "word:became|...".
std::string splitOf(const std::string& condition) {
  std::string text;
  for (const SplitWord& split : splitWords(condition)) text += split.word + ":" + split.became + "|";
  return text;
}

// A condition, its filter and the words split in it (see splitOf).
struct ConditionRow {
  const char* text;
  const char* filter;
  const char* split = "";
};

}  // namespace

TEST(QueryText, TranslatesConditionAndFieldsOutsideQuotes) {
  const ConditionRow conditions[] = {
      {"STATUS=1andTYPE=2", "status=1 AND type=2", "1andTYPE:1 AND type|"},
      {"vendor=3", "vend OR =3", "vendor:vend OR |"},
      {"a=1 Or b=2", "a=1  OR  b=2"},
      {"Brand='Sandor AND Co'", "br AND ='Sandor AND Co'", "Brand:br AND |"},
      {"floor(a)=5 or Floor(b)=1", "flo OR (a)=5  OR  flo OR (b)=1", "floor:flo OR |"},
      {"operator_id is null", "operat OR _id is null", "operator_id:operat OR _id|"},
      {"orator=1 AnDoR x", " OR at OR =1  AND  OR  x", "orator: OR at OR |AnDoR: AND  OR |"},
      {"\"floor\"(a)=5 and \"vendor\"=3", "\"floor\"(a)=5  AND  \"vendor\"=3"},
      {"n='it''s Oregon' or x=\"Ore and Co\"", "n='it''s Oregon'  OR  x=\"Ore and Co\""},
      {"none", ""}, {" NoNe\t", ""}, {"", ""}, {" \t ", ""}, {"nonexistent=1", "nonexistent=1"},
      {"none and x", "none  AND  x"},
      // Every form of quoted text the server knows stays as written.
      {"note=$$Rock and Roll$$", "note=$$Rock and Roll$$"},
      {"N=$Tag$it's $$ OR$Tag$ or $t$x$t$", "n=$Tag$it's $$ OR$Tag$  OR  $t$x$t$"},
      {"note=E'it\\'s Oregon' OR x=1", "note=E'it\\'s Oregon'  OR  x=1"},
      {"n=e'A\\\\' OR U&'D\\0061' OR U&\"Or\"=1", "n=e'A\\\\'  OR  U&'D\\0061'  OR  U&\"Or\"=1"},
      // Not quoted text: a $ inside a word, a parameter, an E ending a word.
      {"A$B$=1 or $1 OR Xe'\\'=1", "a$b$=1  OR  $1  OR  xe'\\'=1"},
      {"1$$Or$$=1", "1$$Or$$=1"},
      // A quote on the next line carries the text on, E'...' with its escapes.
      {"N=E'a'\n'\\' and ' OR y", "n=E'a'\n'\\' and '  OR  y"},
      // Comments are kept as written as well.
      {"x=1 /* And /* Or */ */ and Y -- Or\nOR z", "x=1 /* And /* Or */ */  AND  y -- Or\n OR  z"},
      // What is quoted is decided on the text as written: " OR " ends the
      // word before it, so a quote may open right after it.
      {"id<0 or$$brand$$=note", "id<0  OR $$brand$$=note"},
      {"id<0 orE'It\\'s NAME'=note", "id<0  OR E'It\\'s NAME'=note"},
      {"x OR12$A$ AND $a$", "x  OR 12$A$ AND $a$", "OR12: OR 12|"},
      {"x=1 and$t$ Or $t$", "x=1  AND $t$ Or $t$"}};
  for (const ConditionRow& row : conditions) {
    EXPECT_EQ(filterOf(row.text), row.filter) << row.text;
    EXPECT_EQ(splitOf(row.text), row.split) << row.text;
  }

  const std::pair<const char*, const char*> fields[] = {
      {"ALL", "*"}, {" all ", "*"}, {"allowance", "allowance"},
      {"Id,\"Amount EUR\"", "id,\"Amount EUR\""}};
  for (const auto& [list, expected] : fields) {
    std::string text = list;
    lowerOutsideQuotes(text.data());
    EXPECT_EQ(selectList(text), expected) << list;
  }
}

// In SJIS, BIG5 and the like a character's second byte may be an ASCII
// letter or a backslash: it is never lower-cased, nor read as an and/or or
// as the end of a word, and the checks see what the server sees.
TEST(QueryText, LeavesTheBytesInsideMultibyteCharacters) {
  struct Row {
    ClientEncoding encoding;
    const char* text;
    const char* lowered;  // as a field list
    const char* filter;   // as a condition
    bool refused;         // checkQueryText, as a condition
  };
  const Row rows[] = {
      // SJIS a (0x83 0x41): read as UTF8 it becomes di (0x83 0x61).
      {ClientEncoding::kAsciiSafe, "\x83\x41ND", "\x83\x61nd", "\x83 AND ", false},
      {ClientEncoding::kSjis, "\x83\x41ND", "\x83\x41nd", "\x83\x41nd", false},
      {ClientEncoding::kSjis, "\x83\x41=A OR \x83\x6Fr", "\x83\x41=a or \x83\x6Fr",
       "\x83\x41=a  OR  \x83\x6Fr", false},
      {ClientEncoding::kBig5, "X=\xA4\x6Fr", "x=\xA4\x6Fr", "x=\xA4\x6Fr", false},
      {ClientEncoding::kUhc, "\xB0\x41nd", "\xB0\x41nd", "\xB0\x41nd", false},
      {ClientEncoding::kJohab, "\x8F\x41OR", "\x8F\x41Or", "\x8F\x41Or", false},  // 0x8F: three
      {ClientEncoding::kGb18030, "\x81\x30\x81\x30OR", "\x81\x30\x81\x30or",
       "\x81\x30\x81\x30 OR ", false},
      // After so (0x83 0x5C) an E continues the word, and '\' is plain text:
      // the ')' is code, as the server reads it.
      {ClientEncoding::kAsciiSafe, "\x83\x5C" "E'\\' ) OR (TRUE --'",
       "\x83\x5C" "E'\\' ) OR (TRUE --'", "\x83\x5C" "E'\\' ) OR (TRUE --'", false},
      {ClientEncoding::kSjis, "\x83\x5C" "E'\\' ) OR (TRUE --'", "\x83\x5C" "e'\\' ) or (true --'",
       "\x83\x5C" "e'\\' )  OR  (true --'", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    lowerOutsideQuotes(text.data(), row.encoding);
    EXPECT_EQ(text, row.lowered);
    std::array<char, kConditionSize> out{};
    ASSERT_LT(translateCondition(row.text, out, row.encoding), out.size());
    EXPECT_EQ(std::string(out.data()), row.filter);
    EXPECT_EQ(checkQueryText("id", out.data(), row.encoding).error.empty(), !row.refused);
  }
}

// Told only when a word was split: the filter sent, each word, one hint.
TEST(QueryText, TellsTheWordsTheTranslationSplit) {
  const std::pair<const char*, const char*> told[] = {
      {"a=1 or b=2 and x", ""},
      {"Floor(amount)=5 or vendor=3",
       "lumettool: detail: the condition was sent as 'flo OR (amount)=5  OR  vend OR =3'\n"
       "lumettool: detail: the word 'Floor' became 'flo OR '\n"
       "lumettool: detail: the word 'vendor' became 'vend OR '\n"
       "lumettool: hint: every and/or of the condition's code becomes AND/OR, inside words too; "
       "to keep a name whole, write it in double quotes and lower case: \"floor\", \"vendor\"\n"}};
  for (const auto& [condition, expected] : told) {
    testing::internal::CaptureStderr();
    tellTranslation(condition, filterOf(condition));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
  }
}

TEST(QueryText, ConditionMustFitItsBufferWithTheZero) {
  // "and" grows by two bytes in translation.
  constexpr size_t kLongest = kConditionSize - 1;
  EXPECT_EQ(filterOf(std::string(kLongest, 'x')).size(), kLongest);
  EXPECT_EQ(filterOf(std::string(kLongest - 5, 'x') + "and").size(), kLongest);
  EXPECT_EQ(filterOf(std::string(kConditionSize, 'x'), false).size(), kConditionSize);
  EXPECT_EQ(filterOf(std::string(kConditionSize - 5, 'x') + "and", false).size(), kConditionSize);
}

TEST(QueryText, StatementKeepsTheFilterInsideTheRange) {
  const Day first = parseDayArg("20111231").day;
  const Day after = first + std::chrono::days{1};
  const std::string range =
      " FROM transaction WHERE transaction.datetime OPERATOR(pg_catalog.>=) '2011-12-31' AND "
      "transaction.datetime OPERATOR(pg_catalog.<) '2012-01-01'";
  const std::string copyTo = ") TO STDOUT WITH (DELIMITER '|')";
  std::array<char, kStatementSize> out{};
  ASSERT_LT(buildStatement("id,amount", filterOf("a=1 or b=2 -- c"), first, after, out),
            out.size());
  EXPECT_EQ(std::string(out.data()),
            "COPY (SELECT id,amount" + range + " AND (a=1  OR  b=2 -- c\n)" + copyTo);
  ASSERT_LT(buildStatement("*", "", first, after, out), out.size());
  EXPECT_EQ(std::string(out.data()), "COPY (SELECT *" + range + copyTo);

  // Fields that make the statement fill the buffer exactly, then one byte
  // more; so too with a filter.
  const std::string fields(kLongestFieldList, 'f');
  EXPECT_EQ(buildStatement(fields, "", first, after, out), kStatementSize - 1);
  EXPECT_EQ(std::string(out.data()), "COPY (SELECT " + fields + range + copyTo);
  EXPECT_EQ(buildStatement(fields + "f", "", first, after, out), kStatementSize);
  const std::string filtered(kLongestFieldsAndFilter - 3, 'f');
  EXPECT_EQ(buildStatement(filtered, "x=1", first, after, out), kStatementSize - 1);
  EXPECT_EQ(std::string(out.data()), "COPY (SELECT " + filtered + range + " AND (x=1\n)" + copyTo);
  EXPECT_EQ(buildStatement(filtered + "f", "x=1", first, after, out), kStatementSize);
}

// A filter that closes a bracket it did not open could end the range's AND
// and add rows of any day (") or (true", ") union select ..."). Brackets in
// quoted text and comments are not the server's, and do not count.
TEST(QueryText, FilterMustKeepItsBrackets) {
  const std::pair<const char*, bool> filters[] = {
      {"", true},
      {"(a=1) or (b=2)", true},
      {"f(x) in ((1), (2))", true},
      {"note=')' or \")\"=1", true},
      {"note=$$)$$ or $t$)$t$=1", true},
      {"note=E'\\')' or 1=1", true},
      {"x=1 /* ) /* ) */ ) */", true},
      {"x=1 -- )", true},
      {"status=1) or (true", false},
      {"1=1) union select * from transaction where (true", false},
      {"x=1 -- )\n) or (true", false},
      {"x=1 /* ) */ ) or (true", false},
      {"note=')'') or (''' ) or (true", false},
      {"a$$=1) or ($$", false},
      {"xe'\\' ) or (true", false},
      {"x=E'a'\n'\\' ') or ('a'='a'", false},
      {"x=E'a' -- c\r\t'\\' ') or ('a'='a'", false},
      {"x=E'a' '\\' ') or ('a'='a'", true},
      // A backslash after a byte above 127 may be that character's second byte.
      {"note=E'\x82\\') or (true", false}};
  for (const auto& [filter, kept] : filters) {
    EXPECT_EQ(unopenedBracketAt(filter) < 0, kept) << filter;
  }
  // A backslash after a byte above 127 in E'...' text escapes in UTF-8 and
  // is half a character in SJIS: where that text ends is not known.
  const std::pair<const char*, int> unsure[] = {
      {"x=E'\xC3\xA9\\' ') or ('a'='a'", 6}, {"x=E'a'\n'\xC3\xA9\\'", 10},
      {"x=E'\xC3\xA9 \\' '", -1}, {"x='\xC3\xA9\\'", -1}, {"x=$$\xC3\xA9\\$$", -1}};
  for (const auto& [filter, at] : unsure) EXPECT_EQ(unsureBackslashAt(filter), at) << filter;
}

// A field list stands between SELECT and FROM: whatever would end the select
// list there (a clause of its own, a second statement, a comment that hides
// the range) is refused; what operators write in a select list is not.
TEST(QueryText, FieldListStaysASelectList) {
  const std::pair<const char*, const char*> lists[] = {
      {"id, amount", ""},
      {"extract(epoch from datetime), substring(note from 1 for 3)", ""},
      {"tableoid::regclass, transaction.*, \"from\", 'union' as u, $$for$$", ""},
      {"id as fromage, forward, information", ""},
      {"(select max(id) from transaction t) as m", ""},
      {"id from transaction union all select id", "the word from, which ends a select list"},
      {"id FROM transaction", "the word from, which ends a select list"},
      {"1from transaction", "the word from, which ends a select list"},
      {"1.5e3union select 1", "the word union, which ends a select list"},
      {"id into t", "the word into, which ends a select list"},
      {"id for update", "the word for, which ends a select list"},
      {"id order by 1", "the word order, which ends a select list"},
      {"id; delete from t", "a ';'"},
      {"id -- ", "a comment"},
      {"id /* x */", "a comment"},
      {"id) union (select 1", "a bracket it did not open"},
      {"count(id", "a bracket it does not close"},
      {"id, $q$", "quoted text that is not closed"},
      {"$1::timestamp", "a parameter"},
      {"E'\xC3\xA9\\'", "a backslash right after a byte above 127 in E'...' text"}};
  for (const auto& [list, what] : lists) EXPECT_EQ(fieldListFault(list).what, what) << list;
}
