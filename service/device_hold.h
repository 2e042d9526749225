// Priming's side of the device's open, write and flush (device_hold.cpp); the
// hold's public face (pause, resume, the deadline) is in play_device.h.
#pragma once

#include "play_device.h"

// Starts priming on a device just opened or flushed, so empty.
void HoldForPriming(PlayDevice *device);
// Counts a block queued while priming, and starts the device once it holds
// PRIME_MS of audio.
void NoteHeld(PlayDevice *device, int32_t bytes);
