// Volume and balance (stream layer), under a lock of their own that covers
// storing a value and sending the pair, so that the service always ends at
// the last pair set. While a lost link is being put back nothing is sent:
// the resume sends the pair that is current when it sends.
#pragma once

#include "plugin/server_link.h"

// Init: volume 0, balance centre.
void ResetVolume();
// Input plug-ins pass SetVolume(-666) to mean "apply your current volume
// again", so a volume outside 0 to 255 keeps the stored one and only resends
// it; a balance outside -128 to 128 is clamped, so the word always holds two
// 16-bit levels.
void SetStreamVolume(int volume);
void SetStreamPan(int pan);
// The resume: VolumeLock is held from taking the new connection over until
// the stream is linked, and the pair is sent on `link` meanwhile.
void LockVolume();
void UnlockVolume();
bool SendVolumeLocked(LinkChannel *link);
