// The fixture of the real-DLL tests: a scripted server, a fresh copy of the
// DLL whose INI points at it, and a catcher for the plug-in's windows.
#pragma once

#include <gtest/gtest.h>

#include "plugin_fixture.h"

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    void TearDown() override {
        UnloadPluginCopy(&plugin);
        server.Stop();
    }
    // Loads the DLL with an INI for the scripted server and runs Init.
    void StartPlugin(int buffSize = 2000) {
        ASSERT_TRUE(LoadPluginCopy(&plugin, IniFor(server.Port(), buffSize).c_str()));
        out = plugin.Out;
        out->Init();
        plugin.Started = true;
        ASSERT_TRUE(server.WaitForConnections(1));
    }
    void LoadWithIni(const std::string &ini) {
        ASSERT_TRUE(LoadPluginCopy(&plugin, ini.c_str()));
        out = plugin.Out;
    }
    void InitPlugin() {
        out->Init();
        plugin.Started = true;
    }
    // Waits until the server has taken `count` frames of `code`.
    std::vector<ReceivedFrame> AwaitFrames(uint8_t code, size_t count, DWORD timeoutMs = 5000) {
        DWORD start = GetTickCount();
        while (server.FramesOf(code).size() < count && Since(start) < timeoutMs) Sleep(5);
        return server.FramesOf(code);
    }
    // Sends CMD_PLAYED and waits until the plug-in has counted it or the
    // time-out has passed. The room changes with every report while there is
    // any; without room (paused, or full) the output time tells, since it
    // runs on between reports only once a stream has had one.
    void Played(int32_t bytes) {
        int before = out->CanWrite();
        int timeBefore = out->GetOutputTime();
        ASSERT_TRUE(server.SendFrame(CMD_PLAYED, bytes));
        DWORD start = GetTickCount();
        while (out->CanWrite() == before && (before != 0 || out->GetOutputTime() == timeBefore) &&
               Since(start) < 500)
            Sleep(2);
    }

    ScriptServer server;
    PluginCopy plugin;
    WindowCatcher windows;
    Out_Module *out = nullptr;
};
