// Parses the host's command line into HostOptions.
#include "host/command_line.h"

#include <stdlib.h>
#include <wchar.h>

#include <algorithm>

const char UsageText[] =
    "usage: tvhost --plugin DLL [options] FILE.wav...\n"
    "Plays PCM WAV files through a player output plug-in.\n"
    "  --volume V         player volume 0..255 when playback starts (default 255)\n"
    "  --pan P            balance -128..128 when playback starts (default 0)\n"
    "  --volume V@MS      set the volume MS ms after a file has started\n"
    "  --pan P@MS         set the balance MS ms after a file has started\n"
    "  --pause LEN@MS     pause for LEN ms, MS ms after a file has started\n"
    "  --seek POS@MS      seek to POS ms, MS ms after a file has started\n"
    "  --config           open the plug-in's configuration dialog before playing\n"
    "  --about            show the plug-in's About box before playing\n"
    "  --interactive      leave message boxes and dialogs to a user\n"
    "  --time-calls MS    time every call into the plug-in: print each call of MS ms\n"
    "                     or more, and at the end the longest call of each operation\n"
    "  --hammer MS        for the first MS ms of each file a second thread calls\n"
    "                     SetVolume, SetPan, Pause(1), Pause(0) and GetOutputTime as\n"
    "                     fast as it can, then sets the starting volume and balance\n"
    "  --hammer-rate N    at most N rounds of the hammer a second on average, in\n"
    "                     bursts of 25 back to back (default 0: no bound)\n"
    "  --hammer-pauses N  pause and resume in at most N of its rounds a second on\n"
    "                     average (default 0: in every round)\n"
    "  --gap MS           wait MS ms before each file after the first\n"
    "  --resume-window MS for tests: how long the Tonvale plug-in tries to put a\n"
    "                     stream back after its link was lost\n"
    "Without --interactive every message box is printed and confirmed with OK,\n"
    "and the configuration dialog is printed and cancelled.\n";

namespace {

bool ParseInt(const wchar_t *text, int *value) {
    if (!text || !*text)
        return false;
    wchar_t *end = nullptr;
    long parsed = wcstol(text, &end, 10);
    if (*end != L'\0' || parsed < -1000000000L || parsed > 1000000000L)
        return false;
    *value = (int)parsed;
    return true;
}

// "VALUE" or "VALUE@MS"; *hasTime tells which.
bool ParseTimedValue(const wchar_t *text, int *value, int *atMs, bool *hasTime) {
    std::wstring whole = text ? text : L"";
    size_t at = whole.find(L'@');
    *hasTime = at != std::wstring::npos;
    if (!*hasTime)
        return ParseInt(whole.c_str(), value);
    return ParseInt(whole.substr(0, at).c_str(), value) &&
           ParseInt(whole.substr(at + 1).c_str(), atMs) && *atMs >= 0;
}

std::string Narrow(const wchar_t *text) {
    std::string result;
    for (; text && *text; text++)
        result += *text < 128 ? (char)*text : '?';
    return result;
}

bool InRange(int value, int low, int high) { return value >= low && value <= high; }

} // namespace

bool ParseCommandLine(int argc, wchar_t **argv, HostOptions *options, std::string *error) {
    for (int i = 1; i < argc; i++) {
        std::wstring arg = argv[i];
        const wchar_t *next = i + 1 < argc ? argv[i + 1] : nullptr;
        int value = 0, atMs = 0;
        bool hasTime = false;
        if (arg == L"--plugin") {
            if (!next) {
                *error = "--plugin needs a DLL path";
                return false;
            }
            options->PluginPath = next;
            i++;
        } else if (arg == L"--volume" || arg == L"--pan") {
            bool volume = arg == L"--volume";
            if (!ParseTimedValue(next, &value, &atMs, &hasTime) ||
                !(volume ? InRange(value, 0, 255) : InRange(value, -128, 128))) {
                *error = volume ? "--volume takes 0..255, optionally followed by @MS"
                                : "--pan takes -128..128, optionally followed by @MS";
                return false;
            }
            if (hasTime)
                options->Requests.push_back({atMs, volume ? RequestVolume : RequestPan, value});
            else
                (volume ? options->Volume : options->Pan) = value;
            i++;
        } else if (arg == L"--pause" || arg == L"--seek") {
            bool pause = arg == L"--pause";
            if (!ParseTimedValue(next, &value, &atMs, &hasTime) || !hasTime || value < 0) {
                *error = pause ? "--pause takes LEN@MS" : "--seek takes POS@MS";
                return false;
            }
            if (pause) {
                options->Requests.push_back({atMs, RequestPause, value});
                options->Requests.push_back({atMs + value, RequestResume, 0});
            } else {
                options->Requests.push_back({atMs, RequestSeek, value});
            }
            i++;
        } else if (arg == L"--time-calls" || arg == L"--gap" || arg == L"--hammer" ||
                   arg == L"--hammer-rate" || arg == L"--hammer-pauses" ||
                   arg == L"--resume-window") {
            bool count = arg == L"--hammer-rate" || arg == L"--hammer-pauses";
            if (!ParseInt(next, &value) || value < 0) {
                *error = Narrow(arg.c_str()) + (count ? " takes N, 0 or more" : " takes MS, 0 or more");
                return false;
            }
            if (arg == L"--time-calls") {
                options->TimeCalls = true;
                options->SlowCallMs = value;
            } else if (arg == L"--gap") {
                options->GapMs = value;
            } else if (arg == L"--hammer-rate") {
                options->HammerRate = value;
            } else if (arg == L"--hammer-pauses") {
                options->HammerPauseRate = value;
            } else if (arg == L"--resume-window") {
                options->ResumeWindowMs = value;
            } else {
                options->HammerMs = value;
            }
            i++;
        } else if (arg == L"--config") {
            options->ShowConfig = true;
        } else if (arg == L"--about") {
            options->ShowAbout = true;
        } else if (arg == L"--interactive") {
            options->Interactive = true;
        } else if (arg.size() > 1 && arg[0] == L'-') {
            *error = "unknown option " + Narrow(arg.c_str());
            return false;
        } else {
            options->Files.push_back(arg);
        }
    }
    if (options->PluginPath.empty()) {
        *error = "no plug-in given (--plugin DLL)";
        return false;
    }
    // A stable sort keeps a pause's resume after requests given for the same time.
    std::stable_sort(options->Requests.begin(), options->Requests.end(),
                     [](const TimedRequest &a, const TimedRequest &b) { return a.AtMs < b.AtMs; });
    return true;
}
