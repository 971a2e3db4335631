// Module definition and the two entry functions.
#pragma once

#include "pyglue.hpp"

namespace varnel {

// Adds run_fuzzingclient and run_fuzzingserver to the module, in that order.
void register_entry_functions(nb::module_ m);

}  // namespace varnel
