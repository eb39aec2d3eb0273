// The input buffer: the whole input file, rewritten in place by every stage.
#pragma once

#include <cstdint>

constexpr uint32_t bufsize = 0x400000; // 4 MiB

// The input file from offset 0; zero past its end, as the process starts.
extern unsigned char buf[bufsize];

// Reads the whole input at path into buf and sets *size. Pipes and other
// streams that cannot seek are read to their end. Null, or why the input
// can't be read or does not fit in buf.
const char *loadinput(const char *path, uint32_t *size);

// The payload window: len = size - skp - chp. Null, or why not: skp and chp
// together cut more than the file holds.
const char *cutwindow(uint32_t size, uint32_t skp, uint32_t chp, uint32_t *len);
