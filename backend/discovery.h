#pragma once

// Device discovery, as CUPS asks of a backend run with no arguments: one line per attached
// T58 on standard output ("direct tarvik://..."), nothing when none is attached. Returns 0.
int listDevices();
