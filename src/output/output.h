// The writers: the payload window of buf into an open output stream.
#pragma once

#include <cstdint>
#include <cstdio>

// The len bytes of buf from offset skp, as they are. False if a write
// failed.
bool writebinary(FILE *f, uint32_t skp, uint32_t len);

// The same bytes as an addressed hex listing labelled from address add,
// CR LF line ends on every platform. False if a write failed.
bool writelisting(FILE *f, uint32_t skp, uint32_t len, uint32_t add);

// Whether the listing is spelled 16 bytes a step, where the processor
// can (AVX), or the plain way, byte by byte; both spell the same bytes.
// Returns what it now is.
bool vectorlisting(bool on);

// The length in bytes of that listing, counted without spelling it.
uint64_t listinglen(uint32_t skp, uint32_t len, uint32_t add);
