// The 5-6-5 pixel: each channel keeps its top bits in its own place, stored
// low byte first; a channel swap or a wrong shift shows in one of these.
#include <gtest/gtest.h>

#include "buffer/buffer.h"
#include "picture/picture.h"

TEST(convert24to16, pixels)
{
	static const struct {
		const char *name;
		unsigned char bgr[3], want[2];
	} cases[] = {
	    {"white", {0xff, 0xff, 0xff}, {0xff, 0xff}},
	    {"red", {0x00, 0x00, 0xff}, {0x00, 0xf8}},
	    {"green", {0x00, 0xff, 0x00}, {0xe0, 0x07}},
	    {"blue", {0xff, 0x00, 0x00}, {0x1f, 0x00}},
	    {"black", {0x00, 0x00, 0x00}, {0x00, 0x00}},
	    {"mid grey", {0x80, 0x80, 0x80}, {0x10, 0x84}},
	    {"low bits dropped", {0x07, 0x03, 0x07}, {0x00, 0x00}},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		memcpy(buf + 9, c.bgr, 3);
		ASSERT_EQ(2u, convert24to16(9, 3));
		EXPECT_EQ(c.want[0], buf[9]);
		EXPECT_EQ(c.want[1], buf[10]);
	}
}
