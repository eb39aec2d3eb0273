// The listing writer spells bytes through a table and hands the stream
// large blocks; here it must match the one-call-a-byte model everywhere:
// line and block boundaries, 4 KiB labels, address wrap, every byte value.
// Its length, counted without spelling it, must match too, at every step
// width.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "buffer/buffer.h"
#include "listing/listing.h"
#include "reference.h"

static std::string
listing(uint32_t skp, uint32_t len, uint32_t add)
{
	FILE *f = tmpfile();
	EXPECT_TRUE(writelisting(f, skp, len, add));
	std::string s(static_cast<size_t>(ftell(f)), '\0');
	rewind(f);
	EXPECT_EQ(s.size(), fread(s.data(), 1, s.size(), f));
	fclose(f);
	return s;
}

// At every step width, whatever the processor has: the width is narrowed
// here, not picked by the machine the test runs on.
TEST(writelisting, matchesmodel)
{
	struct window {
		uint32_t skp, len, add;
	};
	std::vector<window> cases = {
	    {5, 300, 0xff0},	     // second line labelled at 0x1000
	    {0, 0x2000, 0x8},	     // never on a boundary after the first
	    {0, 0x3000, 0xfffff000}, // wraps to 0 on a boundary
	    {3, 100, 0xfffffff8},    // wraps to 8, mid-line
	    {7, 0x40000, 0x12345},   // many blocks
	    {0, bufsize, 0},	     // all of buf, 64 KiB of it under 16
	    {0, bufsize, 8},	     // blocks that end mid-line
	    {1, bufsize - 1, 0xfffffff8},
	    {bufsize - 20, 20, 0x10000},
	};
	// Every length to 64, and lines around 4 KiB labels, near the wrap.
	for (uint32_t add : {0u, 0xfe0u, 0xfffffff0u, 0xfffff800u})
		for (uint32_t len = 0; len < 4200; len += len < 64     ? 1
							  : len < 4080 ? 1000
								       : 7)
			cases.push_back({len % 5, len, add});
	std::mt19937 rnd(7);
	for (size_t i = 0; i < bufsize; i++)
		buf[i] = static_cast<unsigned char>(i < 0x1000	   ? i * 7
						    : i >> 16 == 1 ? i & 15
								   : rnd());

	for (const auto &c : cases) {
		std::string data(reinterpret_cast<char *>(buf) + c.skp, c.len);
		std::string want = reflisting(data, c.add);
		for (unsigned width : {1u, 16u}) {
			unsigned used = listingwidth(width);
			ASSERT_LE(used, width) << "a wider step than asked";
			SCOPED_TRACE(testing::Message()
				     << "skp " << c.skp << " len " << c.len
				     << " add " << c.add << ", " << used
				     << "-byte step");
			std::string got = listing(c.skp, c.len, c.add);
			EXPECT_TRUE(want == got) << hexdiff(want, got);
			EXPECT_EQ(want.size(), listinglen(c.skp, c.len, c.add));
		}
	}
}

TEST(writelisting, reportsfailedwrite)
{
	FILE *f = fopen("/dev/full", "wb");
	if (!f)
		GTEST_SKIP() << "no /dev/full on this system";
	EXPECT_FALSE(writelisting(f, 0, 0x20000, 0));
	fclose(f);
}
