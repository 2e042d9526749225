// The player's operations on buffer, position and volume (module layer):
// how much the host may write, whether output is still going on, both times,
// the flush to a new position, volume and balance.
#pragma once

int __cdecl CanWrite();
int __cdecl IsPlaying();
void __cdecl Flush(int positionMs);
int __cdecl GetWrittenTime();
int __cdecl GetOutputTime();
void __cdecl SetVolume(int volume);
void __cdecl SetPan(int pan);
