// The fuzzers' random numbers: xorshift32, so that the same seed gives the
// same run.
#pragma once

#include <stdint.h>

struct Random {
    uint32_t State;
    uint32_t Next() {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return State;
    }
    uint32_t Below(uint32_t bound) { return Next() % bound; }
    bool Chance(uint32_t percent) { return Below(100) < percent; }
};
