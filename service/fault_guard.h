// Catches hardware faults (access violations, failed allocations raised as
// STATUS_NO_MEMORY) on the thread that armed the guard and resumes at the
// guard's setjmp point, since MinGW GCC has no __try/__except.
#pragma once

#include <setjmp.h>

struct FaultGuard {
    jmp_buf Recovery;
};

// Installs the process-wide handler once; arms the guard for this thread.
void ArmFaultGuard(FaultGuard *guard);
void DisarmFaultGuard();
