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

// Removes what a failed save left at path, if it is a regular file: never
// a link, a folder or a device.
void discard(const char *path);
