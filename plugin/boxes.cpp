// The module's error boxes and their texts.
#include "plugin/boxes.h"

#include <windows.h>

#include "plugin/plugin_state.h"

void ShowError(const char *message) {
    MessageBoxA(nullptr, message, PluginTitle, MB_ICONERROR | MB_OK);
}

void Say(StreamReport report) {
    switch (report) {
    case REPORT_NO_SERVER:
        ShowError("No server connection!");
        break;
    case REPORT_CANT_OPEN:
        ShowError("Can't open sound device at server");
        break;
    case REPORT_CANT_SEND:
        ShowError("Can't send data to server");
        break;
    case REPORT_NOTHING:
        break;
    }
}
