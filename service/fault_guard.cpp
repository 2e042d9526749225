// A vectored exception handler that turns a fault on a guarded thread into a
// longjmp back to that thread's recovery point.
#include "fault_guard.h"

#include <windows.h>

static __thread FaultGuard *ArmedGuard;
static __thread FaultGuard *FaultedGuard;

static bool IsFault(DWORD code) {
    // Only errors; informational exceptions such as debug output pass through.
    return (code & 0xC0000000u) == 0xC0000000u;
}

static void __attribute__((noreturn)) JumpToRecovery() { longjmp(FaultedGuard->Recovery, 1); }

static LONG CALLBACK FaultHandler(EXCEPTION_POINTERS *info) {
    FaultGuard *guard = ArmedGuard;
    if (!guard || !IsFault(info->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    ArmedGuard = nullptr;
    FaultedGuard = guard;
    // Resume in a function of our own rather than longjmp from inside the
    // handler: the system's dispatch frames are then left behind cleanly.
    // The new stack top lies well below the faulting frame's red zone; on x64
    // it is aligned as at a function's entry, just after a call.
    CONTEXT *context = info->ContextRecord;
#ifdef _WIN64
    context->Rsp = ((context->Rsp - 256) & ~DWORD64(15)) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&JumpToRecovery);
#else
    context->Esp = (context->Esp - 256) & ~15u;
    context->Eip = reinterpret_cast<DWORD>(&JumpToRecovery);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

void ArmFaultGuard(FaultGuard *guard) {
    static volatile LONG installed;
    if (InterlockedExchange(&installed, 1) == 0)
        AddVectoredExceptionHandler(1, FaultHandler);
    ArmedGuard = guard;
}

void DisarmFaultGuard() { ArmedGuard = nullptr; }
