// The plug-in's global state record and its values at load.
#include "plugin/plugin_state.h"

const char PluginTitle[] = "Tonvale output plugin v1.0 (x86)";

PluginStateRecord PluginState = {
    /* SettingsPath */ {0},
    /* ModuleInstance */ nullptr,
    /* ServerAddr */ {0},
    /* ServerPort */ 0,
    /* BuffSize */ 0,
    /* LinkSocket */ INVALID_SOCKET,
    /* ReplyEvent */ nullptr,
    /* LastReply */ {0, 0},
    /* Link */ nullptr,
    /* StreamOpen */ 0,
    /* SampleRate */ 0,
    /* NumChannels */ 0,
    /* BitsPerSample */ 0,
    /* BytesPerSecond */ 0,
    /* BufferBytes */ 0,
    /* WrittenBytes */ 0,
    /* PlayedBytes */ 0,
    /* Paused */ 0,
    /* Volume */ 0,
    /* Pan */ 0,
};
