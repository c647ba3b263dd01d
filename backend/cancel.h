#pragma once

#include <csignal>

extern volatile sig_atomic_t bSysCancel;

void cancel_job(int sig);
