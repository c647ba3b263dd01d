#pragma once

#include <pappl/pappl.h>

namespace tarvik_app {

// PNG and JPEG documents to the drivers' format, decoded to grey within a label's bounds;
// they replace PAPPL's own filters, which decode whatever size a file claims. Call before
// the system runs.
void registerImageFilters(pappl_system_t* system);

} // namespace tarvik_app
