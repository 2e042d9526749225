// Volume and balance: the host's two settings become one wave-out volume
// word (left level in the low 16 bits, right in the high ones) for the
// service.
#pragma once

#include <stdint.h>

uint32_t VolumeWord(int volume, int pan);
void SendVolume();
void __cdecl SetVolume(int volume);
void __cdecl SetPan(int pan);
