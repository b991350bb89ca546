// lumettool-2.0, edition 2.0: every command; the transaction query has no filter.
#include <array>

#include "app/dispatch.h"
#include "app/handlers.h"

namespace {

constexpr std::array kCommands{
    Command{"version", 2, runVersion, ""},
    Command{"db_init", 7, runDbInit, "host-address port user password database-name"},
    Command{"enc_api_key", 3, runEncryptApiKey, "api-key"},
    Command{"transaction_query", 7, runTransactionQueryUnfiltered,
            "fields date-from date-to days delay-ms"},
};

constexpr Edition kEdition{"lumettool-2.0", "New Darvo Lumet Version 2.0", kCommands};

static_assert(argumentNamesMatchCounts(kCommands));

}  // namespace

int main(int argc, char** argv) { return dispatch(kEdition, argc, argv); }
