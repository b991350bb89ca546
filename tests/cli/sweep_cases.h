// The bad-input sweep: every positional argument of every command of the
// three editions, fed text of awkward lengths, every byte and invalid UTF-8.
// Each run must end with the final message its input calls for, tell on
// standard error what it calls for, and end with status 0, no signal and in
// bounded time.
//
// The cross product is trimmed to keep the sweep fast:
// - every position of every edition gets every length, made of digits in
//   one edition and of letters in the next; days and delay-ms, which never
//   decide the message, ride along with the field list;
// - the bytes 0x01..0xFF are dealt to the positions across commands and
//   editions (see dealBytes), so each byte is once a whole argument and once
//   inside a valid one; positions that cannot mask each other share a run;
// - the key also gets the hexadecimal digits and their neighbours, and the
//   command word and the days the bytes the parsers treat specially, with
//   every digit before the last digit of a day.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "commands/statement.h"
#include "tests/cli/cli_cases.h"
#include "tests/support/final_message.h"

namespace sweep {

inline const std::string kInvalidParameters = finalMessage(Outcome::kInvalidParameters);
inline const std::string kInvalidCommand = finalMessage(Outcome::kInvalidCommand);
inline const std::string kSuccess = finalMessage(Outcome::kSuccess);
inline const std::string kTooLong = finalMessage(Outcome::kParameterTooLong);
inline const std::string kInvalidKey = finalMessage(Outcome::kInvalidApiKey);
inline const std::string kFromInvalid = finalMessage(Outcome::kDateFromInvalid);
inline const std::string kToInvalid = finalMessage(Outcome::kDateToInvalid);
inline const std::string kQueryTooLong = finalMessage(Outcome::kQueryTooLong);
inline const std::string kNoConnect = finalMessage(Outcome::kCannotConnect);
inline const std::string kSqlFailed = finalMessage(Outcome::kInvalidSql);

struct Edition {
  std::string program;
  std::string banner;
  bool hasDb;     // db_init and transaction_query
  bool filtered;  // transaction_query takes a condition
};

inline const std::vector<Edition> kEditions = {
    {"lumettool", "New Darvo Lumet Version 2.1", true, true},
    {"lumettool-2.0", "New Darvo Lumet Version 2.0", true, false},
    {"lumettool-1.0", "New Darvo Lumet Version 1.0", false, false},
};

// Lengths around the tool's buffers, up to the longest argument Linux passes.
inline constexpr size_t kLengths[] = {0, 1, 7, 8, 9, 2047, 2048, 2049, 10240, 131071};

// Digits that read as a valid day from the eighth on: "2024010120240101...".
inline std::string digitText(size_t n) {
  std::string s;
  while (s.size() < n) s += "20240101";
  return s.substr(0, n);
}

// Letters of both cases; they never spell "and", "or" or "none".
inline std::string letterText(size_t n) {
  static const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string s;
  while (s.size() < n) s += kAlphabet;
  return s.substr(0, n);
}

// Every length once for edition number `edition`: digits and letters take
// turns, the other way round in the next edition.
inline std::vector<std::string> lengthTexts(size_t edition) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < std::size(kLengths); ++i)
    texts.push_back((i + edition) % 2 == 0 ? digitText(kLengths[i]) : letterText(kLengths[i]));
  return texts;
}

inline const std::vector<std::string> kBadUtf8 = {
    "\x80",       "\xC3\x28", "\xC0\xAF", "\xE2\x82", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80",
    "\xFF\xFE"};

// Bytes the parsers treat specially: blanks, quotes, signs, digits and
// letters at the edges of what is accepted, backslash, DEL and high bytes.
inline const std::string kSpecialBytes = "\x01\t\n\r \"'+-039GZ\\|\x7F\x80\xFF";

// The bytes 0x01..0xFF dealt in turn to the positions that take single
// bytes, so that each byte is once a whole argument and once inside an
// otherwise valid one somewhere in the tool. The hands, in order: the key
// of each edition; db_init's five values in 2.1, then in 2.0;
// transaction_query's fields, days, delay-ms and condition in 2.1, then
// fields, days and delay-ms in 2.0. A run of db_init or transaction_query
// takes one byte from each of its hands.
inline constexpr size_t kKeyHand = 0;
inline constexpr size_t kDbHand = 3;
inline constexpr size_t kQueryHand = 13;
inline constexpr size_t kHands = 20;
inline constexpr size_t kRunsPerHand = (255 + kHands - 1) / kHands;

inline std::vector<std::string> dealBytes(size_t first) {
  std::vector<std::string> hands(kHands);
  for (unsigned b = 1; b <= 255; ++b) hands[(b - 1 + first) % kHands] += static_cast<char>(b);
  return hands;
}

// Byte number `run` of a hand (a shorter hand starts again).
inline std::string byteFromHand(const std::string& hand, size_t run) {
  return std::string(1, hand[run % hand.size()]);
}

inline std::string embed(const std::string& valid, size_t at, const std::string& bytes) {
  return valid.substr(0, at) + bytes + valid.substr(at);
}

struct SweepCase {
  std::string program;
  std::vector<std::string> args;  // the command word first
  std::string expected;           // the exact final message, unless keyDigits is set
  size_t keyDigits = 0;           // enc_api_key: the enciphered key has this many digits
  bool checkRecord = false;       // db_init: ./db_config.cfg then holds args[1..5]
  std::string output = {};        // when set, the whole output, rows included
  // How each line of standard error begins after "PROGRAM: ", in order;
  // with `moreTold` other lines may come among them (see expectTold).
  std::vector<std::string> told = {};
  bool moreTold = false;
  bool sent = false;  // transaction_query: the statement went to the server
};

// ---- What the input decides -------------------------------------------------

inline std::string lowerCase(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

// The command a word selects in an edition, "" for none.
inline std::string commandOf(const Edition& e, const std::string& word) {
  const std::vector<std::string> words =
      e.hasDb ? std::vector<std::string>{"version", "db_init", "enc_api_key", "transaction_query"}
              : std::vector<std::string>{"version", "enc_api_key"};
  const std::string lower = lowerCase(word);
  for (const std::string& w : words)
    if (lower.starts_with(w)) return w;
  return "";
}

inline bool isNumericAddress(const std::string& host) {
  std::array<unsigned char, sizeof(in6_addr)> binary{};
  return inet_pton(AF_INET, host.c_str(), binary.data()) == 1 ||
         inet_pton(AF_INET6, host.c_str(), binary.data()) == 1;
}

// One sign at most, then digits and nothing else.
inline bool isWholeNumber(const std::string& s) {
  const size_t sign = s.starts_with('+') || s.starts_with('-') ? 1 : 0;
  return s.size() > sign && s.find_first_not_of("0123456789", sign) == std::string::npos;
}

// db_init writes whatever fits, each value in its field with its zero; it
// names every value that does not, or warns about a host address libpq
// will not look up and a port it will not take as it is.
inline SweepCase dbInitCase(const Edition& e, const std::string& word,
                            const std::vector<std::string>& values) {
  const char* names[] = {"host address", "port", "user", "password", "database name"};
  SweepCase c{e.program, {word}, kSuccess};
  c.args.insert(c.args.end(), values.begin(), values.end());
  for (size_t i = 0; i < 5; ++i) {
    if (values[i].size() < kSettingsWidths[i]) continue;
    c.expected = kTooLong;
    c.told.push_back("error: the " + std::string(names[i]) + " is " +
                     std::to_string(values[i].size()) + " bytes long");
  }
  c.checkRecord = c.expected == kSuccess;
  if (!c.checkRecord) return c;
  const std::string& host = values[0];
  const std::string& port = values[1];
  if (!host.empty() && !isNumericAddress(host))
    c.told.insert(c.told.end(), {"warning: the host address ", "hint: leave the host address "});
  if (!port.empty() && !(isWholeNumber(port) && std::atoi(port.c_str()) >= 1 &&
                         std::atoi(port.c_str()) <= 65535))
    c.told.push_back("warning: the port ");
  return c;
}

inline SweepCase apiKeyCase(const Edition& e, const std::string& word, const std::string& key) {
  SweepCase c{.program = e.program,
              .args = {word, key},
              .expected = kInvalidKey,
              .told = {"error: the API key "}};
  const bool hex = std::all_of(key.begin(), key.end(), [](char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
  });
  if (hex && !key.empty() && key.size() <= 2048) {
    c.expected.clear();
    c.told.clear();
    c.keyDigits = key.size() + key.size() % 2;
  }
  return c;
}

// A day argument as the tool reads it: the year, month and day of its
// first eight characters (each piece read as C's atoi reads it) as
// YYYYMMDD, or 0 when they name no day of 2000..2100.
inline int dayOf(const std::string& arg) {
  if (arg.size() < 8) return 0;
  const int year = std::atoi(arg.substr(0, 4).c_str());
  const int month = std::atoi(arg.substr(4, 2).c_str());
  const int day = std::atoi(arg.substr(6, 2).c_str());
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool valid = year >= 2000 && year <= 2100 && month >= 1 && month <= 12 && day >= 1 &&
                     day <= monthDays[month - 1];
  return valid ? year * 10000 + month * 100 + day : 0;
}

inline std::string isoDay(int day) {
  const std::string digits = std::to_string(day);
  return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2);
}

// The rules below are right for the sweep's texts, which are plain words
// and numbers with a few odd bytes in them; quotes that hold brackets,
// comments and the like are left to the unit tests and the fuzzers.

// The condition as it is sent: lower-cased, every and/or as " AND "/" OR ",
// none or only blanks as no filter.
inline std::string filterOf(const std::string& condition) {
  const std::string lower = lowerCase(condition);
  const size_t first = lower.find_first_not_of(" \t\n\v\f\r");
  if (first == std::string::npos) return "";
  if (lower.substr(first, lower.find_last_not_of(" \t\n\v\f\r") + 1 - first) == "none") return "";
  std::string filter;
  for (size_t i = 0; i < lower.size();) {
    if (lower.compare(i, 3, "and") == 0) {
      filter += " AND ";
      i += 3;
    } else if (lower.compare(i, 2, "or") == 0) {
      filter += " OR ";
      i += 2;
    } else {
      filter += lower[i++];
    }
  }
  return filter;
}

// How deep the brackets of `text` are at its end; -1 once one closes that
// did not open.
inline int bracketDepth(const std::string& text) {
  int depth = 0;
  for (const char c : text) {
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    if (depth < 0) return -1;
  }
  return depth;
}

inline bool leavesQuoteOpen(const std::string& text) {
  return std::count(text.begin(), text.end(), '\'') % 2 == 1 ||
         std::count(text.begin(), text.end(), '"') % 2 == 1 ||
         (text.find("/*") != std::string::npos && text.find("*/") == std::string::npos);
}

// A field list the tool refuses: it leaves a quote or a bracket open,
// closes one it did not open, or ends the select list (a ';', a comment, a
// word that starts the next clause).
inline bool fieldsRefused(const std::string& fields) {
  if (leavesQuoteOpen(fields) || bracketDepth(fields) != 0) return true;
  if (fields.find_first_of(";") != std::string::npos || fields.find("--") != std::string::npos)
    return true;
  std::string word;
  for (const char c : lowerCase(fields) + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$') {
      word += c;
      continue;
    }
    for (const char* clause : {"from", "where", "union", "intersect", "except", "group", "having",
                               "window", "order", "limit", "offset", "fetch", "for", "into"})
      if (word == clause) return true;
    word.clear();
  }
  return false;
}

// A filter the tool refuses: it closes a bracket it did not open, or leaves
// a quote or a comment open.
inline bool filterRefused(const std::string& filter) {
  return bracketDepth(filter) < 0 || leavesQuoteOpen(filter);
}

// What the test table (Export.BadInputSweepReachesTheServer: id, amount,
// status and the fixture's columns, in a UTF-8 database) lets a statement
// read: no column at all, every column, a number or id,amount; with no
// filter or status=1. Names of no column, other text and bytes that are no
// UTF-8 the server refuses; so are ASCII control bytes, and the vertical
// tab, which PostgreSQL 15 takes for no blank.
inline bool serverReads(const std::string& select, const std::string& filter) {
  const size_t first = select.find_first_not_of(" \t\n\f\r");
  const std::string trimmed =
      first == std::string::npos
          ? ""
          : select.substr(first, select.find_last_not_of(" \t\n\f\r") + 1 - first);
  const bool number =
      !trimmed.empty() && trimmed.find_first_not_of("0123456789") == std::string::npos;
  const bool columns = trimmed.empty() || trimmed == "*" || number || trimmed == "id,amount";
  return columns && (filter.empty() || filter == "status=1");
}

struct Query {
  std::string fields = "id,amount";
  std::string condition = "status=1";
  std::string from = "20240101";
  std::string to = "20240102";
  std::string days = "1";
  std::string delayMs = "0";
};

// Where a query whose arguments pass the tool's checks goes: to a port that
// refuses it, or to the test table.
enum class Reach { kRefusingPort, kTestTable };

// A run of transaction_query: its message and what standard error tells,
// in the order the tool checks its arguments.
inline SweepCase queryCase(const Edition& e, const std::string& word, const Query& q,
                           Reach reach) {
  SweepCase c{e.program, {word, q.fields}, ""};
  if (e.filtered) c.args.push_back(q.condition);
  c.args.insert(c.args.end(), {q.from, q.to, q.days, q.delayMs});
  const auto ends = [&c](const std::string& message, const std::vector<std::string>& lines) {
    c.expected = message;
    c.told.insert(c.told.end(), lines.begin(), lines.end());
    return c;
  };
  if (!isWholeNumber(q.days)) c.told.push_back("warning: days ");
  if (!isWholeNumber(q.delayMs)) c.told.push_back("warning: delay-ms ");
  const int from = dayOf(q.from);
  const int to = dayOf(q.to);
  // A day is read by its first eight characters; past them, with a warning.
  if (from == 0) return ends(kFromInvalid, {"error: date-from "});
  if (q.from.size() > 8) c.told.push_back("warning: date-from ");
  if (to == 0) return ends(kToInvalid, {"error: date-to "});
  if (q.to.size() > 8) c.told.push_back("warning: date-to ");
  if (to < from) c.told.push_back("warning: date-from ");
  const std::string select = lowerCase(q.fields) == "all" ? "*" : lowerCase(q.fields);
  const std::string filter = e.filtered ? filterOf(q.condition) : "";
  // The filter fits 2048 bytes and the statement 10240, each with its zero;
  // the statement has its fixed part besides the select list, and the
  // filter's frame and the filter when there is one.
  if (filter.size() > 2047) return ends(kQueryTooLong, {"error: the condition, rewritten, "});
  if (select.find_first_not_of(" \t\n\v\f\r") == std::string::npos) {
    return ends(kSqlFailed, {"error: the field list ", "hint: "});  // it names nothing
  }
  if (fieldsRefused(select)) return ends(kSqlFailed, {"error: the field list holds ", "hint: "});
  if (filterRefused(filter)) return ends(kSqlFailed, {"error: the condition ", "hint: "});
  const size_t statement = kStatementFixedLength + select.size() +
                           (filter.empty() ? 0 : kFilterFrameLength + filter.size());
  if (statement > 10239) return ends(kQueryTooLong, {"error: the statement would be "});
  c.sent = true;
  c.moreTold = true;
  if (reach == Reach::kRefusingPort) return ends(kNoConnect, {"error: cannot connect: "});
  if (serverReads(select, filter)) {
    c.moreTold = false;
    return ends(kSuccess, {});
  }
  return ends(kSqlFailed, {"error: the statement for " + isoDay(from) + ".."});
}

inline const Edition& editionOf(const std::string& program) {
  for (const Edition& e : kEditions)
    if (e.program == program) return e;
  return kEditions.front();
}

inline bool isUpperHex(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// Standard error's lines begin, after "PROGRAM: ", with `told`, in order.
// With `more`, other lines may come among them, but no warning or error
// that `told` leaves out: the server's notices, libpq's details, hints.
inline void expectTold(const std::string& err, const std::string& program,
                       const std::vector<std::string>& told, bool more) {
  expectOwnLines(err, program);
  size_t next = 0;
  for (size_t start = 0; start < err.size();) {
    const size_t end = std::min(err.find('\n', start), err.size());
    const std::string line = err.substr(start, end - start);
    start = end + 1;
    if (next < told.size() && line.starts_with(program + ": " + told[next])) {
      ++next;
    } else if (!more || line.starts_with(program + ": warning: ") ||
               line.starts_with(program + ": error: ")) {
      ADD_FAILURE() << "a line not expected on standard error: " << line << "\n" << err;
    }
  }
  if (next < told.size()) {
    ADD_FAILURE() << "standard error does not tell " << program << ": " << told[next] << "...\n"
                  << err;
  }
}

// Runs the cases a few at a time and checks each. transaction_query runs in
// `queryDir`, which holds its settings file; db_init in a directory of its
// own; everything else in an empty one.
inline void runSweep(const std::vector<SweepCase>& cases, const std::string& queryDir) {
  TempDir emptyDir;
  std::vector<std::unique_ptr<TempDir>> dirs(cases.size());
  std::vector<RunJob> jobs;
  for (size_t i = 0; i < cases.size(); ++i) {
    const SweepCase& c = cases[i];
    RunJob job{programPath(c.program), c.args, {}};
    const std::string command = commandOf(editionOf(c.program), c.args[0]);
    job.options.cwd = emptyDir.path;
    if (command == "transaction_query") job.options.cwd = queryDir;
    if (command == "db_init") {
      dirs[i] = std::make_unique<TempDir>();
      job.options.cwd = dirs[i]->path;
    }
    job.options.timeoutSeconds = 30;
    jobs.push_back(std::move(job));
  }
  const std::vector<RunResult> results = runAll(jobs, 4);
  for (size_t i = 0; i < cases.size(); ++i) {
    const SweepCase& c = cases[i];
    RunResult r = results[i];
    r.err = withoutLines(r.err, kSuperuserWarning);
    std::string trace = c.program;
    for (const std::string& a : c.args) {
      trace += " [";
      for (const char ch : a.substr(0, 24)) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= ' ' && byte < 0x7F) {
          trace += ch;
        } else {
          trace += "\\x";
          trace += "0123456789abcdef"[byte >> 4];
          trace += "0123456789abcdef"[byte & 0xF];
        }
      }
      trace += "](" + std::to_string(a.size()) + ")";
    }
    SCOPED_TRACE(trace);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.exitStatus, 0);
    // Rows, if any, come first, one per line; the message ends the output.
    const std::string message = r.out.substr(r.out.rfind('\n') + 1);
    if (message.size() < r.out.size()) {
      EXPECT_EQ(commandOf(editionOf(c.program), c.args[0]), "transaction_query") << r.out;
    }
    expectTold(r.err, c.program, c.told, c.moreTold);
    if (c.keyDigits > 0) {
      EXPECT_EQ(message.size(), c.keyDigits) << message;
      EXPECT_TRUE(isUpperHex(message)) << message;
    } else {
      EXPECT_EQ(message, c.expected);
    }
    if (!c.output.empty()) {
      EXPECT_EQ(r.out, c.output);
    }
    if (c.checkRecord) {
      EXPECT_EQ(readFile(dirs[i]->pathOf("db_config.cfg")),
                settingsRecord({c.args.begin() + 1, c.args.end()}));
    }
  }
}

// ---- The cases ----------------------------------------------------------------

inline const std::vector<std::string> kDbValues = {"127.0.0.1", "5432", "user", "password",
                                                   "ledger"};

// The command word alone: lengths in every edition; the special bytes,
// invalid UTF-8 and invalid UTF-8 after a valid word in turns.
inline std::vector<SweepCase> commandWordCases() {
  std::vector<SweepCase> cases;
  const auto word = [&](const Edition& e, const std::string& w) {
    // version takes no argument; every other command some.
    const std::string command = commandOf(e, w);
    SweepCase c{.program = e.program,
                .args = {w},
                .expected = kInvalidCommand,
                .told = {"error: unknown command "},
                .moreTold = true};  // the usage of each command follows
    if (command == "version") {
      c = {.program = e.program, .args = {w}, .expected = e.banner};
    } else if (!command.empty()) {
      c.expected = kInvalidParameters;
      c.told = {"error: " + command + " takes "};
    }
    cases.push_back(c);
  };
  for (size_t ei = 0; ei < kEditions.size(); ++ei)
    for (const std::string& w : lengthTexts(ei)) word(kEditions[ei], w);
  std::vector<std::string> odd;
  for (const char b : kSpecialBytes) odd.emplace_back(1, b);
  for (const std::string& bad : kBadUtf8) {
    odd.push_back(bad);
    odd.push_back("version" + bad);  // a word only has to begin with the command's
  }
  for (size_t i = 0; i < odd.size(); ++i) word(kEditions[i % kEditions.size()], odd[i]);
  return cases;
}

inline std::vector<SweepCase> dbInitCases() {
  std::vector<SweepCase> cases;
  const std::vector<Edition> editions = {kEditions[0], kEditions[1]};
  // Lengths: text that fits every field in all five at once; longer digits
  // in each value on its own, the others valid; longer letters in all five
  // (db_init copies bytes, whatever they are).
  for (size_t ei = 0; ei < editions.size(); ++ei) {
    for (const std::string& text : lengthTexts(ei)) {
      const bool digits = text.find_first_not_of("0123456789") == std::string::npos;
      if (text.size() < 6 || !digits) {
        cases.push_back(dbInitCase(editions[ei], "db_init", std::vector<std::string>(5, text)));
        continue;
      }
      for (size_t p = 0; p < 5; ++p) {
        std::vector<std::string> values = kDbValues;
        values[p] = text;
        cases.push_back(dbInitCase(editions[ei], "db_init", values));
      }
    }
  }
  // Every byte of the hands alone and inside a valid value; the five values
  // of an edition take bytes from different hands in the same run.
  const std::vector<std::string> single = dealBytes(0);
  const std::vector<std::string> inside = dealBytes(kHands / 2);
  for (size_t ei = 0; ei < editions.size(); ++ei) {
    for (size_t run = 0; run < kRunsPerHand; ++run) {
      std::vector<std::string> alone(5), embedded(5);
      for (size_t p = 0; p < 5; ++p) {
        alone[p] = byteFromHand(single[kDbHand + ei * 5 + p], run);
        embedded[p] = embed(kDbValues[p], 2, byteFromHand(inside[kDbHand + ei * 5 + p], run));
      }
      cases.push_back(dbInitCase(editions[ei], "db_init", alone));
      cases.push_back(dbInitCase(editions[ei], "db_init" + embedded[0].substr(2, 1), embedded));
    }
  }
  for (size_t i = 0; i < kBadUtf8.size(); ++i) {
    std::vector<std::string> values;
    for (const std::string& v : kDbValues) values.push_back(embed(v, 1, kBadUtf8[i]));
    values[1] = kBadUtf8[i];  // the port keeps at most five bytes
    cases.push_back(dbInitCase(editions[i % 2], "DB_INIT", values));
  }
  return cases;
}

inline std::vector<SweepCase> apiKeyCases() {
  std::vector<SweepCase> cases;
  for (size_t ei = 0; ei < kEditions.size(); ++ei)
    for (const std::string& key : lengthTexts(ei))
      cases.push_back(apiKeyCase(kEditions[ei], "enc_api_key", key));
  // The bytes of the hands alone and inside a valid key; then, the editions
  // taking turns, the hexadecimal digits, their neighbours and the special
  // bytes, each alone and inside; and invalid UTF-8.
  const std::vector<std::string> single = dealBytes(0);
  const std::vector<std::string> inside = dealBytes(kHands / 2);
  for (size_t ei = 0; ei < kEditions.size(); ++ei) {
    for (const char b : single[kKeyHand + ei])
      cases.push_back(apiKeyCase(kEditions[ei], "enc_api_key", std::string(1, b)));
    for (const char b : inside[kKeyHand + ei])
      cases.push_back(apiKeyCase(kEditions[ei], "enc_api_key" + std::string(1, b),
                                 embed("1a2B", 2, std::string(1, b))));
  }
  std::vector<std::string> edges;
  for (const char b : kSpecialBytes + "/0123456789:@ABCDEFG`abcdefg") edges.emplace_back(1, b);
  edges.insert(edges.end(), kBadUtf8.begin(), kBadUtf8.end());
  for (size_t i = 0; i < edges.size(); ++i) {
    const Edition& e = kEditions[i % kEditions.size()];
    if (edges[i].size() == 1) cases.push_back(apiKeyCase(e, "enc_api_key", edges[i]));
    cases.push_back(apiKeyCase(e, "Enc_Api_Key", embed("1a2B", 2, edges[i])));
  }
  return cases;
}

// transaction_query; `reach` as for queryCase.
inline std::vector<SweepCase> queryCases(Reach reach) {
  std::vector<SweepCase> cases;
  const std::vector<Edition> editions = {kEditions[0], kEditions[1]};
  const std::string word = "transaction_query";
  for (size_t ei = 0; ei < editions.size(); ++ei) {
    const Edition& e = editions[ei];
    // Lengths: each argument on its own; days and delay-ms go with the
    // field list. The delay is only waited for between chunks, and a days
    // of 0 or less, or more than the range, gives one chunk.
    for (const std::string& text : lengthTexts(ei)) {
      Query q;
      q.fields = q.days = q.delayMs = text;
      cases.push_back(queryCase(e, word, q, reach));
      if (e.filtered) {
        q = Query{};
        q.condition = text;
        cases.push_back(queryCase(e, word, q, reach));
      }
      q = Query{};
      q.from = text;
      cases.push_back(queryCase(e, word, q, reach));
      q = Query{};
      q.to = text;
      cases.push_back(queryCase(e, word, q, reach));
    }
    const std::string huge(30, '9');
    for (const std::string& n : {std::to_string(INT_MIN), std::string("-1"), std::string("0"),
                                 std::to_string(INT_MAX), huge, "-" + huge}) {
      Query q;
      q.days = n;
      cases.push_back(queryCase(e, word, q, reach));
      q.days = "0";  // one statement: the delay is never waited for
      q.delayMs = n;
      cases.push_back(queryCase(e, word, q, reach));
    }
  }
  // The bytes of the hands alone and inside a valid argument; fields,
  // condition, days and delay-ms take bytes from different hands in the
  // same run.
  const std::vector<std::string> single = dealBytes(0);
  const std::vector<std::string> inside = dealBytes(kHands / 2);
  for (size_t ei = 0; ei < editions.size(); ++ei) {
    const Edition& e = editions[ei];
    const size_t hand = kQueryHand + (ei == 0 ? 0 : 4);
    for (size_t run = 0; run < kRunsPerHand; ++run) {
      for (const bool alone : {true, false}) {
        const auto pick = [&](size_t offset, const std::string& around) {
          const std::string b = byteFromHand((alone ? single : inside)[hand + offset], run);
          return alone ? b : embed(around, 1, b);
        };
        Query q;
        q.fields = pick(0, "id,amount");
        q.days = pick(1, "10");
        q.delayMs = pick(2, "0");
        if (e.filtered) q.condition = pick(3, "status=1");
        cases.push_back(queryCase(e, alone ? word : word + q.fields.substr(1, 1), q, reach));
      }
    }
  }
  // Days: the special bytes alone (the length decides) and, with every
  // digit, before the last digit ("202401?1"), where blanks, signs and
  // digits each read differently; invalid UTF-8 after and inside a day.
  std::vector<std::string> days;
  for (const char b : kSpecialBytes) days.emplace_back(1, b);
  for (const char b : kSpecialBytes + "0123456789") days.push_back(embed("2024011", 6, {b}));
  for (const std::string& bad : kBadUtf8) {
    days.push_back("20240101" + bad);
    days.push_back(embed("2024011", 6, bad));
  }
  for (size_t i = 0; i < days.size(); ++i) {
    Query q;
    (i % 2 == 0 ? q.from : q.to) = days[i];
    cases.push_back(queryCase(editions[(i / 2) % 2], word, q, reach));
  }
  // Invalid UTF-8 in the other arguments of one run.
  for (size_t i = 0; i < kBadUtf8.size(); ++i) {
    Query q;
    q.fields = embed(q.fields, 3, kBadUtf8[i]);
    q.condition = embed(q.condition, 7, kBadUtf8[i]);
    q.days = "1" + kBadUtf8[i];
    q.delayMs = "0" + kBadUtf8[i];
    cases.push_back(queryCase(editions[i % 2], word, q, reach));
  }
  return cases;
}

}  // namespace sweep
