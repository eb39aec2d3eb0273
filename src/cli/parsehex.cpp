#include "cli/cli.h"

uint32_t
parsehex(const char *text)
{
	uint32_t value = 0;

	// Digits, letters of either case and every other byte alike take the
	// same three steps; a byte of 0x80 or more counts as negative first.
	for (const char *p = text; *p; p++) {
		uint32_t d =
		    static_cast<uint32_t>(static_cast<signed char>(*p) - 48);
		if (d > 9)
			d -= 7;
		if (d > 32)
			d -= 32;
		value = value * 16 + d;
	}
	return value;
}
