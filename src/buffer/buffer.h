// The input buffer: the whole input file, rewritten in place by every stage.
#pragma once

#include <cstdint>

constexpr uint32_t bufsize = 0x400000; // 4 MiB

// The input file from offset 0; zero past its end, as the process starts.
extern unsigned char buf[bufsize];

// Reads the whole input at path into buf and reports "len=". Pipes and
// other streams that cannot seek are read to their end. False, after one
// message line, when the input can't be read or does not fit in buf.
bool loadinput(const char *path, uint32_t *size);

// The payload window: len = size - skp - chp. False, after one message
// line, when skp and chp together cut more than the file holds.
bool cutwindow(const char *path, uint32_t size, uint32_t skp, uint32_t chp,
	       uint32_t *len);
