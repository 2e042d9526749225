// The host's command line: the plug-in, the files, the player's volume and
// pan, and the timed requests the control thread carries out during a file.
#pragma once

#include <string>
#include <vector>

enum RequestKind { RequestVolume, RequestPan, RequestPause, RequestResume, RequestSeek };

// One timed request; AtMs counts wall-clock time from the start of each file.
struct TimedRequest {
    int AtMs;
    RequestKind Kind;
    int Value; // the volume, the pan, the pause length or the seek target (ms)
};

struct HostOptions {
    std::wstring PluginPath;
    std::vector<std::wstring> Files;
    int Volume = 255;
    int Pan = 0;
    std::vector<TimedRequest> Requests; // sorted by AtMs; a pause adds its resume
    bool ShowConfig = false;
    bool ShowAbout = false;
    bool Interactive = false;
    // Time every call into the plug-in; print those of SlowCallMs or more.
    bool TimeCalls = false;
    int SlowCallMs = 0;
    int HammerMs = 0;    // a second thread calling the controls during each file
    int HammerRate = 0;  // its rounds a second on average; 0 for no bound
    int HammerPauseRate = 0; // its rounds a second that pause and resume; 0: all
    int GapMs = 0;       // wait before each file after the first
    int ResumeWindowMs = -1;  // the Tonvale plug-in's reconnect window; -1 leaves it
};

extern const char UsageText[];

// False with a message in *error when the command line cannot be used.
bool ParseCommandLine(int argc, wchar_t **argv, HostOptions *options, std::string *error);
