// The bad-input sweep: every positional argument of every command of the
// three editions, fed text of awkward lengths, every byte and invalid UTF-8.
// Each run must end with one of its command's final messages (the exact one
// where the input decides it) with status 0, no signal and in bounded time.
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

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/cli/cli_cases.h"
#include "tests/support/final_message.h"

namespace sweep {

inline const std::string kInvalidParameters = finalMessage(Outcome::kInvalidParameters);
inline const std::string kInvalidCommand = finalMessage(Outcome::kInvalidCommand);
inline const std::string kSuccess = finalMessage(Outcome::kSuccess);
inline const std::string kTooLong = finalMessage(Outcome::kParameterTooLong);
inline const std::string kCreateFailed = finalMessage(Outcome::kCreateConfigFailed);
inline const std::string kWriteFailed = finalMessage(Outcome::kWriteConfigFailed);
inline const std::string kInvalidKey = finalMessage(Outcome::kInvalidApiKey);
inline const std::string kNoMemory = finalMessage(Outcome::kAllocationFailed);
inline const std::string kFromInvalid = finalMessage(Outcome::kDateFromInvalid);
inline const std::string kToInvalid = finalMessage(Outcome::kDateToInvalid);
inline const std::string kQueryTooLong = finalMessage(Outcome::kQueryTooLong);
inline const std::string kOpenFailed = finalMessage(Outcome::kOpenConfigFailed);
inline const std::string kReadFailed = finalMessage(Outcome::kReadConfigFailed);
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
  std::string expected;           // the exact final message; empty: any of the command's
  size_t keyDigits = 0;           // enc_api_key: the enciphered key has this many digits
  bool checkRecord = false;       // db_init: ./db_config.cfg then holds args[1..5]
  std::string output = {};        // when set, the whole output, rows included
};

// ---- What the input decides -------------------------------------------------

inline bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

inline SweepCase dbInitCase(const Edition& e, const std::string& word,
                            const std::vector<std::string>& values) {
  SweepCase c{e.program, {word}, kSuccess};
  c.args.insert(c.args.end(), values.begin(), values.end());
  for (size_t i = 0; i < 5; ++i)
    if (values[i].size() >= kSettingsWidths[i]) c.expected = kTooLong;
  c.checkRecord = c.expected == kSuccess;
  return c;
}

inline SweepCase apiKeyCase(const Edition& e, const std::string& word, const std::string& key) {
  SweepCase c{e.program, {word, key}, kInvalidKey};
  const bool hex = std::all_of(key.begin(), key.end(), [](char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
  });
  if (hex && !key.empty() && key.size() <= 2048) {
    c.expected.clear();
    c.keyDigits = key.size() + key.size() % 2;
  }
  return c;
}

// A day argument: eight characters whose pieces read (C's atoi) as a year
// 2000..2100, a month 1..12 and a day of that month.
inline bool isValidDay(const std::string& arg) {
  if (arg.size() < 8) return false;
  const int year = std::atoi(arg.substr(0, 4).c_str());
  const int month = std::atoi(arg.substr(4, 2).c_str());
  const int day = std::atoi(arg.substr(6, 2).c_str());
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return year >= 2000 && year <= 2100 && month >= 1 && month <= 12 && day >= 1 &&
         day <= monthDays[month - 1];
}

struct Query {
  std::string fields = "id,amount";
  std::string condition = "status=1";
  std::string from = "20240101";
  std::string to = "20240102";
  std::string days = "1";
  std::string delayMs = "0";
};

// `valid` is what a query whose arguments pass every check ends with:
// without a server the refused connection, with one "" (the rows decide).
inline SweepCase queryCase(const Edition& e, const std::string& word, const Query& q,
                           const std::string& valid) {
  SweepCase c{e.program, {word, q.fields}, valid};
  if (e.filtered) c.args.push_back(q.condition);
  c.args.insert(c.args.end(), {q.from, q.to, q.days, q.delayMs});
  if (!isValidDay(q.from)) {
    c.expected = kFromInvalid;
  } else if (!isValidDay(q.to)) {
    c.expected = kToInvalid;
  } else {
    // The statement is 141 characters besides the fields, 8 more and the
    // condition with a filter; with its zero it must fit 10240 bytes, and
    // the condition 2048. A blank condition is no filter; one that spells
    // and, or or none is rewritten, which is left to the set of messages.
    // A condition that closes a bracket it did not open is refused; where
    // quotes or comments could hide a bracket, that too is left to the set.
    size_t filter = 0;
    if (e.filtered && !std::all_of(q.condition.begin(), q.condition.end(), isBlank)) {
      const std::string lower = lowerCase(q.condition);
      for (const char* rewritten : {"and", "or", "none", "'", "\"", "$", "--", "/*"})
        if (lower.find(rewritten) != std::string::npos) c.expected.clear();
      int depth = 0;
      for (const char ch : q.condition) {
        depth += ch == '(' ? 1 : 0;
        if (ch == ')' && --depth < 0) break;
      }
      if (depth < 0 && !c.expected.empty()) c.expected = kSqlFailed;
      filter = q.condition.size();
    }
    // A field list that could reach past its select list is refused; which
    // ones do is left to the set as well.
    const std::string fields = lowerCase(q.fields);
    for (const char* risky : {"'", "\"", "$", "--", "/*", ";", "(", ")", "from", "where", "union",
                              "intersect", "except", "group", "having", "window", "order",
                              "limit", "offset", "fetch", "for", "into"})
      if (fields.find(risky) != std::string::npos) c.expected.clear();
    const bool all = fields == "all";
    // The rewritten condition's length is checked first, the statement's
    // after the refusals.
    const size_t statement = 141 + (all ? 1 : q.fields.size()) + (filter > 0 ? 8 + filter : 0);
    if (filter > 2047 || (statement > 10239 && !c.expected.empty())) c.expected = kQueryTooLong;
  }
  return c;
}

// Every final message a run of `args` may end with in edition `e`.
inline std::vector<std::string> finalMessagesOf(const Edition& e, const std::string& word) {
  std::vector<std::string> messages = {kInvalidParameters, kInvalidCommand};
  const std::string command = commandOf(e, word);
  if (command == "version") messages.push_back(e.banner);
  if (command == "db_init")
    messages.insert(messages.end(), {kSuccess, kTooLong, kCreateFailed, kWriteFailed});
  if (command == "enc_api_key") messages.insert(messages.end(), {kInvalidKey, kNoMemory});
  if (command == "transaction_query")
    messages.insert(messages.end(), {kSuccess, kFromInvalid, kToInvalid, kQueryTooLong,
                                     kOpenFailed, kReadFailed, kNoConnect, kSqlFailed});
  return messages;
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
    if (c.keyDigits > 0) {
      EXPECT_EQ(message.size(), c.keyDigits) << message;
      EXPECT_TRUE(isUpperHex(message)) << message;
      EXPECT_EQ(r.err, "");
      continue;
    }
    // Success says nothing on standard error (but that a range ending
    // before it starts is empty, and what became of values that no export
    // connects with or that are not whole numbers); every refusal says why.
    if (message == kSuccess || message == editionOf(c.program).banner) {
      std::string err = r.err;
      for (const char* warned : {": warning: the host address ", ": warning: the port ",
                                 ": hint: leave the host address empty", ": warning: days ",
                                 ": warning: delay-ms "}) {
        err = withoutLines(err, c.program + warned);
      }
      const bool emptyRange = err.starts_with(c.program + ": warning: date-from ") &&
                              err.find('\n') + 1 == err.size();
      if (!emptyRange) {
        EXPECT_EQ(err, "");
      }
    }
    for (const std::string& told :
         {kInvalidParameters, kInvalidCommand, kTooLong, kCreateFailed, kWriteFailed, kInvalidKey,
          kOpenFailed, kReadFailed, kFromInvalid, kToInvalid, kQueryTooLong, kNoConnect,
          kSqlFailed}) {
      if (message != told) continue;
      // Notices and warnings may come first.
      const std::string reason = c.program + ": error: ";
      EXPECT_TRUE(r.err.starts_with(reason) || r.err.find("\n" + reason) != std::string::npos)
          << r.err;
      expectOwnLines(r.err, c.program);
    }
    const std::vector<std::string> messages = finalMessagesOf(editionOf(c.program), c.args[0]);
    EXPECT_TRUE(std::find(messages.begin(), messages.end(), message) != messages.end())
        << "not a final message of this command: " << message;
    if (!c.expected.empty()) {
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
    SweepCase c{e.program, {w}, kInvalidCommand};
    if (commandOf(e, w) == "version") c.expected = e.banner;
    else if (!commandOf(e, w).empty()) c.expected.clear();
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

// transaction_query; `valid` as for queryCase.
inline std::vector<SweepCase> queryCases(const std::string& valid) {
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
      cases.push_back(queryCase(e, word, q, valid));
      if (e.filtered) {
        q = Query{};
        q.condition = text;
        cases.push_back(queryCase(e, word, q, valid));
      }
      q = Query{};
      q.from = text;
      cases.push_back(queryCase(e, word, q, valid));
      q = Query{};
      q.to = text;
      cases.push_back(queryCase(e, word, q, valid));
    }
    const std::string huge(30, '9');
    for (const std::string& n : {std::to_string(INT_MIN), std::string("-1"), std::string("0"),
                                 std::to_string(INT_MAX), huge, "-" + huge}) {
      Query q;
      q.days = n;
      cases.push_back(queryCase(e, word, q, valid));
      q.days = "0";  // one statement: the delay is never waited for
      q.delayMs = n;
      cases.push_back(queryCase(e, word, q, valid));
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
        cases.push_back(queryCase(e, alone ? word : word + q.fields.substr(1, 1), q, valid));
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
    cases.push_back(queryCase(editions[(i / 2) % 2], word, q, valid));
  }
  // Invalid UTF-8 in the other arguments of one run.
  for (size_t i = 0; i < kBadUtf8.size(); ++i) {
    Query q;
    q.fields = embed(q.fields, 3, kBadUtf8[i]);
    q.condition = embed(q.condition, 7, kBadUtf8[i]);
    q.days = "1" + kBadUtf8[i];
    q.delayMs = "0" + kBadUtf8[i];
    cases.push_back(queryCase(editions[i % 2], word, q, valid));
  }
  return cases;
}

}  // namespace sweep
