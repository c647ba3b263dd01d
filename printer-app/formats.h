#pragma once

namespace tarvik_app {

// The format under which the app's front hands on a PWG or Apple raster, so that PAPPL
// spools it like any other document instead of printing it while it arrives.
inline constexpr const char* kSpooledRaster = "application/vnd.tarvik-raster";
// A document of this format prints the printer's test page; its content is not read.
inline constexpr const char* kTestPage = "application/vnd.tarvik-test-page";

} // namespace tarvik_app
