#pragma once

#include <atomic>

// Set by SIGTERM; a lock-free atomic, so the handler may set it and any reader sees it.
extern std::atomic<bool> bSysCancel;
static_assert(std::atomic<bool>::is_always_lock_free);

void cancel_job(int sig);
