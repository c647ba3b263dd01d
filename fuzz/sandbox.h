#pragma once

// The fuzz targets run code that writes its log and page dumps into /dev/shm. They do so
// only in a private mount namespace with a fresh tmpfs on /dev/shm, never in the real one.

// Moves the process into its own mount namespace with a tmpfs on /dev/shm; false (with a
// message on standard error) when that cannot be done, and then nothing may run.
bool enterPrivateShm();

// Removes every file of the private /dev/shm, so that dumps do not pile up over many runs.
void clearShm();
