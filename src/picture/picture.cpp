#include "picture/picture.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

static uint32_t
le16(uint32_t at)
{
	return uint32_t{buf[at]} | uint32_t{buf[at + 1]} << 8;
}

static uint32_t
le32(uint32_t at)
{
	return le16(at) | le16(at + 2) << 16;
}

// The sizes of the info headers that picture files are written with.
static bool
knownheader(uint32_t n)
{
	static const uint32_t sizes[] = {12, 40, 52, 56, 64, 108, 124};
	for (uint32_t size : sizes)
		if (size == n)
			return true;
	return false;
}

// A picture file of the given size: "BM", that size, a known info header,
// its pixels past the headers and within the file. Returns the offset of
// the pixels, or 0 when the input is not one.
static uint32_t
pixeloffset(uint32_t size)
{
	if (size < 18 || buf[0] != 'B' || buf[1] != 'M' || le32(2) != size)
		return 0;
	uint32_t head = le32(14), off = le32(10);
	if (!knownheader(head) || size < 14 + head || off < 14 + head ||
	    off >= size)
		return 0;
	return off;
}

// A picture file cut short (a broken download): headers that would make a
// picture file of the size they say, more than the input's.
static bool
truncated(uint32_t size)
{
	return size >= 18 && le32(2) > size && pixeloffset(le32(2)) != 0;
}

static const char *
cutshort(uint32_t size)
{
	static char why[96];
	(void)snprintf(why, sizeof why,
		       "a BMP file cut short: its header says %08x bytes, len "
		       "is %08x: fetch or save it again",
		       le32(2), size);
	return why;
}

// Pictures of another format, named: unmistakable by their first bytes,
// where bare pixels could only start so by a rare chance. A dot stands for
// any byte.
static const char *
otherformat(uint32_t size)
{
	static const struct {
		const char *magic;
		uint32_t n;
		const char *name;
	} formats[] = {
	    {"\x89PNG\r\n\x1a\n", 8, "PNG"},
	    {"GIF87a", 6, "GIF"},
	    {"GIF89a", 6, "GIF"},
	    {"\xff\xd8\xff", 3, "JPEG"},
	    {"II*\0", 4, "TIFF"},
	    {"MM\0*", 4, "TIFF"},
	    {"RIFF....WEBP", 12, "WebP"},
	    {"qoif", 4, "QOI"},
	};
	for (const auto &f : formats) {
		uint32_t i = 0;
		while (i < f.n && i < size &&
		       (f.magic[i] == '.' || buf[i] == uint8_t(f.magic[i])))
			i++;
		if (i == f.n)
			return f.name;
	}
	return nullptr;
}

const char *
cutpicture(uint32_t size, uint32_t skp, uint32_t chp)
{
	static char why[112];
	if (truncated(size))
		return cutshort(size);
	uint32_t off = pixeloffset(size);
	if (off == 0)
		return nullptr;
	// skp past the end is the number at fault, or one that starts no row;
	// else chp, which can keep at most the rows the conversion takes.
	if (skp >= size || skp < off || (skp - off) % 768 != 0)
		(void)snprintf(
		    why, sizeof why,
		    "skp + chp is more than len: the pixels start at "
		    "%x: give %x as skp",
		    off, off);
	else
		(void)snprintf(why, sizeof why,
			       "skp + chp is more than len: give at most %x as "
			       "chp, not %x",
			       size - skp > 147456 ? size - skp - 147456 : 0,
			       chp);
	return why;
}

// The picture's rows from skp to end, and no further than the picture's own
// height: 768 bytes each.
static int64_t
rowsupto(uint32_t end, uint32_t skp, uint32_t off, int32_t height)
{
	return std::max<int64_t>(0,
				 std::min((int64_t{end} - skp) / 768,
					  int64_t{height} - (skp - off) / 768));
}

// The picture file's rows from skp to the end of the window, which chp may
// shorten, must be the 192 the conversion takes: too few, the picture's own
// or cut by chp, or too many, of a taller picture. Each reason names the
// fix, in hex as skp and chp are typed.
static const char *
rowcount(uint32_t size, uint32_t skp, uint32_t chp, uint32_t off,
	 int32_t height)
{
	static char why[160];
	int64_t rows = rowsupto(size - chp, skp, off, height);
	if (rows == 192)
		return nullptr;
	if (rows > 192)
		(void)snprintf(
		    why, sizeof why,
		    "%lld rows from skp; the conversion takes 192: "
		    "give %x as chp to keep the bottom 192, or %x as "
		    "skp to keep the top 192",
		    static_cast<long long>(rows), size - skp - 147456,
		    static_cast<uint32_t>(skp + (rows - 192) * 768));
	else if (rowsupto(size, skp, off, height) >= 192)
		(void)snprintf(why, sizeof why,
			       "chp cuts the picture to %lld rows; the "
			       "conversion takes 192: give a smaller chp",
			       static_cast<long long>(rows));
	else
		(void)snprintf(why, sizeof why,
			       "%lld rows from skp; the conversion takes 192",
			       static_cast<long long>(rows));
	return why;
}

const char *
checkpicture(uint32_t size, uint32_t skp, uint32_t chp)
{
	static char why[112];
	if (const char *other = otherformat(size)) {
		(void)snprintf(why, sizeof why,
			       "a %s file; the conversion takes the pixels of "
			       "a 24-bit BMP: save it as one",
			       other);
		return why;
	}
	// The rest of a file cut short would come in as zeros.
	if (truncated(size))
		return cutshort(size);
	uint32_t off = pixeloffset(size);
	if (off == 0)
		return nullptr; // bare pixels: nothing says they are wrong
	// The oldest header has 16-bit sizes and no compression field.
	bool core = le32(14) == 12;
	uint32_t bits = le16(core ? 24 : 28);
	uint32_t comp = core ? 0 : le32(30);
	auto width = static_cast<int32_t>(core ? le16(18) : le32(18));
	auto height = static_cast<int32_t>(core ? le16(20) : le32(22));

	// Bits, pixels and rows are counted in decimal; offsets are in hex,
	// as skp is typed.
	if (bits != 24)
		(void)snprintf(why, sizeof why,
			       "%u bits a pixel; the conversion takes 24: save "
			       "it as a 24-bit BMP",
			       bits);
	else if (comp != 0)
		return "compressed pixels; the conversion takes uncompressed: "
		       "save it as an uncompressed 24-bit BMP";
	else if (width != 256)
		(void)snprintf(
		    why, sizeof why,
		    "%d pixels wide; the conversion takes 256: scale "
		    "it to 256 x 192",
		    width);
	else if (height < 0)
		return "rows stored top first; the conversion takes bottom "
		       "first: save it again as a 24-bit BMP, which most "
		       "programs store bottom first";
	else if (skp < off || (skp - off) % 768 != 0)
		(void)snprintf(why, sizeof why,
			       "the pixels start at %x: give %x as skp, not %x",
			       off, off, skp);
	else
		return rowcount(size, skp, chp, off, height);
	return why;
}
