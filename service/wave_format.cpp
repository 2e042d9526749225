// Which formats the service plays, and how it describes them to the wave
// mapper: plain PCM where that is unambiguous, the extensible record with the
// standard speaker layout where it is not.
#include "wave_format.h"

#include <ks.h>
#include <ksmedia.h>
#include <string.h>

// Only plain PCM is taken. Any other tag would reach a decoder of the wave
// mapper, which then parses the peer's bytes on this thread while it holds
// the device's lock; a decoder that faults on them (the MPEG one divides by
// zero) leaves that lock held for good, and the wait of the next flush or
// close never ends.
// Wine's mapper also opens PCM records that a Windows driver refuses (no
// channels, a block align or byte rate that contradicts the other fields);
// such a device would play garbage. Beyond the formats a player produces (8
// to 32 bits, up to 8 channels, up to 384 kHz) the sound stack here does
// worse: PulseAudio asserts and takes the whole process down. Both kinds are
// refused here.
bool IsUnplayable(const PcmFormat *format) {
    if (format->FormatTag != WAVE_FORMAT_PCM)
        return true;
    const uint32_t MaxRate = 384000, MaxChannels = 8;
    uint16_t bits = format->BitsPerSample;
    uint32_t blockAlign = format->Channels * bits / 8;
    bool knownWidth = bits == 8 || bits == 16 || bits == 24 || bits == 32;
    return !knownWidth || format->Channels == 0 || format->Channels > MaxChannels ||
           format->SamplesPerSec == 0 || format->SamplesPerSec > MaxRate ||
           format->BlockAlign != blockAlign ||
           format->AvgBytesPerSec != format->SamplesPerSec * blockAlign;
}

// The standard speaker layouts for 1 to 8 channels, in wave-out order.
static DWORD SpeakerMask(uint16_t channels) {
    static const DWORD masks[] = {0,
                                  SPEAKER_FRONT_CENTER,
                                  SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT,
                                  SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER,
                                  SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_BACK_LEFT |
                                      SPEAKER_BACK_RIGHT,
                                  SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER |
                                      SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT,
                                  KSAUDIO_SPEAKER_5POINT1,
                                  KSAUDIO_SPEAKER_5POINT1 | SPEAKER_BACK_CENTER,
                                  KSAUDIO_SPEAKER_7POINT1_SURROUND};
    return channels < sizeof masks / sizeof masks[0] ? masks[channels] : 0;
}

// KSDATAFORMAT_SUBTYPE_PCM, spelled out so no GUID library is needed.
static const GUID PcmSubFormat = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Plain PCM describes only mono and stereo with 8 or 16 bits unambiguously;
// drivers may refuse anything wider, and Wine refuses 32 bits, while the same
// samples described by the extensible record open.
static MMRESULT OpenAsExtensible(const WAVEFORMATEX &plain, HWAVEOUT *handle, DWORD_PTR callback,
                                 DWORD_PTR instance) {
    WAVEFORMATEXTENSIBLE extensible = {};
    extensible.Format = plain;
    extensible.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    extensible.Format.cbSize = sizeof extensible - sizeof extensible.Format;
    extensible.Samples.wValidBitsPerSample = plain.wBitsPerSample;
    extensible.dwChannelMask = SpeakerMask(plain.nChannels);
    extensible.SubFormat = PcmSubFormat;
    return waveOutOpen(handle, WAVE_MAPPER, &extensible.Format, callback, instance,
                       CALLBACK_FUNCTION);
}

MMRESULT OpenWaveMapper(const PcmFormat *format, HWAVEOUT *handle, DWORD_PTR callback,
                        DWORD_PTR instance) {
    // A complete WAVEFORMATEX with no extra bytes, the base of the extensible
    // record too.
    WAVEFORMATEX wave = {};
    memcpy(&wave, format, sizeof *format);
    wave.cbSize = 0;
    // A device that does not take wide or multichannel plain PCM itself gets
    // it from the mapper converted to 16-bit stereo, so ask for the device's
    // own acceptance and otherwise describe the samples unambiguously.
    const bool ambiguous = wave.wBitsPerSample > 16 || wave.nChannels > 2;
    MMRESULT result = waveOutOpen(handle, WAVE_MAPPER, &wave, callback, instance,
                                  CALLBACK_FUNCTION | (ambiguous ? WAVE_FORMAT_DIRECT : 0));
    if (result != MMSYSERR_NOERROR && ambiguous) {
        *handle = nullptr;
        result = OpenAsExtensible(wave, handle, callback, instance);
    }
    return result;
}
