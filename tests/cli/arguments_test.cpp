// Argument checks of transaction_query and enc_api_key, run without a database.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "commands/statement.h"
#include "tests/cli/cli_cases.h"
#include "tests/support/final_message.h"

namespace {

// Arguments that pass every check reach the settings reader, which finds
// no file in the empty directory.
const std::string kPassed = finalMessage(Outcome::kOpenConfigFailed);
const std::string kPassedWhy = "error: cannot open the settings file './db_config.cfg'";
const std::string kFromBad = finalMessage(Outcome::kDateFromInvalid);
const std::string kToBad = finalMessage(Outcome::kDateToInvalid);
const std::string kTooLong = finalMessage(Outcome::kQueryTooLong);
const std::string kInvalid = finalMessage(Outcome::kInvalidParameters);

const std::string k21 = "lumettool";

std::vector<std::string> queryArgs(const std::string& fields, const std::string& condition,
                                   const std::string& from = "20240101",
                                   const std::string& to = "20240131") {
  return {"transaction_query", fields, condition, from, to, "0", "0"};
}

std::vector<std::string> queryArgs20(const std::string& fields) {
  return {"transaction_query", fields, "20240101", "20240131", "0", "0"};
}

TEST(TransactionQueryArgs, ValidatesBothDates) {
  std::vector<CliCase> cases = {
      exitsWhenOn(78, {k21, queryArgs("f", "none", "20000101", "21001231"), kPassed, kPassedWhy}),
      {k21, queryArgs("f", "none", "20240229", "20000229"), kPassed, kPassedWhy},  // leap years
      // atoi reads " 1" and "+1"
      {k21, queryArgs("f", "none", "2024 101", "2024+131"), kPassed, kPassedWhy},
      // Past the eighth character a day is read as before, but not silently.
      {k21, queryArgs("f", "none", "20240101xyz", "20240131"), kPassed,
       "lumettool: warning: date-from '20240101xyz' has 11 characters: read by its first eight, "
       "as 2024-01-01; the rest is ignored\nlumettool: " + kPassedWhy},
      {k21, queryArgs("f", "none", "20240101", "202401312"), kPassed,
       "lumettool: warning: date-to '202401312' has 9 characters: read by its first eight, as "
       "2024-01-31; the rest is ignored\nlumettool: " + kPassedWhy},
      {k21, queryArgs("f", "none", "20240101xyz", "2024013"), kToBad,
       "as 2024-01-01; the rest is ignored\nlumettool: error: date-to '2024013': "},
      exitsWhenOn(64, {k21, queryArgs("f", "none", "2024011", "20240131"), kFromBad,
                       "error: date-from '2024011': it has 7 characters; a day is eight digits, "
                       "YYYYMMDD\n"}),
      exitsWhenOn(64, {k21, queryArgs("f", "none", "20240101", "2024013"), kToBad,
                       "error: date-to '2024013': "}),
      {k21, queryArgs("f", "none", "19990101", "2024013"), kFromBad, "date-from '19990101'"},
      {k21, queryArgs("f", "none", "2024-1-1", "20240101"), kFromBad, "the month -1 is outside"},
  };
  // The last four are days the calendar does not have (2100 is no leap year).
  const std::pair<const char*, const char*> bad[] = {
      {"19991231", "the year 1999 is outside 2000..2100"},
      {"21010101", "the year 2101 is outside 2000..2100"},
      {"20240001", "the month 0 is outside 1..12"},
      {"20241301", "the month 13 is outside 1..12"},
      {"20240100", "the day 0 is outside 1..31"},
      {"20240132", "the day 32 is outside 1..31"},
      {"abcdefgh", "the year 0 is outside 2000..2100"},
      {"20240231", "2024-02-31 does not exist"},
      {"20240431", "2024-04-31 does not exist"},
      {"20230229", "2023-02-29 does not exist"},
      {"21000229", "2100-02-29 does not exist"}};
  for (const auto& [day, why] : bad) {
    cases.push_back({k21, queryArgs("f", "none", day, "20240101"), kFromBad,
                     "error: date-from '" + std::string(day) + "': " + why + "\n"});
    cases.push_back({k21, queryArgs("f", "none", "20240101", day), kToBad,
                     "error: date-to '" + std::string(day) + "': " + why + "\n"});
  }
  expectRuns(cases);
}

// The statement is "COPY (SELECT <fields> FROM transaction WHERE ", the two
// day bounds and ") TO STDOUT WITH (DELIMITER '|')", kStatementFixedLength
// characters besides the fields, kFilterFrameLength more with
// " AND (<filter>\n)"; with its terminating zero it must fit 10240 bytes.
// The translated filter must fit 2048 bytes with its zero.
TEST(TransactionQueryArgs, RefusesOverlongQueryBeforeReadingSettings) {
  const auto fields = [](size_t n) { return std::string(n, 'c'); };
  constexpr size_t kFieldsBesideX1 = kLongestFieldsAndFilter - 3;  // the filter is x=1
  std::string ands;
  std::string ors;
  for (int i = 0; i < 409; ++i) ands += "and";  // 409 * " AND " = 2045 characters
  for (int i = 0; i < 512; ++i) ors += "or";    // 512 * " OR " = 2048 characters
  expectRuns({
      {k21, queryArgs(fields(kLongestFieldList), "none"), kPassed, kPassedWhy},
      exitsWhenOn(64, {k21, queryArgs(fields(kLongestFieldList + 1), "none"), kTooLong,
                       "error: the statement would be 10240 bytes, 1 more than the 10239 it may "
                       "have\n"}),
      {k21, queryArgs(fields(kLongestFieldList + 1), ""), kTooLong,
       "the statement would be 10240 bytes"},
      {k21, queryArgs(fields(kFieldsBesideX1), "x=1"), kPassed, kPassedWhy},
      {k21, queryArgs(fields(kFieldsBesideX1 + 1), "x=1"), kTooLong,
       "the statement would be 10240 bytes"},
      {k21, queryArgs("f", std::string(2047, 'x')), kPassed, kPassedWhy},
      {k21, queryArgs("f", std::string(2048, 'x')), kTooLong,
       "error: the condition, rewritten, would be 2048 bytes, 1 more than the 2047 it may have\n"},
      {k21, queryArgs("f", ands), kPassed, kPassedWhy},
      {k21, queryArgs("f", ands + "and"), kTooLong, "rewritten, would be 2050 bytes, 3 more"},
      {k21, queryArgs("f", ors), kTooLong, "rewritten, would be 2048 bytes, 1 more"},
      // A condition refused before anything is sent.
      exitsWhenOn(64, {k21, queryArgs("f", "x=1)"), finalMessage(Outcome::kSqlRefused),
                       "error: the condition closes a bracket it did not open"}),
      {k21, queryArgs(fields(20000), std::string(3000, 'x'), "1999"), kFromBad, "date-from '1999'"},
      // A field list that names nothing is refused before the settings are read.
      {k21, queryArgs("", "none"), finalMessage(Outcome::kSqlRefused),
       "lumettool: error: the field list is empty\nlumettool: hint: a field list names the "
       "columns and expressions to export, all for every column; nothing was sent\n"},
      {k21, queryArgs(" \t\n ", "x=1"), finalMessage(Outcome::kSqlRefused),
       "error: the field list holds only blanks\n"},
      {"lumettool-2.0", queryArgs20("  "), finalMessage(Outcome::kSqlRefused),
       "error: the field list holds only blanks\n"},
      // The environment's settings of the tool are checked before its settings file.
      exitsWhenOn(64, {k21, queryArgs("f", "none"), kInvalid,
                       "error: LUMETTOOL_FORMAT 'xml' is neither text nor copy\n", std::nullopt,
                       {"LUMETTOOL_FORMAT=xml"}}),
      {k21, queryArgs("f", "none"), kPassed, kPassedWhy, std::nullopt, {"LUMETTOOL_FORMAT=copy"}},
      {"lumettool-2.0", queryArgs20("f"), kInvalid,
       "error: LUMETTOOL_RETRIES 'many' is not a whole number of retries from 0 to 100\n",
       std::nullopt, {"LUMETTOOL_RETRIES=many"}},
      {k21, queryArgs("f", "none"), kInvalid, "LUMETTOOL_RETRIES '-1' is not", std::nullopt,
       {"LUMETTOOL_RETRIES=-1"}},
      {k21, queryArgs("f", "none"), kPassed, kPassedWhy, std::nullopt, {"LUMETTOOL_RETRIES=7"}},
      // Every bad variable is told, each on its line, before the one final message.
      {k21, queryArgs("f", "none"), kInvalid,
       "lumettool: error: LUMETTOOL_FORMAT is set but empty; set it to text or copy, or unset "
       "it\nlumettool: error: LUMETTOOL_RETRIES '101' is not a whole number of retries from 0 to "
       "100\n",
       std::nullopt, {"LUMETTOOL_FORMAT=", "LUMETTOOL_RETRIES=101"}},
      {"lumettool-2.0", queryArgs20(fields(kLongestFieldList)), kPassed, kPassedWhy},
      {"lumettool-2.0", queryArgs20(fields(kLongestFieldList + 1)), kTooLong,
       "the statement would be 10240 bytes"},
  });
}

// days and delay-ms are read as atoi reads them, with a warning, told before
// anything else, when the text is not a plain whole number.
TEST(TransactionQueryArgs, WarnsAboutCountsThatAreNotWholeNumbers) {
  const auto counts = [](const std::string& days, const std::string& delayMs) {
    return std::vector<std::string>{"transaction_query", "f", "none", "20240101", "20240131",
                                    days, delayMs};
  };
  const std::string days = "lumettool: warning: days ";
  const std::string delay = "lumettool: warning: delay-ms ";
  const std::string then = "\nlumettool: " + kPassedWhy;
  expectRuns({
      {k21, counts("abc", "0"), kPassed,
       days + "'abc' is not a whole number; read as 0, one statement for the whole range" + then},
      {k21, counts("", "0"), kPassed, days + "'' is not a whole number; read as 0, one statement"},
      {k21, counts("1.5", "0"), kPassed, days + "'1.5' is not a whole number; read as 1, one "
                                                "statement per day" + then},
      {k21, counts(" 7", "0"), kPassed, days + "' 7' is not a whole number; read as 7, one "
                                               "statement per 7 days" + then},
      {k21, counts("-2d", "0"), kPassed, "read as -2, one statement for the whole range" + then},
      {k21, counts("7", "x"), kPassed,
       delay + "'x' is not a whole number; read as 0, no pause between chunks" + then},
      {k21, counts("7", "250ms"), kPassed,
       delay + "'250ms' is not a whole number; read as 250, a pause of 250 ms between chunks"},
      {k21, counts("7x", "-5 "), kPassed, "'7x' is not a whole number; read as 7, one statement "
                                          "per 7 days\n" + delay + "'-5 ' is not a whole number; "
                                          "read as -5, no pause between chunks" + then},
      {"lumettool-2.0", {"transaction_query", "f", "20240101", "20240131", "x", "y"}, kPassed,
       "warning: days 'x' is not a whole number; read as 0, one statement for the whole range\n"
       "lumettool-2.0: warning: delay-ms 'y' is not a whole number; read as 0, no pause"},
      {k21, {"transaction_query", "f", "none", "2024013", "20240131", "x", "0"}, kFromBad,
       "for the whole range\nlumettool: error: date-from '2024013'"},
  });
  // A sign and leading zeros are whole numbers too.
  for (const auto& [d, ms] : {std::pair{"+7", "007"}, {"-1", "-0"}, {"2147483647", "0"}}) {
    TempDir dir;
    const RunResult r = runProgram(programPath(k21), counts(d, ms), optionsIn(dir.path));
    EXPECT_EQ(r.out, kPassed);
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << d << " " << ms << ": " << r.err;
  }
}

TEST(EncApiKey, ChecksKeyTextAndEnciphers) {
  const std::string digits2048 = [] {
    std::string s;
    while (s.size() < 2048) s += "0123456789abcdef";
    return s;
  }();
  const std::string odd2047 = digits2048.substr(1);
  const auto encipher = [](const std::string& key) {
    return runProgram(programPath("lumettool-1.0"), {"enc_api_key", key}).out;
  };
  const std::string kBad = finalMessage(Outcome::kInvalidApiKey);
  std::string late = digits2048;
  late[1999] = 'g';
  expectRuns({
      exitsWhenOn(0, {"lumettool-1.0", {"enc_api_key", "00"}, "7F"}),  // 0x5C ^ 0x00 ^ '#'
      {"lumettool-1.0", {"enc_api_key", "0000"}, "7F21"},  // 0x7F ^ 0x00 ^ '^'
      {"lumettool-1.0", {"enc_api_key", "1"}, "8E"},       // read as F1
      exitsWhenOn(64, {"lumettool-1.0", {"enc_api_key", ""}, kBad, "error: the API key is empty\n"}),
      {"lumettool-1.0", {"enc_api_key", "12G4"}, kBad,
       "error: the API key holds 'G' at position 3 (counting from 1), which is not a "
       "hexadecimal digit\n"},
      {"lumettool", {"enc_api_key", "0x12"}, kBad,
       "'x' at position 2 (counting from 1), which is not a hexadecimal digit\n"
       "lumettool: hint: write the key without the 0x in front\n"},
      {"lumettool-2.0", {"enc_api_key", "1\xC3\xA4"}, kBad, "holds '\\xC3' at position 2 "},
      {"lumettool-1.0", {"enc_api_key", "12 "}, kBad, "holds ' ' at position 3 "},
      {"lumettool-1.0", {"enc_api_key", late}, kBad, "holds 'g' at position 2000 "},
      {"lumettool-1.0", {"enc_api_key", digits2048 + "0"}, kBad,
       "error: the API key is 2049 characters long; at most 2048 hexadecimal digits are taken\n"},
      // The length is told, not the first bad character after it.
      {"lumettool-1.0", {"enc_api_key", digits2048 + "x"}, kBad, "is 2049 characters long"},
  });
  const std::string full = encipher(digits2048);
  EXPECT_EQ(full.size(), 2048U);
  // Every digit counts: the last one turned from f to 0 flips the last output digit (x ^ 0xF).
  const std::string hex = "0123456789ABCDEF";
  std::string changed = digits2048;
  changed.back() = '0';
  EXPECT_EQ(encipher(changed), full.substr(0, 2047) + hex[15 - hex.find(full.back())]);
  // Case does not matter.
  std::string upper = digits2048;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(encipher(upper), full);
  // 2047 digits are enciphered as if an F stood in front.
  EXPECT_EQ(encipher(odd2047), encipher("F" + odd2047));
  EXPECT_EQ(encipher(odd2047).size(), 2048U);
}

}  // namespace
