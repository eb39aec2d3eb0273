// parsehex never rejects a byte: these cases pin down the value it gives
// for the texts people really type, and for the ones they type by mistake.
#include <gtest/gtest.h>

#include "cli/cli.h"

TEST(parsehex, values)
{
	static const struct {
		const char *in;
		uint32_t want;
	} cases[] = {
	    {"", 0},
	    {"0", 0},
	    {"ff", 0xff},
	    {"FF", 0xff},
	    {"0ff", 0xff},
	    {"8000", 0x8000},
	    {"deadBEEF", 0xdeadbeef},
	    {"ffffffff", 0xffffffff},
	    {"123456789", 0x23456789}, // the last eight digits count
	    {"1000000000", 0},
	    {"0x10", 0x2110}, // 'x' is the digit 33
	    {"G", 16},
	    {"W", 32}, // the second step only above 32
	    {"X", 1},
	    {"-1", 0xfffffd61}, // '-' is 45 - 48 - 7 - 32
	    {" ", 0xffffffc9},	// bytes below '0' wrap
	    {"\x7f", 0x28},
	    {"\x80", 0xffffff29}, // high bytes count as negative
	    {"\xff", 0xffffffa8},
	    {"1\xff", 0xffffffb8},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.in));
		EXPECT_EQ(c.want, parsehex(c.in));
	}
}
