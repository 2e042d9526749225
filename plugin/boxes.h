// The module's error boxes: what a stream operation reports, told to the
// player in a modal box titled with the plug-in's name. Never called under a
// stream lock.
#pragma once

#include "plugin/stream.h"

void ShowError(const char *message);
// Shows the box for `report`, if it has one.
void Say(StreamReport report);
