// Timing of the plug-in's operations: a record that forwards every call to
// the plug-in's own and measures how long it took, for finding calls that
// block the player's threads.
#pragma once

#include "plugin/out_module.h"

// A record that stands in for `real` (which must outlive it). Every call that
// takes at least `reportMs` is printed as it returns; a negative value prints
// none of them.
Out_Module *TimedModule(Out_Module *real, int reportMs);
// One line per operation that was called: its calls and the longest of them.
void PrintCallTimes();
