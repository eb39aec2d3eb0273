#include "picture/picture.h"

#include <algorithm>

#include "buffer/buffer.h"

uint32_t
convert24to16(uint32_t skp, uint32_t len)
{
	uint32_t newlen = static_cast<uint32_t>(uint64_t{len} * 2 / 3);
	size_t n = newlen / 2; // whole pixels
	unsigned char *p = buf + skp;

	// Front to back: each 2-byte pixel lands at or before the 3 bytes it
	// came from, so the picture converts in place.
	for (size_t k = 0; k < n; k++) {
		unsigned b = p[3 * k], g = p[3 * k + 1], r = p[3 * k + 2];
		unsigned v = (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
		p[2 * k] = static_cast<unsigned char>(v);
		p[2 * k + 1] = static_cast<unsigned char>(v >> 8);
	}
	return newlen;
}

void
flipimage(uint32_t skp)
{
	constexpr size_t row = 512, rows = 192;
	unsigned char *p = buf + skp;

	for (size_t y = 0; y < rows / 2; y++)
		std::swap_ranges(p + row * y, p + row * (y + 1),
				 p + row * (rows - 1 - y));
}
