// The plug-in's settings record and its values at load.
#include "plugin/plugin_state.h"

const char PluginTitle[] = "Tonvale output plugin v1.0 (x86)";

PluginStateRecord PluginState = {
    /* SettingsPath */ {0},
    /* ModuleInstance */ nullptr,
    /* ServerAddr */ {0},
    /* ServerPort */ 0,
    /* BuffSize */ 0,
};
