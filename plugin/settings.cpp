// The settings file: the path rule, ReadSettings and WriteSettings.
#include "plugin/settings.h"

#include <stdio.h>
#include <string.h>

#include "plugin/plugin_state.h"

static const char Section[] = "COMMON";

void MakeSettingsPath(char *path, size_t capacity) {
    size_t length = strnlen(path, capacity);
    if (length == capacity) return;  // not terminated: leave it alone
    size_t dot = length;
    while (dot > 0 && path[dot - 1] != '.') --dot;
    if (dot == 0) {
        // No extension to replace; a DLL loaded by the host always has one.
        if (length + 5 <= capacity) memcpy(path + length, ".ini", 5);
        return;
    }
    if (dot + 4 <= capacity) memcpy(path + dot, "ini", 4);
}

void ComputeSettingsPath() {
    DWORD length = GetModuleFileNameA(PluginState.ModuleInstance, PluginState.SettingsPath,
                                      sizeof PluginState.SettingsPath);
    if (length >= sizeof PluginState.SettingsPath) length = sizeof PluginState.SettingsPath - 1;
    PluginState.SettingsPath[length] = '\0';
    MakeSettingsPath(PluginState.SettingsPath, sizeof PluginState.SettingsPath);
}

void ReadSettings() {
    GetPrivateProfileStringA(Section, "ServerAddr", "localhost", PluginState.ServerAddr,
                             sizeof PluginState.ServerAddr, PluginState.SettingsPath);
    PluginState.ServerPort = static_cast<uint16_t>(
        GetPrivateProfileIntA(Section, "ServerPort", DEFAULT_SERVER_PORT, PluginState.SettingsPath));
    int buffSize = static_cast<int>(
        GetPrivateProfileIntA(Section, "BuffSize", DEFAULT_BUFF_SIZE, PluginState.SettingsPath));
    // Zero or less would leave no room to write, and the host would stall.
    PluginState.BuffSize = buffSize > 0 ? buffSize : DEFAULT_BUFF_SIZE;
}

void WriteSettings() {
    char number[16];
    WritePrivateProfileStringA(Section, "ServerAddr", PluginState.ServerAddr,
                               PluginState.SettingsPath);
    snprintf(number, sizeof number, "%d", static_cast<int>(PluginState.ServerPort));
    WritePrivateProfileStringA(Section, "ServerPort", number, PluginState.SettingsPath);
    snprintf(number, sizeof number, "%d", PluginState.BuffSize);
    WritePrivateProfileStringA(Section, "BuffSize", number, PluginState.SettingsPath);
}
