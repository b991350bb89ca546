// lumettool, edition 2.1: every command; the transaction query takes a filter.
#include <array>

#include "app/dispatch.h"
#include "app/handlers.h"

namespace {

constexpr std::array kCommands{
    Command{"version", 2, vdRunVersion},
    Command{"db_init", 7, vdRunDbInit},
    Command{"enc_api_key", 3, vdRunEncryptApiKey},
    Command{"transaction_query", 8, vdRunTransactionQueryFiltered},
};

constexpr Edition kEdition{"lumettool", "New Darvo Lumet Version 2.1", kCommands};

}  // namespace

int main(int argc, char** argv) { return inDispatch(kEdition, argc, argv); }
