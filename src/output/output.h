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

// The stream the output at path is written to. A regular file, or a path
// that names nothing yet, gets a new temporary file beside it (links
// followed); devices, FIFOs and a folder closed to new files are written in
// place. Null on failure, with errno saying why.
FILE *openoutput(const char *path);

// Writes n bytes of the output to f, as the writers do for every block;
// false if a write failed.
bool putoutput(FILE *f, const void *p, size_t n);

// Closes f after the writer, ok if every write succeeded; the new output
// then takes the place of the old. False on any failure, with errno saying
// why; the output path is then as it was before the run, unless it was
// written in place.
bool closeoutput(FILE *f, bool ok);
