// The 5-6-5 pixel: each channel keeps its top bits in its own place, stored
// low byte first; a channel swap or a wrong shift shows in one of these.
#include <gtest/gtest.h>

#include "buffer/buffer.h"
#include "picture/picture.h"
#include "samples.h"

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

// What the checks make of picture files whose headers sit at the edge of a
// rule: null where the conversion goes ahead.
TEST(checkpicture, edges)
{
	const std::string px = samplepixels(), bmp = samplebmp();
	const struct {
		const char *name;
		std::string file;
		uint32_t skp, chp;
		const char *want;
	} cases[] = {
	    {"a size field of 0 is no picture file's: bare pixels from 0",
	     bmp.substr(0, 2) + std::string(4, 0) + bmp.substr(6), 0, 0x36,
	     nullptr},
	    {"193 rows: one too many",
	     picturefile(40, 256, 193, 24, 0, px + std::string(768, 0)), 0x36,
	     0,
	     "193 rows from skp; the conversion takes 192: give 300 as chp to "
	     "keep the bottom 192, or 336 as skp to keep the top 192"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		memcpy(buf, c.file.data(), c.file.size());
		auto size = static_cast<uint32_t>(c.file.size());
		EXPECT_STREQ(c.want, checkpicture(size, c.skp, c.chp));
	}
}
