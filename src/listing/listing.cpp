// The listing's layout: which lines carry a label, where blocks of
// lines go out, and the length counted ahead. Full lines between labels
// are spelled many at once, the plain way here or the vector way where
// the processor has one (spell_x86.cpp).
#include "listing/listing.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#ifdef __linux__
#include <sys/mman.h>
#endif

#include "buffer/buffer.h"
#include "listing/spell.h"

static constexpr char digits[] = "0123456789abcdef";

// "%x " of each byte value in its first three chars, the length (2 or 3) in
// the fourth: a byte is spelled by one 4-char store and a step of that
// length, and the extra chars are overwritten by the next ones.
static constexpr auto hexbyte = [] {
	std::array<std::array<char, 4>, 256> t{};
	for (size_t i = 0; i < 256; i++) {
		auto &e = t[i];
		size_t n = 0;
		if (i > 15)
			e[n++] = digits[i >> 4];
		e[n++] = digits[i & 15];
		e[n++] = ' ';
		e[3] = static_cast<char>(n);
	}
	return t;
}();

// Lines gather here and reach the stream in 1 MiB writes: every write
// costs the file system a fixed price, and 13 writes of a 4 MiB listing
// cost less than 52 of 256 KiB. The slack past the block takes the whole
// 16-byte stores of the last line spelled.
constexpr size_t block = 1 << 20;

// The longest line: "0" and 8 digits, ": ", 16 times "ff ", CR LF.
constexpr size_t linemax = 11 + 16 * 3 + 2;

#ifdef __linux__
// A large listing is spelled into a huge page, where the system allows
// one: one page fault instead of 256, each dear in a virtual machine. A
// small one keeps small pages, since its first byte would cost a zeroed
// 2 MiB.
alignas(0x200000) static char blk[0x200000];

static void
advise(uint32_t len)
{
	if (len >= 0x80000)
		(void)madvise(blk, sizeof blk, MADV_HUGEPAGE);
}
#else
static char blk[block + 64];

static void
advise(uint32_t)
{
}
#endif

bool
writebinary(FILE *f, uint32_t skp, uint32_t len)
{
	return fwrite(buf + skp, 1, len, f) == len;
}

// The bit shift of the highest hex digit of add that is not a leading zero.
static int
topshift(uint32_t add)
{
	int shift = 28;
	while (shift > 0 && (add >> shift) == 0)
		shift -= 4;
	return shift;
}

static char *
putaddr(char *o, uint32_t add)
{
	int shift = topshift(add);
	*o++ = '0';
	for (; shift >= 0; shift -= 4)
		*o++ = digits[(add >> shift) & 15];
	*o++ = ':';
	*o++ = ' ';
	return o;
}

// One byte: a 4-char store, then a step by the length in its fourth char,
// taken from the same load.
static inline char *
putbyte(char *o, unsigned char b)
{
	uint32_t w;
	memcpy(&w, hexbyte[b].data(), 4);
	memcpy(o, &w, 4);
	return o + (std::endian::native == std::endian::little ? w >> 24
							       : w & 0xff);
}

static char *
putbytes(char *o, const unsigned char *p, uint32_t n)
{
	for (uint32_t i = 0; i < n; i++)
		o = putbyte(o, p[i]);
	return o;
}

static char *
endline(char *o)
{
	*o++ = '\r';
	*o++ = '\n';
	return o;
}

// k full lines without a label, the plain way: a fixed count of bytes
// lets the compiler unroll them.
static char *
linesplain(char *o, const unsigned char *p, uint32_t k)
{
	for (; k > 0; k--, p += 16) {
		*o++ = ':';
		*o++ = ' ';
		for (int i = 0; i < 16; i++)
			o = putbyte(o, p[i]);
		o = endline(o);
	}
	return o;
}

// The bytes above 15 among the n at p, the plain way.
static uint64_t
bigplain(const unsigned char *p, uint32_t n)
{
	uint64_t big = 0;
	for (uint32_t i = 0; i < n; i++)
		big += p[i] > 15;
	return big;
}

// A way of spelling a listing's full lines and counting its length.
struct path {
	char *(*lines)(char *, const unsigned char *, uint32_t);
	uint64_t (*big)(const unsigned char *, uint32_t);
};

static const path plain = {linesplain, bigplain};

// The widest a step may be; a test narrows it.
static unsigned most = 16;

// The vector step where the processor has one, else the plain way.
static const path *
use()
{
#if defined(__x86_64__) || defined(__i386__)
	static const path vector = {linesvector, bigvector};
	if (most >= 16 && vectorready())
		return &vector;
#endif
	return &plain;
}

unsigned
listingwidth(unsigned width)
{
	most = width;
	return use() == &plain ? 1 : 16;
}

static bool
flush(FILE *f, char *end)
{
	auto n = static_cast<size_t>(end - blk);
	return fwrite(blk, 1, n, f) == n;
}

bool
writelisting(FILE *f, uint32_t skp, uint32_t len, uint32_t add)
{
	const unsigned char *p = buf + skp;
	char *o = blk;
	const path *way = use();
	advise(len);

	// The first line and every line that starts on a 4 KiB boundary of
	// the target carry the address of their first byte; they, and a short
	// last line, are spelled one at a time, the full lines between them
	// all at once. Lines start on such a boundary only if the first starts
	// on a 16-byte one.
	for (bool first = true; len > 0; first = false) {
		uint32_t n = len < 16 ? len : 16;
		if (first || (add & 0xfff) == 0) {
			o = putaddr(o, add);
		} else {
			*o++ = ':';
			*o++ = ' ';
		}
		o = endline(putbytes(o, p, n));
		p += n;
		add += n;
		len -= n;
		uint32_t k = len / 16;
		if ((add & 15) == 0)
			k = std::min(k, ((0x1000 - add) & 0xfff) / 16);
		k = std::min(
		    k, static_cast<uint32_t>(
			   static_cast<size_t>(blk + block - o) / linemax));
		o = way->lines(o, p, k);
		p += size_t{16} * k;
		add += 16 * k;
		len -= 16 * k;
		if (o > blk + block - linemax) {
			if (!flush(f, o))
				return false;
			o = blk;
		}
	}
	return flush(f, o);
}

uint64_t
listinglen(uint32_t skp, uint32_t len, uint32_t add)
{
	// Every byte takes a digit and a space, and one more digit from 16
	// on; every line ": " and CR LF, and a label "0" and its digits more.
	if (len == 0)
		return 0;
	uint64_t n = 2 * uint64_t{len} + 4 * ((uint64_t{len} + 15) / 16) +
		     use()->big(buf + skp, len) + 2 +
		     static_cast<unsigned>(topshift(add)) / 4;
	// Later lines start on a 4 KiB boundary only if the first line starts
	// on a 16-byte one.
	for (uint64_t at = 0x1000 - (add & 0xfff); (add & 15) == 0 && at < len;
	     at += 0x1000)
		n += 2 + static_cast<unsigned>(
			     topshift(add + static_cast<uint32_t>(at))) /
			     4;
	return n;
}
