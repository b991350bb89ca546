// lumettool, edition 2.1: every command; the transaction query takes a filter.
#include <array>

#include "app/dispatch.h"
#include "app/handlers.h"

namespace {

constexpr std::array kCommands{
    Command{"version", 2, runVersion, ""},
    Command{"db_init", 7, runDbInit, "host-address port user password database-name"},
    Command{"enc_api_key", 3, runEncryptApiKey, "api-key"},
    Command{"transaction_query", 8, runTransactionQueryFiltered,
            "fields condition date-from date-to days delay-ms"},
};

constexpr Edition kEdition{"lumettool", "New Darvo Lumet Version 2.1", kCommands};

static_assert(argumentNamesMatchCounts(kCommands));

}  // namespace

int main(int argc, char** argv) { return dispatch(kEdition, argc, argv); }
