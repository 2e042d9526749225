// Loads and unloads an output plug-in DLL and checks the record it hands out.
#include "host/plugin_loader.h"

#include <stdio.h>

namespace {

std::string WindowsError(const char *what) {
    char text[160];
    snprintf(text, sizeof text, "%s (Windows error %lu)", what, GetLastError());
    return text;
}

// Every operation the host calls must be there; a missing one would crash.
bool RecordComplete(const Out_Module *out) {
    return out->Config && out->About && out->Init && out->Quit && out->Open && out->Close &&
           out->Write && out->CanWrite && out->IsPlaying && out->Pause && out->SetVolume &&
           out->SetPan && out->Flush && out->GetOutputTime && out->GetWrittenTime;
}

} // namespace

bool LoadOutputPlugin(const wchar_t *path, HWND mainWindow, LoadedPlugin *plugin,
                      std::string *error) {
    *plugin = LoadedPlugin();
    HMODULE module = LoadLibraryW(path);
    if (!module) {
        *error = WindowsError("cannot load the plug-in DLL");
        return false;
    }
    GetOutModuleFunction getModule =
        (GetOutModuleFunction)(void *)GetProcAddress(module, "winampGetOutModule");
    Out_Module *out = getModule ? getModule() : nullptr;
    if (!getModule) {
        *error = "the DLL exports no winampGetOutModule: not an output plug-in";
    } else if (!out) {
        *error = "winampGetOutModule returned no module record";
    } else if (out->version != OUT_VER) {
        char text[120];
        snprintf(text, sizeof text, "the module record has version 0x%X, not 0x%X", out->version,
                 OUT_VER);
        *error = text;
    } else if (!RecordComplete(out)) {
        *error = "the module record lacks one of its operations";
    } else {
        out->hMainWindow = mainWindow;
        out->hDllInstance = module;
        plugin->Module = module;
        plugin->Out = out;
        return true;
    }
    FreeLibrary(module);
    return false;
}

void UnloadOutputPlugin(LoadedPlugin *plugin) {
    if (plugin->Module)
        FreeLibrary(plugin->Module);
    *plugin = LoadedPlugin();
}
