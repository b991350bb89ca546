// Command selection and argument counts of the three editions.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "tests/cli/cli_cases.h"
#include "tests/support/final_message.h"

namespace {

const std::string k21 = "lumettool";
const std::string k20 = "lumettool-2.0";
const std::string k10 = "lumettool-1.0";
// A valid query reaches the settings reader, which finds no file.
const std::string kNoSettings = finalMessage(Outcome::kOpenConfigFailed);
const std::string kNoSettingsWhy =
    "error: cannot open the settings file './db_config.cfg': No such file or directory";
const std::string kParams = finalMessage(Outcome::kInvalidParameters);
const std::string kCommand = finalMessage(Outcome::kInvalidCommand);

// What --help and -h print in each edition.
const std::string kHelp21 =
    "Usage:\n"
    "  lumettool version\n"
    "  lumettool db_init host-address port user password database-name\n"
    "  lumettool enc_api_key api-key\n"
    "  lumettool transaction_query fields condition date-from date-to days delay-ms\n"
    "  lumettool --help | -h\n"
    "  lumettool --version";
const std::string kHelp20 =
    "Usage:\n"
    "  lumettool-2.0 version\n"
    "  lumettool-2.0 db_init host-address port user password database-name\n"
    "  lumettool-2.0 enc_api_key api-key\n"
    "  lumettool-2.0 transaction_query fields date-from date-to days delay-ms\n"
    "  lumettool-2.0 --help | -h\n"
    "  lumettool-2.0 --version";
const std::string kHelp10 =
    "Usage:\n"
    "  lumettool-1.0 version\n"
    "  lumettool-1.0 enc_api_key api-key\n"
    "  lumettool-1.0 --help | -h\n"
    "  lumettool-1.0 --version";

std::vector<std::string> commandLine(const std::string& word, std::vector<std::string> params) {
  params.insert(params.begin(), word);
  return params;
}

TEST(Dispatch, SelectsCommandAndChecksArgumentCount) {
  const std::vector<std::string> q21 = {"f", "none", "20240101", "20240102", "0", "0"};
  const std::vector<std::string> q20 = {"f", "20240101", "20240102", "abc", "x"};
  const std::vector<std::string> init = {"127.0.0.1", "5432", "u", "p", "d"};
  const std::string usage21 =
      "lumettool: hint: usage: lumettool transaction_query fields condition date-from date-to "
      "days delay-ms\n";
  expectRuns({
      exitsWhenOn(64, {k21, {}, kParams, "lumettool: error: no command given\n"}),
      {k10, {}, kParams, "lumettool-1.0: hint: usage: lumettool-1.0 enc_api_key api-key\n"},
      exitsWhenOn(0, {k21, {"version"}, "New Darvo Lumet Version 2.1"}),
      {k20, {"VERSION"}, "New Darvo Lumet Version 2.0"},
      {k10, {"versionx"}, "New Darvo Lumet Version 1.0"},
      exitsWhenOn(64, {k21, {"version", "x"}, kParams, "error: version takes no arguments, 1 given\n"}),
      {k10, {"Version", ""}, kParams, "error: 'Version' (version) takes no arguments, 1 given"},
      {k20, {"version", "x", "y"}, kParams, "hint: usage: lumettool-2.0 version\n"},
      {k21, {""}, kCommand, "error: unknown command ''\n"},
      exitsWhenOn(64, {k21, {"vers"}, kCommand, "hint: did you mean 'version'?"}),
      {k20, {"xversion"}, kCommand, "hint: did you mean 'version'?"},
      {k21, {"transactoin_query"}, kCommand, "error: unknown command 'transactoin_query'\n"
                                             "lumettool: hint: did you mean 'transaction_query'?"},
      {k20, {"DB_INTI", "x"}, kCommand, "hint: did you mean 'db_init'?"},
      {k10, {"enc_apikey", "00"}, kCommand, "hint: did you mean 'enc_api_key'?"},
      {k21, {"help"}, kCommand, usage21},
      {k21, {"enc_api_key"}, kParams, "error: enc_api_key takes 1 argument, 0 given\n"},
      exitsWhenOn(0, {k10, {"ENC_API_KEY", "00"}, "7F"}),
      {k20, {"enc_api_key", "00", "00"}, kParams, "hint: usage: lumettool-2.0 enc_api_key api-key"},
      {k21, commandLine("db_init", init), finalMessage(Outcome::kSuccess)},
      exitsWhenOn(0, {k20, commandLine("DB_INIT", init), finalMessage(Outcome::kSuccess)}),
      {k21, commandLine("db_init", {"127.0.0.1", "5432", "u", "p"}), kParams,
       "error: db_init takes 5 arguments, 4 given\nlumettool: hint: usage: lumettool db_init "
       "host-address port user password database-name\n"},
      exitsWhenOn(64, {k10, commandLine("db_init", init), kCommand, "error: unknown command 'db_init'"}),
      {k10, {"db_init"}, kCommand, "hint: usage: lumettool-1.0 version\n"},
      {k10, commandLine("transaction_query", q21), kCommand, "unknown command 'transaction_query'"},
      {k10, commandLine("transaction_query", q20), kCommand, "unknown command 'transaction_query'"},
      exitsWhenOn(78, {k21, commandLine("transaction_query", q21), kNoSettings, kNoSettingsWhy}),
      {k21, commandLine("Transaction_Query_All", q21), kNoSettings, kNoSettingsWhy},
      {k21, commandLine("transaction_query", q20), kParams,
       "error: transaction_query takes 6 arguments, 5 given\n" + usage21},
      exitsWhenOn(78, {k20, commandLine("transaction_query", q20), kNoSettings, kNoSettingsWhy}),
      {k20, commandLine("transaction_query_all", q20), kNoSettings, kNoSettingsWhy},
      exitsWhenOn(64, {k20, commandLine("transaction_query", q21), kParams,
                       "error: transaction_query takes 5 arguments, 6 given"}),
  });
}

// The options count only as the one argument, written exactly so; with
// anything after them, or in other case, they are unknown words as before.
TEST(Dispatch, HelpAndVersionOptions) {
  expectRuns({
      exitsWhenOn(0, {k21, {"--help"}, kHelp21}),
      {k21, {"-h"}, kHelp21},
      {k21, {"--version"}, "New Darvo Lumet Version 2.1"},
      {k20, {"--help"}, kHelp20},
      {k20, {"-h"}, kHelp20},
      {k20, {"--version"}, "New Darvo Lumet Version 2.0"},
      {k10, {"--help"}, kHelp10},
      {k10, {"-h"}, kHelp10},
      exitsWhenOn(0, {k10, {"--version"}, "New Darvo Lumet Version 1.0"}),
      {k21, {"--help", "version"}, kCommand,
       "error: --help must be the only argument; 1 more given"},
      {k20, {"--version", "x"}, kCommand, "error: --version must be the only argument"},
      exitsWhenOn(64, {k10, {"-h", "x", "y"}, kCommand,
                       "error: -h must be the only argument; 2 more given"}),
      {k21, {"--HELP"}, kCommand,
       "error: unknown command '--HELP'\nlumettool: hint: did you mean '--help'?"},
      {k10, {"-help"}, kCommand, "hint: did you mean '--help'?"},
      {k20, {"--versoin"}, kCommand, "hint: did you mean '--version'?"},
      {k21, {"-H"}, kCommand, "hint: did you mean '-h'?"},
  });
}

// A LUMETTOOL_EXIT_STATUS that is neither on nor off is refused before any
// command is looked up, and the exit status stays 0 as without it. The
// options still print what they print.
TEST(Dispatch, RefusesAnExitStatusSettingItCannotRead) {
  const std::vector<std::string> init = {"127.0.0.1", "5432", "u", "p", "d"};
  const std::vector<std::string> q21 = {"f", "none", "20240101", "20240102", "0", "0"};
  const std::vector<std::string> q20 = {"f", "20240101", "20240102", "0", "0"};
  const auto refused = [](const std::string& program, const std::string& value) {
    return program + ": error: LUMETTOOL_EXIT_STATUS '" + value + "' is neither on nor off\n";
  };
  const std::vector<std::string> yes = {"LUMETTOOL_EXIT_STATUS=yes"};
  std::vector<CliCase> cases = {
      {k21, {"version"}, kParams, refused(k21, "yes"), std::nullopt, yes},
      {k21, {"enc_api_key", "00"}, kParams, refused(k21, "yes"), std::nullopt, yes},
      {k21, commandLine("db_init", init), kParams, refused(k21, "yes"), std::nullopt, yes},
      {k21, commandLine("transaction_query", q21), kParams, refused(k21, "1"), std::nullopt,
       {"LUMETTOOL_EXIT_STATUS=1"}},
      {k20, {"version"}, kParams, refused(k20, "On"), std::nullopt, {"LUMETTOOL_EXIT_STATUS=On"}},
      {k20, {"enc_api_key", "00"}, kParams, refused(k20, "yes"), std::nullopt, yes},
      {k20, commandLine("db_init", init), kParams, refused(k20, "yes"), std::nullopt, yes},
      {k20, commandLine("transaction_query", q20), kParams, refused(k20, "yes"), std::nullopt, yes},
      {k10, {"version"}, kParams, refused(k10, "yes"), std::nullopt, yes},
      {k10, {"enc_api_key", "00"}, kParams,
       "lumettool-1.0: error: LUMETTOOL_EXIT_STATUS is set but empty; set it to on or off, or "
       "unset it\n",
       std::nullopt, {"LUMETTOOL_EXIT_STATUS="}},
      // Before the word is looked up or the arguments counted.
      {k10, {"db_init"}, kParams, refused(k10, "yes"), std::nullopt, yes},
      {k21, {}, kParams, refused(k21, "yes"), std::nullopt, yes},
      {k21, {"--version"}, "New Darvo Lumet Version 2.1", "", std::nullopt, yes},
      {k10, {"-h"}, kHelp10, "", std::nullopt, yes},
      // off is today's behaviour.
      {k20, {"version", "x"}, kParams, "error: version takes no arguments, 1 given\n",
       std::nullopt, {"LUMETTOOL_EXIT_STATUS=off"}},
  };
  expectRuns(cases);
}

// Merged into standard output (2>&1), the reasons come first and the
// final message is still the last line, whole.
TEST(Dispatch, MergedStreamsEndWithTheFinalMessage) {
  const std::vector<CliCase> cases = {
      {k21, {"transactoin_query"}, kCommand, "lumettool: error: unknown command"},
      {k20, {"db_init", std::string(21, '1'), "5432", "u", "p", "d"},
       finalMessage(Outcome::kParameterTooLong),
       "lumettool-2.0: error: the host address is 21 bytes long"},
      {k21, {"transaction_query", "f", "none", "20240101", "20240101", "0", "0"}, kNoSettings,
       "lumettool: error: cannot open the settings file"},
  };
  for (const CliCase& c : cases) {
    SCOPED_TRACE(c.program + " " + c.args[0]);
    TempDir dir;
    RunOptions options = optionsIn(dir.path);
    options.mergeStderr = true;
    const RunResult r = runProgram(programPath(c.program), c.args, options);
    const size_t lastLine = r.out.rfind('\n') + 1;
    EXPECT_EQ(r.out.substr(lastLine), c.expected);
    EXPECT_TRUE(r.out.starts_with(c.errHas)) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

// The exit status tells only whether standard output could be written;
// with LUMETTOOL_EXIT_STATUS=on it is 74 whatever the outcome was.
TEST(Dispatch, FailedStandardOutputExitsWithOne) {
  for (const char* setting : {"", "off", "on"}) {
    SCOPED_TRACE(setting);
    RunOptions options;
    options.stdoutPath = "/dev/full";
    if (*setting != '\0') options.env = {std::string("LUMETTOOL_EXIT_STATUS=") + setting};
    const int status = std::string_view(setting) == "on" ? 74 : 1;
    for (const std::string& program : {k21, k20, k10}) {
      SCOPED_TRACE(program);
      EXPECT_EQ(runProgram(programPath(program), {"version"}, options).exitStatus, status);
      EXPECT_EQ(runProgram(programPath(program), {}, options).exitStatus, status);
      EXPECT_EQ(runProgram(programPath(program), {"enc_api_key", "ab"}, options).exitStatus,
                status);
    }
  }
  // A refused setting keeps today's status.
  RunOptions options;
  options.stdoutPath = "/dev/full";
  options.env = {"LUMETTOOL_EXIT_STATUS=yes"};
  EXPECT_EQ(runProgram(programPath(k21), {"version"}, options).exitStatus, 1);
}

}  // namespace
