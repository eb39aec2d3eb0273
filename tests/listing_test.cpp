// The listing writer spells bytes through a table and hands the stream
// large blocks; here it must match the one-call-a-byte model everywhere:
// line and block boundaries, 4 KiB labels, address wrap, every byte value.
// Its length, counted without spelling it, must match too.
#include <gtest/gtest.h>

#include <random>

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

TEST(writelisting, matchesmodel)
{
	static const struct {
		uint32_t skp, len, add;
	} cases[] = {
	    {0, 0, 0},
	    {0, 1, 0},
	    {0, 15, 0x8000},
	    {0, 16, 0x8000},
	    {0, 17, 0x8000},
	    {5, 300, 0xff0},	     // second line labelled at 0x1000
	    {0, 0x2000, 0x8},	     // never on a boundary after the first
	    {0, 0x3000, 0xfffff000}, // wraps to 0 on a boundary
	    {3, 100, 0xfffffff8},    // wraps to 8, mid-line
	    {7, 0x40000, 0x12345},   // many blocks
	    {0, bufsize, 0},	     // all of buf
	    {bufsize - 20, 20, 0x10000},
	};
	std::mt19937 rnd(7);
	for (auto &b : buf)
		b = static_cast<unsigned char>(rnd());

	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "skp " << c.skp << " len "
						<< c.len << " add " << c.add);
		std::string data(reinterpret_cast<char *>(buf) + c.skp, c.len);
		std::string want = reflisting(data, c.add);
		std::string got = listing(c.skp, c.len, c.add);
		EXPECT_TRUE(want == got) << hexdiff(want, got);
		EXPECT_EQ(want.size(), listinglen(c.skp, c.len, c.add));
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

// The step width wide spells and counts what the plain way does: every
// length to 64 and lines around 4 KiB labels, near the wrap, over every
// byte value.
static void
matchesplain(unsigned wide)
{
	for (uint32_t add : {0u, 0xfe0u, 0xfffffff0u, 0xfffff800u})
		for (uint32_t len = 0; len < 4200; len += len < 64     ? 1
							  : len < 4080 ? 1000
								       : 7) {
			SCOPED_TRACE(testing::Message()
				     << wide << "-byte step, len " << len
				     << " add " << add);
			listingwidth(wide);
			std::string want = listing(len % 5, len, add);
			EXPECT_EQ(want.size(), listinglen(len % 5, len, add));
			listingwidth(1);
			EXPECT_EQ(listing(len % 5, len, add), want);
		}
}

TEST(writelisting, widermatchesplain)
{
	std::mt19937 rnd(9);
	for (size_t i = 0; i < 0x10000; i++)
		buf[i] = static_cast<unsigned char>(i < 0x1000 ? i * 7 : rnd());
	for (unsigned wide : {16u, 64u})
		if (listingwidth(wide) == wide)
			matchesplain(wide);
		else
			printf("no %u-byte step on this processor\n", wide);
	listingwidth(64);
}
