// The module layer: the player's fifteen operations (module.cpp, here and
// config_dialog.cpp, whose found list lives in discovery_list.cpp and
// discovery.cpp), the record winampGetOutModule hands out, and the boxes
// (boxes.h). Everything in it runs on the host's threads. It calls the stream
// layer (stream.h, volume.h, and the record of stream_state.h) and shows
// what the stream reports once the stream's locks are released; no event of
// the layers below reaches it.
//
// Declared here: how much the host may write, whether output is still going
// on, both times, the flush to a new position, volume and balance.
#pragma once

int __cdecl CanWrite();
int __cdecl IsPlaying();
void __cdecl Flush(int positionMs);
int __cdecl GetWrittenTime();
int __cdecl GetOutputTime();
void __cdecl SetVolume(int volume);
void __cdecl SetPan(int pan);
