#include "commands/session_encoding.h"

#include <vector>

#include "util/diagnostics.h"
#include "util/text.h"

namespace {

// The words of `options` as the server splits them: at blanks, a backslash
// taking the next byte into the word.
std::vector<std::string> optionWords(std::string_view options) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < options.size(); ++i) {
    char c = options[i];
    if (isAsciiSpace(c)) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      continue;
    }
    if (c == '\\' && i + 1 < options.size()) c = options[++i];
    word += c;
    inWord = true;
  }
  if (inWord) words.push_back(word);
  return words;
}

// A setting's name as the server compares them: lower case, '-' as '_'.
std::string settingName(std::string_view name) {
  std::string clean;
  for (const char c : name) clean += c == '-' ? '_' : asciiLower(c);
  return clean;
}

}  // namespace

std::string clientEncodingInOptions(std::string_view options) {
  const std::vector<std::string> words = optionWords(options);
  std::string value;
  for (size_t i = 0; i < words.size(); ++i) {
    std::string_view setting = words[i];
    if (setting == "-c" && i + 1 < words.size()) {
      setting = words[++i];
    } else if (setting.starts_with("-c") || setting.starts_with("--")) {
      setting.remove_prefix(2);
    } else {
      continue;
    }
    const size_t equals = setting.find('=');
    if (equals != std::string_view::npos &&
        settingName(setting.substr(0, equals)) == "client_encoding") {
      value = setting.substr(equals + 1);
    }
  }
  return value;
}

ExpectedEncoding expectedClientEncoding(const EnvironmentLookup& lookup) {
  // libpq sends an empty PGCLIENTENCODING as none at all.
  if (const char* name = lookup("PGCLIENTENCODING"); name != nullptr && *name != '\0') {
    return {clientEncodingNamed(name), "PGCLIENTENCODING " + quoted(name)};
  }
  if (const char* options = lookup("PGOPTIONS"); options != nullptr) {
    if (const std::string name = clientEncodingInOptions(options); !name.empty()) {
      return {clientEncodingNamed(name), "client_encoding " + quoted(name) + " in PGOPTIONS"};
    }
  }
  return {};
}

QueryTextRefusal encodingMismatch(std::string_view fields, std::string_view condition,
                                  ClientEncoding expected, std::string_view asked,
                                  std::string_view session) {
  const ClientEncoding actual = clientEncodingNamed(session);
  if (actual == expected) return {};
  const auto sameCharacters = [&](std::string_view text) {
    return trailingBytesHidden(text, expected) == trailingBytesHidden(text, actual);
  };
  const bool fieldsSame = sameCharacters(fields);
  if (fieldsSame && sameCharacters(condition)) return {};
  const std::string rewrittenFor =
      asked.empty() ? std::string("none asked for in PGCLIENTENCODING or PGOPTIONS")
                    : std::string(asked);
  return {"the session's client encoding is " + quoted(session) + ", whose characters take the " +
              (fieldsSame ? "condition's" : "field list's") +
              " bytes above 127 otherwise than the encoding they were rewritten for (" +
              rewrittenFor + ")",
          "set PGCLIENTENCODING=" + std::string(session) +
              " so that they are rewritten for it; nothing was sent"};
}
