// tvhost: plays PCM WAV files through an output plug-in DLL, calling it the
// way the player does, for trying a plug-in where the player cannot run.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <string>

#include "host/box_dismiss.h"
#include "host/call_timer.h"
#include "host/command_line.h"
#include "host/console.h"
#include "host/control.h"
#include "host/decoder.h"
#include "host/hammer.h"
#include "host/plugin_loader.h"
#include "host/wav_reader.h"
#include "plugin/stream_resume.h"

namespace {

enum ExitCode {
    ExitOk = 0,
    ExitUsage = 1,
    ExitBadFile = 2,
    ExitBadPlugin = 3,
    ExitPlaybackFailed = 4,
    ExitStopped = 130,
};

std::atomic<bool> StopRequested{false};

BOOL WINAPI OnConsoleControl(DWORD) {
    StopRequested = true;
    return TRUE;
}

std::string Utf8(const std::wstring &text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    return result;
}

std::string BaseName(const std::wstring &path) {
    size_t slash = path.find_last_of(L"\\/");
    return Utf8(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

// The player's main window: plug-ins may own boxes by it. Never shown.
HWND CreateMainWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TvHostMain";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, L"TvHostMain", L"tvhost", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, 400, 300, nullptr, nullptr, windowClass.hInstance,
                           nullptr);
}

// Waits for a thread while serving the main thread's window messages.
void WaitServingMessages(HANDLE thread) {
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void WaitAndClose(HANDLE thread) {
    if (!thread)
        return;
    WaitServingMessages(thread);
    CloseHandle(thread);
}

// Runs the decoder and the control thread of one open stream to its end,
// and the hammer beside them when asked for.
void RunStream(PlaybackSession *session, const HostOptions &options, const std::string &name) {
    ControlContext control;
    control.Session = session;
    control.Requests = &options.Requests;
    control.Name = name;
    control.LengthMs = WavLengthMs(*session->Wav);
    control.StartTick = GetTickCount();
    HANDLE decoder = StartDecoder(session);
    HANDLE controller = decoder ? StartControl(&control) : nullptr;
    HammerFigures hammered;
    bool hammering = options.HammerMs > 0;
    HANDLE hammer = decoder && hammering
                        ? StartHammer(session, options.HammerMs, options.HammerRate, options.HammerPauseRate,
                                      options.Volume, options.Pan, &hammered)
                        : nullptr;
    if (!decoder || !controller || (hammering && !hammer)) {
        PrintError("cannot start the playback threads (Windows error %lu)", GetLastError());
        StopRequested = true;
        session->Failed = true;
        session->Failure = "no playback threads";
    }
    WaitAndClose(decoder);
    WaitAndClose(controller);
    if (hammer) {
        WaitAndClose(hammer);
        PrintLine("hammer: %u rounds, output time went back %u times, %u pauses",
                  hammered.Rounds, hammered.TimeWentBack, hammered.Pauses);
    }
}

int PlayFile(Out_Module *out, const std::wstring &path, const HostOptions &options) {
    std::string name = BaseName(path), error;
    WavFile wav;
    if (!OpenWav(path.c_str(), &wav, &error)) {
        PrintError("%s: %s", Utf8(path).c_str(), error.c_str());
        return ExitBadFile;
    }
    char length[32];
    PrintLine("playing %s: %d Hz, %d channel(s), %d bits, %u frames, %s", name.c_str(),
              wav.SampleRate, wav.NumChannels, wav.BitsPerSample, wav.Frames,
              FormatTime(WavLengthMs(wav), length, sizeof length));
    int latency = out->Open(wav.SampleRate, wav.NumChannels, wav.BitsPerSample, -1, -1);
    if (latency < 0) {
        PrintError("%s: the output plug-in cannot open %d Hz, %d channel(s), %d bits",
                   name.c_str(), wav.SampleRate, wav.NumChannels, wav.BitsPerSample);
        CloseWav(&wav);
        return ExitPlaybackFailed;
    }
    PrintLine("output opened, latency %d ms", latency);
    // The input plug-in's request to apply the current volume, then the
    // player's own volume and balance.
    out->SetVolume(-666);
    out->SetVolume(options.Volume);
    out->SetPan(options.Pan);

    PlaybackSession session;
    session.Out = out;
    session.Wav = &wav;
    session.StopRequested = &StopRequested;
    RunStream(&session, options, name);
    out->Close();
    CloseWav(&wav);
    if (session.Failed) {
        PrintError("%s: %s", name.c_str(), session.Failure.c_str());
        return ExitPlaybackFailed;
    }
    PrintLine("%s %s: final position %d ms, length %d ms", StopRequested ? "stopped" : "finished",
              name.c_str(), session.FinalOutputMs, WavLengthMs(wav));
    return StopRequested ? ExitStopped : ExitOk;
}

// The hook that tests use to shorten the Tonvale plug-in's reconnect window,
// in a section of the DLL's own.
bool ShortenResumeWindow(HMODULE module, int windowMs) {
    ResumeTimings *timings = FindResumeTimings(module);
    if (!timings)
        return false;
    timings->WindowMs = (DWORD)windowMs;
    return true;
}

int Run(const HostOptions &options) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    HWND mainWindow = CreateMainWindow();
    InstallBoxDismisser();

    LoadedPlugin plugin;
    std::string error;
    if (!LoadOutputPlugin(options.PluginPath.c_str(), mainWindow, &plugin, &error)) {
        PrintError("%s: %s", Utf8(options.PluginPath).c_str(), error.c_str());
        return ExitBadPlugin;
    }
    if (options.ResumeWindowMs >= 0 && !ShortenResumeWindow(plugin.Module, options.ResumeWindowMs)) {
        PrintError("%s: the plug-in has no reconnect window to set", Utf8(options.PluginPath).c_str());
        UnloadOutputPlugin(&plugin);
        return ExitBadPlugin;
    }
    Out_Module *out = options.TimeCalls ? TimedModule(plugin.Out, options.SlowCallMs) : plugin.Out;
    PrintLine("plug-in: %s", out->description ? out->description : "(no description)");
    out->Init();
    if (options.ShowAbout)
        out->About(mainWindow);
    if (options.ShowConfig)
        out->Config(mainWindow);

    int result = ExitOk;
    for (size_t i = 0; i < options.Files.size(); i++) {
        if (i > 0 && options.GapMs > 0)
            Sleep(options.GapMs);
        if (StopRequested)
            break;
        const std::wstring &file = options.Files[i];
        int code = PlayFile(out, file, options);
        if (result == ExitOk)
            result = code;
    }
    out->Quit();
    if (options.TimeCalls)
        PrintCallTimes();
    UnloadOutputPlugin(&plugin);
    RemoveBoxDismisser();
    if (mainWindow)
        DestroyWindow(mainWindow);
    return result;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    HostOptions options;
    std::string error;
    if (!ParseCommandLine(argc, argv, &options, &error)) {
        PrintError("tvhost: %s\n%s", error.c_str(), UsageText);
        return ExitUsage;
    }
    LeaveBoxesToUser(options.Interactive);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return Run(options);
}
