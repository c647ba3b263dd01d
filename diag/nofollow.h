#pragma once

// Opens a file in world-writable /dev/shm for writing as fopen "wb+" would (created or
// truncated, read and write), but refuses a symbolic link in the last component and
// anything that is not a regular file (a pipe there would block the writer).
// Returns the descriptor, or -1.
int openNoFollow(const char* path);
