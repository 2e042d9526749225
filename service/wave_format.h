// The formats the service plays and the opening of the wave mapper for one.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "../protocol/frames.h"

// True for a CMD_OPEN format the service refuses: anything but plain PCM of
// 8 to 32 bits, 1 to 8 channels and 1 Hz to 384 kHz with consistent fields.
bool IsUnplayable(const PcmFormat *format);

// Opens the wave mapper for a playable format with a callback function, as
// plain PCM or, where plain PCM is ambiguous and not taken, as the extensible
// record. The result of the last waveOutOpen.
MMRESULT OpenWaveMapper(const PcmFormat *format, HWAVEOUT *handle, DWORD_PTR callback,
                        DWORD_PTR instance);
