// The decoding thread of one file, as an input plug-in runs it: blocks of
// sample frames written whenever the output offers room, seeks carried out
// with Flush, and the drain at the end of the file.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "host/wav_reader.h"
#include "plugin/out_module.h"

// Shared by the main thread, the decoder and the control thread of one file.
struct PlaybackSession {
    Out_Module *Out = nullptr;
    WavFile *Wav = nullptr;
    const std::atomic<bool> *StopRequested = nullptr; // Ctrl+C
    std::atomic<int> SeekMs{-1};       // a seek the decoder has still to do
    std::atomic<bool> HostPaused{false}; // the control thread has paused output
    // Counts the pauses that have ended, so that a pause begun and ended
    // between two looks at HostPaused is still seen.
    std::atomic<unsigned> PauseChanges{0};
    std::atomic<bool> Finished{false};   // the decoder has ended
    // Written by the decoder before Finished is set.
    int FinalOutputMs = 0;
    bool Failed = false;
    std::string Failure;
};

// The most one Write may carry, and the frames of a block as the player cuts them.
const int MaxWriteBytes = 8192;
const int FramesPerBlock = 576;

// Frames of one block for this frame size: 576, or fewer to stay within 8192 bytes.
int BlockFrames(int blockAlign);
// Starts the decoder; the caller closes the returned handle.
HANDLE StartDecoder(PlaybackSession *session);
