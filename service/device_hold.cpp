// The two holds on the service's wave-out device: priming, which keeps a
// device that starts from empty paused until enough audio is queued (see
// PRIME_MS in play_device.h), and the player's pause, which priming never
// overrides. Run thread only, as the fields they keep.
#include "device_hold.h"

// Pausing an empty device holds it: what is written next waits in the queue
// until waveOutRestart.
void HoldForPriming(PlayDevice *device) {
    waveOutPause(device->WaveHandle);
    device->Priming = true;
    device->HeldBytes = 0;
}

void NoteHeld(PlayDevice *device, int32_t bytes) {
    if (device->HeldBytes == 0)
        device->FirstHeldAt = GetTickCount();
    device->HeldBytes += bytes;
    if (device->HeldBytes >= device->PrimeBytes)
        PlayDeviceStartHeld(device);
}

void PlayDeviceStartHeld(PlayDevice *device) {
    if (!device->Priming)
        return;
    device->Priming = false;
    if (!device->PlayerPaused)
        waveOutRestart(device->WaveHandle);
}

DWORD PlayDeviceHoldLeftMs(const PlayDevice *device) {
    if (!device->Priming || device->HeldBytes == 0)
        return INFINITE;
    DWORD held = GetTickCount() - device->FirstHeldAt;
    return held >= PRIME_DEADLINE_MS ? 0 : PRIME_DEADLINE_MS - held;
}

void PlayDevicePause(PlayDevice *device) {
    if (device->WaveHandle)
        device->PlayerPaused = true;
    waveOutPause(device->WaveHandle);
}

void PlayDeviceResume(PlayDevice *device) {
    device->PlayerPaused = false;
    if (!device->Priming)
        waveOutRestart(device->WaveHandle);
}
