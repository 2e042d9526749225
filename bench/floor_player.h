// The floor's wave-out player: the wave mapper opened with a callback
// function that only pushes each returned header onto a lock-free list and
// sets an event; the calling thread takes the list, keeps the headers
// prepared and writes the next blocks into them (floor_player.cpp).
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <stdint.h>

#include <vector>

const int FramesPerBlock = 576; // what the road's client writes
const DWORD ReturnTimeoutMs = 10000;

// Opens and resets are timed at CD audio, as the road's Open and Flush are.
const int CdRate = 44100, CdChannels = 2, CdBits = 16;

// The road's volume word for the player's 255, which the floor plays at.
const DWORD VolumeAt255 = 0xFF00FF00;

struct Player {
    HWAVEOUT Handle = nullptr;
    WAVEHDR *volatile Returned = nullptr; // pushed by the callback, linked through dwUser
    HANDLE ReturnedEvent = nullptr;
    std::vector<WAVEHDR *> Ready;        // prepared and back from the device
    int BlockBytes = 0;
    int Outstanding = 0;                 // written and not yet taken back
};

// The performance counter in ms; QueryPerformanceFrequency into Frequency first.
extern LARGE_INTEGER Frequency;
double NowMs();

// Prints "error WHAT CODE" and returns the exit code 1.
int Fail(const char *what, unsigned code);

// Takes the headers the device has given back; returns how many.
int TakeReturned(Player *player);
// Waits for the next returned headers; false when none came back in time,
// so that a device that stops returning buffers ends the run, not hangs it.
bool AwaitReturns(Player *player);
bool AwaitAllReturned(Player *player);
bool WriteBlock(Player *player, const char *block);
MMRESULT OpenPlayer(Player *player, int rate, int channels, int bits);
// Resets and closes the device; false if not every buffer came back.
bool ClosePlayer(Player *player);
// Whole blocks only, as the road's client writes while a whole one has room.
int BlocksFor(int64_t ms, int rate);
// Writes blocks until `queue` are outstanding; false if the device refused one.
bool FillQueue(Player *player, const std::vector<char> &block, int queue);
