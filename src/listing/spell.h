// The listing's vector step, for listing.cpp alone: x86 processors with
// AVX spell full lines 16 bytes a step (spell_x86.cpp).
#pragma once

#include <cstdint>

// Whether this processor takes the vector step.
bool vectorready();

// k full lines of 16 bytes from p without a label, into o; returns the end.
char *linesvector(char *o, const unsigned char *p, uint32_t k);

// How many of the n bytes at p are above 15, and so take two digits.
uint64_t bigvector(const unsigned char *p, uint32_t n);
