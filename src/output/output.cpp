#include "output/output.h"

#include <array>
#include <bit>
#include <cstring>

#include "buffer/buffer.h"

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

// Lines gather here and reach the stream in large writes: every write
// costs the file system a fixed price, and 256 KiB blocks made a 4 MiB
// listing some 12% faster than 64 KiB ones.
static char blk[1 << 18];

// The longest line: "0" and 8 digits, ": ", 16 times "ff ", CR LF.
constexpr size_t linemax = 11 + 16 * 3 + 2;

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

// A fixed count for full lines lets the compiler unroll them.
static char *
putline(char *o, const unsigned char *p, uint32_t n)
{
	if (n == 16) {
		for (int i = 0; i < 16; i++)
			o = putbyte(o, p[i]);
	} else {
		for (uint32_t i = 0; i < n; i++)
			o = putbyte(o, p[i]);
	}
	*o++ = '\r';
	*o++ = '\n';
	return o;
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

	// The first line and every line that starts on a 4 KiB boundary of
	// the target carry the address of their first byte.
	for (bool first = true; len > 0; first = false) {
		uint32_t n = len < 16 ? len : 16;
		if (first || (add & 0xfff) == 0) {
			o = putaddr(o, add);
		} else {
			*o++ = ':';
			*o++ = ' ';
		}
		o = putline(o, p, n);
		p += n;
		add += n;
		len -= n;
		if (o > blk + sizeof blk - linemax) {
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
	uint64_t n = 2 * uint64_t{len} + 4 * ((uint64_t{len} + 15) / 16);
	for (uint32_t i = 0; i < len; i++)
		n += buf[skp + i] > 15;
	if (len == 0)
		return 0;
	n += 2 + static_cast<unsigned>(topshift(add)) / 4;
	// Later lines start on a 4 KiB boundary only if the first line starts
	// on a 16-byte one.
	for (uint64_t at = 0x1000 - (add & 0xfff); (add & 15) == 0 && at < len;
	     at += 0x1000)
		n += 2 + static_cast<unsigned>(
			     topshift(add + static_cast<uint32_t>(at))) /
			     4;
	return n;
}
