// Writing the payload window of buf into an open output stream: as an
// addressed hex listing, with its length counted ahead, or raw.
#pragma once

#include <cstdint>
#include <cstdio>

// The len bytes of buf from offset skp, as they are. False if a write
// failed.
bool writebinary(FILE *f, uint32_t skp, uint32_t len);

// The same bytes as an addressed hex listing labelled from address add,
// CR LF line ends on every platform. False if a write failed.
bool writelisting(FILE *f, uint32_t skp, uint32_t len, uint32_t add);

// Spells the listing's full lines the widest way this processor has that
// takes in at most most bytes a step: 16 (AVX) or 1, the plain way. Both
// spell the same bytes. Returns the width now used.
unsigned listingwidth(unsigned most);

// The length in bytes of that listing, counted without spelling it.
uint64_t listinglen(uint32_t skp, uint32_t len, uint32_t add);
