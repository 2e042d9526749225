// The stored volume and balance and their CMD_VOLUME.
#include "plugin/volume.h"

#include <string.h>

#include "plugin/arithmetic.h"
#include "plugin/stream_state.h"

enum { MAX_VOLUME = 255, MAX_PAN = 128 };

static CRITICAL_SECTION VolumeLock;
static int Volume;
static int Pan;

static struct VolumeLockSetup {
    VolumeLockSetup() { InitializeCriticalSection(&VolumeLock); }
} Setup;

void LockVolume() { EnterCriticalSection(&VolumeLock); }
void UnlockVolume() { LeaveCriticalSection(&VolumeLock); }

void ResetVolume() {
    LockVolume();
    Volume = 0;
    Pan = 0;
    UnlockVolume();
}

bool SendVolumeLocked(LinkChannel *link) {
    uint32_t word = VolumeWord(Volume, Pan);
    unsigned char payload[VOLUME_WORD_SIZE];
    memcpy(payload, &word, sizeof payload);
    return SendRequest(link, CMD_VOLUME, payload, sizeof payload) == LINK_DONE;
}

// With no stream, or a linked one, the pair goes out on the stream's
// connection at once.
static void SendIfLinked() {
    int state = StreamState();
    if (state != STREAM_NONE && state != STREAM_LINKED) return;
    LinkChannel *link = HoldStreamConnection();
    if (!link) return;
    SendVolumeLocked(link);
    ReleaseLink(link);
}

void SetStreamVolume(int volume) {
    LockVolume();
    if (volume >= 0 && volume <= MAX_VOLUME) Volume = volume;
    SendIfLinked();
    UnlockVolume();
}

void SetStreamPan(int pan) {
    if (pan > MAX_PAN) pan = MAX_PAN;
    if (pan < -MAX_PAN) pan = -MAX_PAN;
    LockVolume();
    Pan = pan;
    SendIfLinked();
    UnlockVolume();
}
