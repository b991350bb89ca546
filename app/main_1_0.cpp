// lumettool-1.0, edition 1.0: version and enc_api_key only.
#include <array>

#include "app/dispatch.h"
#include "app/handlers.h"

namespace {

constexpr std::array kCommands{
    Command{"version", 2, runVersion, ""},
    Command{"enc_api_key", 3, runEncryptApiKey, "api-key"},
};

constexpr Edition kEdition{"lumettool-1.0", "New Darvo Lumet Version 1.0", kCommands};

static_assert(argumentNamesMatchCounts(kCommands));

}  // namespace

int main(int argc, char** argv) { return dispatch(kEdition, argc, argv); }
