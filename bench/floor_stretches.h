// The floor's stretch modes, seeks and tracks: a file played from a new
// place every EVERY_MS, by a waveOutReset or by a waveOutOpen of its own,
// plain or primed as the service primes (floor_stretches.cpp).
#pragma once

#include "bench/floor_player.h"

// tvfloor seeks|tracks COUNT FILE EVERY_MS QUEUED_MS plain|primed; 2 for a
// wrong command line.
int Stretches(int argc, char **argv, Player *player);
