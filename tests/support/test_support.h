// Helpers shared by the test programs: loopback TCP clients and frames,
// temporary folders and files, child processes (the real Tonvaled among them)
// and recordings of what the null sink played.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "protocol/frames.h"

// Starts Winsock once for the whole test program.
void EnsureWinsock();
uint16_t FreePort();
bool WaitForPort(uint16_t port, DWORD timeoutMs);

SOCKET ConnectLoopback(uint16_t port);
bool SendAll(SOCKET socket, const void *data, int length);
bool SendFrame(SOCKET socket, uint8_t code, const void *payload, int32_t length);
bool SendFrame(SOCKET socket, uint8_t code, const std::vector<unsigned char> &payload);
// Waits up to timeoutMs for one whole 5-byte frame.
bool ReceiveFrame(SOCKET socket, FrameHeader *frame, DWORD timeoutMs = 5000);
// Reads frames until one with `code` arrives; CMD_PLAYED values met on the
// way are added to *played. Returns that frame's value, or -1000 on time-out.
int32_t AwaitReplyCollectingPlayed(SOCKET socket, uint8_t code, int64_t *played,
                                   DWORD timeoutMs = 10000);
// True when the peer has closed the connection (recv gives 0 or fails)
// within timeoutMs.
bool PeerClosed(SOCKET socket, DWORD timeoutMs);
std::vector<unsigned char> PcmFormatBytes(uint32_t rate, uint16_t channels, uint16_t bits);
// Opens `format` on the connection, writes `bytes` of silence and waits for
// that buffer's CMD_PLAYED, leaving the device open. Returns what went wrong,
// or "" when the buffer played and came back with its length.
std::string PlayOneBuffer(SOCKET socket, const std::vector<unsigned char> &format, int32_t bytes);
std::vector<unsigned char> VolumeBytes(uint32_t word);

std::wstring MakeTempFolder(const wchar_t *prefix);
void RemoveFolder(const std::wstring &folder);
bool WriteFileBytes(const std::wstring &path, const std::string &bytes);
std::string ReadFileBytes(const std::wstring &path);

struct ProcessResult {
    DWORD ExitCode = 0;
    std::string Out;
    std::string Err;
    bool TimedOut = false;
};
// Runs a command line to its end, capturing standard output and error.
ProcessResult RunProcess(const std::wstring &commandLine, DWORD timeoutMs = 60000);

// A copy of the real Tonvaled.exe in a folder of its own, with its own INI.
struct DaemonCopy {
    std::wstring Folder;
    std::wstring Exe;
    uint16_t Port = 0;
    PROCESS_INFORMATION Process = {};
    std::wstring OutPath;
};
// Copies the exe into a new temporary folder and writes an INI holding
// `iniText` (no INI when it is null).
DaemonCopy MakeDaemonCopy(const char *iniText);
// Starts the copy with /debug, its output to a file, and waits for its port.
bool StartDebugDaemon(DaemonCopy *daemon);
void KillDaemon(DaemonCopy *daemon);
void DeleteDaemonCopy(DaemonCopy *daemon);

// Stops and deletes the Tonvaled service if the service manager holds it
// (left by an earlier or interrupted test), and waits until it is gone.
void RemoveInstalledService();

// The Tonvaled service's entry as the service manager stores it.
struct StoredServiceConfig {
    bool Found = false;
    DWORD ServiceType = 0, StartType = 0, ErrorControl = 0;
    std::wstring BinaryPath, DisplayName, Description;
};

StoredServiceConfig QueryStoredServiceConfig();

// Process accounting of a running daemon. Wine answers neither
// GetProcessHandleCount nor GetProcessMemoryInfo for another process: the
// handles are counted in the system handle list (the process list's count
// is, under Wine, the size of the handle table, which only grows), the
// private bytes from the anonymous resident memory of its Linux process.
struct ProcessFigures {
    DWORD Handles = 0;
    SIZE_T PrivateBytes = 0;
};
ProcessFigures FiguresOf(const DaemonCopy &daemon);

// One entry of the system process list.
struct ProcessEntry {
    DWORD Id = 0;
    std::wstring ImageName;
};
std::vector<ProcessEntry> RunningProcesses();

// Records the null sink's monitor as raw signed 16-bit stereo at 44.1 kHz for
// `seconds`, into `path`.
bool StartRecorder(const std::wstring &path, int seconds);
// Waits until the recorder has written out its file.
bool WaitForRecorder(const std::wstring &path, DWORD timeoutMs);
std::vector<int16_t> ReadSamples(const std::wstring &path);

// A signal that does not repeat within a stream, so that a recording can be
// aligned unambiguously: interleaved stereo, `frames` long.
std::vector<int16_t> NoiseSignal(size_t frames, uint32_t seed);
// Drops the silence a recording starts with.
std::vector<int16_t> TrimLeadingSilence(const std::vector<int16_t> &recorded);
// Index in `sent` where `recorded` begins (matching its first `probe` values
// exactly), or -1.
long FindAlignment(const std::vector<int16_t> &sent, const std::vector<int16_t> &recorded,
                   size_t probe = 64);

// A recording held against the signal it should hold from `offset` on,
// stereo frame by stereo frame. Silent frames where the signal has sound are
// the sound server's underruns on a busy machine (the sink plays silence
// while a stream runs late and then goes on with its data): they are counted
// as gap frames and the signal must go on exactly where it stopped.
struct PlayedComparison {
    size_t Compared = 0;   // samples that matched or mismatched
    size_t Mismatches = 0; // samples that differ from the signal
    size_t FirstMismatch = 0;
    size_t GapFrames = 0;  // silent frames inserted by underruns
};
PlayedComparison ComparePlayed(const std::vector<int16_t> &sent,
                               const std::vector<int16_t> &recorded, size_t offset);

// Text as a program's standard output carries it through a pipe in text
// mode: every line feed preceded by a carriage return.
std::string Crlf(const std::string &text);

std::wstring Widen(const std::string &text);
std::string Narrow(const std::wstring &text);
