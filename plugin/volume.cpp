// Volume and balance. Input plug-ins pass SetVolume(-666) to mean "apply
// your current volume again", so a volume outside 0 to 255 keeps the stored
// one and only resends it; a balance outside -128 to 128 is clamped, so the
// word always holds two 16-bit levels.
#include "plugin/volume.h"

#include "plugin/plugin_state.h"
#include "plugin/server_link.h"

enum { MAX_VOLUME = 255, MAX_PAN = 128 };

uint32_t VolumeWord(int volume, int pan) {
    int full = volume << 8;
    int left = full;
    int right = full;
    if (pan > 0) left = full - (pan * full) / 128;
    if (pan < 0) right = full + (pan * full) / 128;
    return (static_cast<uint32_t>(right) << 16) | static_cast<uint32_t>(left);
}

void SendVolume() {
    uint32_t word = VolumeWord(PluginState.Volume, PluginState.Pan);
    unsigned char payload[VOLUME_WORD_SIZE];
    memcpy(payload, &word, sizeof payload);
    SendRequest(CMD_VOLUME, payload, sizeof payload);
}

void __cdecl SetVolume(int volume) {
    if (volume >= 0 && volume <= MAX_VOLUME) PluginState.Volume = volume;
    SendVolume();
}

void __cdecl SetPan(int pan) {
    if (pan > MAX_PAN) pan = MAX_PAN;
    if (pan < -MAX_PAN) pan = -MAX_PAN;
    PluginState.Pan = pan;
    SendVolume();
}
