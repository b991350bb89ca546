// lumettool, edition 2.1: every command; the transaction query takes a filter.
#include <array>

#include "app/dispatch.h"
#include "app/handlers.h"

namespace {

constexpr std::array kCommands{
    Command{"version", 2, vdRunVersion, ""},
    Command{"db_init", 7, vdRunDbInit, "host-address port user password database-name"},
    Command{"enc_api_key", 3, vdRunEncryptApiKey, "api-key"},
    Command{"transaction_query", 8, vdRunTransactionQueryFiltered,
            "fields condition date-from date-to days delay-ms"},
};

constexpr Edition kEdition{"lumettool", "New Darvo Lumet Version 2.1", kCommands};

static_assert(boArgumentNamesMatchCounts(kCommands));

}  // namespace

int main(int argc, char** argv) { return inDispatch(kEdition, argc, argv); }
