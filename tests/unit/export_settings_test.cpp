#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/export_settings.h"
#include "commands/session_encoding.h"

TEST(ExportSettings, ReadsEveryVariableAndTellsEachRefusal) {
  using Environment = std::map<std::string, std::string>;
  struct Case {
    Environment env;
    OutputFormat format;
    int retries;
    std::string spoolDirectory;
    std::vector<std::string> refusals;
    int jobs = 1;
  };
  const std::string retriesRefused = " is not a whole number of retries from 0 to 100";
  const std::string jobsRefused = " is not a whole number of connections from 1 to 16";
  const Case cases[] = {
      {{}, OutputFormat::kText, 5, "/tmp", {}},
      {{{"LUMETTOOL_FORMAT", "copy"}, {"LUMETTOOL_RETRIES", "0"}, {"TMPDIR", "/var/tmp"}},
       OutputFormat::kCopy, 0, "/var/tmp", {}},
      {{{"LUMETTOOL_FORMAT", "text"}, {"LUMETTOOL_RETRIES", "100"}, {"TMPDIR", ""}},
       OutputFormat::kText, 100, "/tmp", {}},
      {{{"LUMETTOOL_RETRIES", "+007"}}, OutputFormat::kText, 7, "/tmp", {}},
      {{{"LUMETTOOL_RETRIES", "101"}}, OutputFormat::kText, 5, "/tmp",
       {"LUMETTOOL_RETRIES '101'" + retriesRefused}},
      {{{"LUMETTOOL_RETRIES", " 7"}}, OutputFormat::kText, 5, "/tmp",
       {"LUMETTOOL_RETRIES ' 7'" + retriesRefused}},
      {{{"LUMETTOOL_RETRIES", ""}}, OutputFormat::kText, 5, "/tmp",
       {"LUMETTOOL_RETRIES ''" + retriesRefused}},
      {{{"LUMETTOOL_RETRIES", "99999999999"}}, OutputFormat::kText, 5, "/tmp",
       {"LUMETTOOL_RETRIES '99999999999'" + retriesRefused}},
      // A refused variable keeps none of the others from being read or told.
      {{{"LUMETTOOL_FORMAT", "xml"}, {"LUMETTOOL_RETRIES", "3"}, {"TMPDIR", "/var/tmp"}},
       OutputFormat::kText, 3, "/var/tmp", {"LUMETTOOL_FORMAT 'xml' is neither text nor copy"}},
      {{{"LUMETTOOL_FORMAT", ""}, {"LUMETTOOL_RETRIES", "-1"}}, OutputFormat::kText, 5, "/tmp",
       {"LUMETTOOL_FORMAT is set but empty; set it to text or copy, or unset it",
        "LUMETTOOL_RETRIES '-1'" + retriesRefused}},
      {{{"LUMETTOOL_JOBS", "16"}}, OutputFormat::kText, 5, "/tmp", {}, 16},
      {{{"LUMETTOOL_JOBS", "3"}, {"LUMETTOOL_RETRIES", "x"}}, OutputFormat::kText, 5, "/tmp",
       {"LUMETTOOL_RETRIES 'x'" + retriesRefused}, 3},
      {{{"LUMETTOOL_JOBS", "0"}}, OutputFormat::kText, 5, "/tmp", {"LUMETTOOL_JOBS '0'" + jobsRefused}},
      {{{"LUMETTOOL_JOBS", "17"}}, OutputFormat::kText, 5, "/tmp", {"LUMETTOOL_JOBS '17'" + jobsRefused}},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const auto& [name, value] : c.env) {
      trace.append(name).append("=[").append(value).append("] ");
    }
    SCOPED_TRACE(trace);
    const ExportSettings settings = readExportSettings([&c](const char* name) {
      const auto found = c.env.find(name);
      return found == c.env.end() ? nullptr : found->second.c_str();
    });
    EXPECT_EQ(settings.format, c.format);
    EXPECT_EQ(settings.retries, c.retries);
    EXPECT_EQ(settings.spoolDirectory, c.spoolDirectory);
    EXPECT_EQ(settings.refusals, c.refusals);
    EXPECT_EQ(settings.jobs, c.jobs);
  }
}

TEST(ExportSettings, ComeFromTheProcessEnvironment) {
  // The test's own environment is put back afterwards.
  struct Saved {
    std::string name;
    std::optional<std::string> value;
  };
  std::vector<Saved> saved;
  for (const char* name : {"LUMETTOOL_FORMAT", "TMPDIR"}) {
    const char* value = std::getenv(name);
    saved.push_back({name, value != nullptr ? std::optional<std::string>(value) : std::nullopt});
  }
  ASSERT_EQ(setenv("LUMETTOOL_FORMAT", "copy", 1), 0);
  ASSERT_EQ(setenv("TMPDIR", "/var/tmp", 1), 0);
  const ExportSettings set = exportSettingsFromEnvironment();
  ASSERT_EQ(unsetenv("LUMETTOOL_FORMAT"), 0);
  ASSERT_EQ(unsetenv("TMPDIR"), 0);
  const ExportSettings unset = exportSettingsFromEnvironment();
  for (const Saved& s : saved) {
    if (s.value) (void)setenv(s.name.c_str(), s.value->c_str(), 1);
  }
  EXPECT_EQ(set.format, OutputFormat::kCopy);
  EXPECT_EQ(set.spoolDirectory, "/var/tmp");
  EXPECT_EQ(unset.format, OutputFormat::kText);
  EXPECT_EQ(unset.spoolDirectory, "/tmp");
}

TEST(ExitStatusSetting, OnlyOnAndOffAreTaken) {
  struct Case {
    const char* value;  // nullptr: unset
    bool byOutcome;
    std::string refusal;
  };
  const Case cases[] = {
      {nullptr, false, ""},
      {"on", true, ""},
      {"off", false, ""},
      {"", false, "LUMETTOOL_EXIT_STATUS is set but empty; set it to on or off, or unset it"},
      {"ON", false, "LUMETTOOL_EXIT_STATUS 'ON' is neither on nor off"},
      {"1", false, "LUMETTOOL_EXIT_STATUS '1' is neither on nor off"},
      {"on ", false, "LUMETTOOL_EXIT_STATUS 'on ' is neither on nor off"},
      {"yes", false, "LUMETTOOL_EXIT_STATUS 'yes' is neither on nor off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "unset" : c.value);
    const ExitStatusSetting setting = readExitStatusSetting([&c](const char* name) {
      return std::string_view(name) == "LUMETTOOL_EXIT_STATUS" ? c.value : "on";
    });
    EXPECT_EQ(setting.byOutcome, c.byOutcome);
    EXPECT_EQ(setting.refusal, c.refusal);
  }
}

// The client encoding libpq will ask for, by the server's rules: the
// startup parameter wins over PGOPTIONS, whose last setting wins.
TEST(ExportSettings, ClientEncodingLibpqAsksFor) {
  using Environment = std::map<std::string, std::string>;
  struct Case {
    Environment env;
    ClientEncoding encoding;
    std::string asked;
  };
  const Case cases[] = {
      {{}, ClientEncoding::kAsciiSafe, ""},
      {{{"PGCLIENTENCODING", ""}, {"PGOPTIONS", "-c statement_timeout=5"}},
       ClientEncoding::kAsciiSafe, ""},
      {{{"PGCLIENTENCODING", "Shift_JIS"}}, ClientEncoding::kSjis, "PGCLIENTENCODING 'Shift_JIS'"},
      {{{"PGCLIENTENCODING", "UTF8"}, {"PGOPTIONS", "-c client_encoding=big5"}},
       ClientEncoding::kAsciiSafe, "PGCLIENTENCODING 'UTF8'"},
      {{{"PGCLIENTENCODING", "auto"}}, ClientEncoding::kAsciiSafe, "PGCLIENTENCODING 'auto'"},
      {{{"PGOPTIONS", "-c client_encoding=big5 --CLIENT-ENCODING=win936"}}, ClientEncoding::kGbk,
       "client_encoding 'win936' in PGOPTIONS"},
      {{{"PGOPTIONS", "-cclient_encoding=UHC -c\\ x=1"}}, ClientEncoding::kUhc,
       "client_encoding 'UHC' in PGOPTIONS"},
      {{{"PGOPTIONS", "-c search_path=client_encoding=sjis"}}, ClientEncoding::kAsciiSafe, ""},
  };
  for (const Case& c : cases) {
    const ExpectedEncoding expected = expectedClientEncoding([&c](const char* name) {
      const auto found = c.env.find(name);
      return found == c.env.end() ? nullptr : found->second.c_str();
    });
    EXPECT_EQ(expected.encoding, c.encoding) << c.asked;
    EXPECT_EQ(expected.asked, c.asked);
  }
}

// Once connected, a field list or condition whose bytes the session's
// encoding groups otherwise than the one they were rewritten for is refused.
TEST(ExportSettings, RewritingMustFitTheSessionsEncoding) {
  struct Case {
    std::string fields, condition;
    ClientEncoding expected;
    std::string session, error;
  };
  const std::string sjis = "\x83\x41";
  const Case cases[] = {
      {"id", "note='x'", ClientEncoding::kAsciiSafe, "SJIS", ""},  // nothing above 127
      {sjis, "", ClientEncoding::kAsciiSafe, "UTF8", ""},
      {sjis, "", ClientEncoding::kSjis, "SHIFT_JIS_2004", ""},
      {"\xB1", "", ClientEncoding::kAsciiSafe, "SJIS", ""},  // a half-width katakana
      {sjis, "", ClientEncoding::kAsciiSafe, "SJIS",
       "the session's client encoding is 'SJIS', whose characters take the field list's bytes "
       "above 127 otherwise than the encoding they were rewritten for (none asked for in "
       "PGCLIENTENCODING or PGOPTIONS)"},
      {"id", sjis, ClientEncoding::kSjis, "UTF8",
       "the session's client encoding is 'UTF8', whose characters take the condition's bytes "
       "above 127 otherwise than the encoding they were rewritten for (PGCLIENTENCODING 'SJIS')"},
  };
  for (const Case& c : cases) {
    const std::string asked =
        c.expected == ClientEncoding::kAsciiSafe ? "" : "PGCLIENTENCODING 'SJIS'";
    const QueryTextRefusal refusal =
        encodingMismatch(c.fields, c.condition, c.expected, asked, c.session);
    EXPECT_EQ(refusal.error, c.error) << c.session;
    EXPECT_EQ(refusal.hint, c.error.empty() ? "" : "set PGCLIENTENCODING=" + c.session +
                                                       " so that they are rewritten for it; "
                                                       "nothing was sent");
  }
}
