#pragma once

// Everything the analysis can ask of a host about a scene, as one value, so two backends
// (or two ways of loading the same document) can be compared whole.

#include "host/host.h"

namespace script::testing {

/// Nodes of the usual types with their parameters, outputs and producers; every location
/// below a producer with its attributes, as the host API answers. Lookups that must find
/// nothing and children that must be found by name are checked and recorded in the value.
host::Json describe(const host::Host& host);

}  // namespace script::testing
