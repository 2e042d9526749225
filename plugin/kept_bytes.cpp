// The kept bytes: Kept[KeptHead..] is the stream from KeptFrom on, freed from
// the front as CMD_PLAYED arrive.
#include "plugin/kept_bytes.h"

static SRWLOCK KeptLock = SRWLOCK_INIT;
static std::string Kept;
static size_t KeptHead;
static LONG64 KeptFrom;

void ClearKept(LONG64 from) {
    AcquireSRWLockExclusive(&KeptLock);
    Kept.clear();
    Kept.shrink_to_fit();
    KeptHead = 0;
    KeptFrom = from;
    ReleaseSRWLockExclusive(&KeptLock);
}

void KeepBytes(const char *bytes, int length) {
    AcquireSRWLockExclusive(&KeptLock);
    Kept.append(bytes, static_cast<size_t>(length));
    ReleaseSRWLockExclusive(&KeptLock);
}

void ReleaseKept(LONG64 bytes) {
    if (bytes <= 0) return;
    AcquireSRWLockExclusive(&KeptLock);
    size_t held = Kept.size() - KeptHead;
    size_t freed = static_cast<ULONG64>(bytes) < held ? static_cast<size_t>(bytes) : held;
    KeptHead += freed;
    KeptFrom += freed;
    // The front is cut off once it is the larger part, so that appending and
    // freeing stay linear in the bytes written.
    if (KeptHead == Kept.size()) {
        Kept.clear();
        KeptHead = 0;
    } else if (KeptHead > 65536 && KeptHead > Kept.size() / 2) {
        Kept.erase(0, KeptHead);
        KeptHead = 0;
    }
    ReleaseSRWLockExclusive(&KeptLock);
}

LONG64 KeptFront() {
    AcquireSRWLockShared(&KeptLock);
    LONG64 front = KeptFrom;
    ReleaseSRWLockShared(&KeptLock);
    return front;
}

size_t CopyKept(LONG64 *next, size_t chunk, std::string *part) {
    AcquireSRWLockShared(&KeptLock);
    LONG64 end = KeptFrom + static_cast<LONG64>(Kept.size() - KeptHead);
    if (*next < KeptFrom) *next = KeptFrom;
    size_t offset = KeptHead + static_cast<size_t>(*next - KeptFrom);
    size_t left = static_cast<size_t>(end - *next);
    size_t count = left < chunk ? left : chunk;
    part->assign(Kept, offset, count);
    ReleaseSRWLockShared(&KeptLock);
    *next += static_cast<LONG64>(count);
    return count;
}
