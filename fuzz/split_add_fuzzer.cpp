// Fuzzes pszSplitString and pszAddStringPtr (util/text) against a model
// built on std::string.
//
// Input: zero-separated text, delimiter set, token index (decimal text) and
// any number of list items. Checked:
//  - pszSplitString gives the model's token: the text cut at every
//    delimiter byte, where a last piece that is empty (the text is empty or
//    ends with a delimiter) is no token, and a negative index none;
//  - pszAddStringPtr grows the list to the items joined by '|', one step at
//    a time (leaks of the consumed list are caught by the leak checker);
//  - splitting the list at '|' gives the items back when none holds a '|'.

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "util/text.h"

namespace {

std::vector<std::string> splitPieces(std::string_view text, std::string_view delims) {
  std::vector<std::string> pieces(1);
  for (const char c : text) {
    if (delims.find(c) != std::string_view::npos) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  return pieces;
}

std::optional<std::string> modelToken(const std::vector<std::string>& pieces, long long index) {
  if (index < 0 || static_cast<unsigned long long>(index) >= pieces.size()) return std::nullopt;
  const size_t i = static_cast<size_t>(index);
  if (i + 1 == pieces.size() && pieces[i].empty()) return std::nullopt;
  return pieces[i];
}

std::optional<std::string> libraryToken(const std::string& text, const std::string& delims,
                                        int index) {
  char* token = pszSplitString(text.c_str(), delims.c_str(), index);
  if (token == nullptr) return std::nullopt;
  std::string copy(token);
  std::free(token);
  return copy;
}

int indexArg(const std::vector<std::string>& args) {
  if (args.size() < 3) return 0;
  const long long v = std::strtoll(args[2].c_str(), nullptr, 10);
  return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::vector<std::string> args = splitArguments(data, size);
  const std::string& text = args[0];
  const std::string delims = args.size() > 1 ? args[1] : ",";

  const std::vector<std::string> pieces = splitPieces(text, delims);
  for (const int i : {indexArg(args), -1, INT_MIN, INT_MAX}) {
    FUZZ_CHECK(libraryToken(text, delims, i) == modelToken(pieces, i));
  }
  // Every token up to one past the last (bounded, to keep runs fast).
  for (size_t i = 0; i <= pieces.size() && i < 64; ++i) {
    FUZZ_CHECK(libraryToken(text, delims, static_cast<int>(i)) ==
               modelToken(pieces, static_cast<long long>(i)));
  }

  char* list = nullptr;
  std::string joined;
  bool anyBar = false;
  const size_t first = args.size() > 3 ? 3 : args.size();
  for (size_t i = first; i < args.size(); ++i) {
    list = pszAddStringPtr(list, args[i].c_str());
    joined += (i == first ? "" : "|") + args[i];
    anyBar = anyBar || args[i].find('|') != std::string::npos;
    FUZZ_CHECK(list != nullptr && joined == list);
  }
  if (list != nullptr && !anyBar) {
    const std::string all(list);
    const size_t count = args.size() - first;
    for (size_t i = 0; i < count && i < 64; ++i) {
      const std::optional<std::string> token = libraryToken(all, "|", static_cast<int>(i));
      const bool lastEmpty = i + 1 == count && args[first + i].empty();
      FUZZ_CHECK(lastEmpty ? token == std::nullopt : token == args[first + i]);
    }
  }
  std::free(list);
  return 0;
}
