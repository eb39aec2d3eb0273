// The sample inputs, made by the project itself: a small program image and
// a 256 x 192 24-bit test picture. The tests use the same picture.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The test pattern at column x, row y (row 0 at the top): blue rises
// across, red and green together number the row, so a flip, a row off by
// one or a swapped channel all show. Corners: red, magenta, dark yellow,
// grey-blue.
inline void
samplepixel(int x, int y, uint8_t *b, uint8_t *g, uint8_t *r)
{
	*b = static_cast<uint8_t>(x);
	*g = static_cast<uint8_t>(y * 4);
	*r = static_cast<uint8_t>(255 - y);
}

// Writes data to path whole; false if any of it did not reach the file.
inline bool
savefile(const std::string &path, const std::string &data)
{
	FILE *f = fopen(path.c_str(), "wb");
	if (!f)
		return false;
	bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
	return fclose(f) == 0 && ok;
}

inline void
put16(std::string &s, unsigned v)
{
	s += static_cast<char>(v & 0xff);
	s += static_cast<char>(v >> 8 & 0xff);
}

inline void
put32(std::string &s, unsigned v)
{
	put16(s, v & 0xffff);
	put16(s, v >> 16);
}

// A whole 24-bit BMP file: 0x36 bytes of headers, then the pixels bottom
// row first, blue-green-red, 768 bytes a row.
inline std::string
samplebmp()
{
	const unsigned pixels = 256 * 192 * 3;
	std::string s = "BM";
	put32(s, 0x36 + pixels);
	put32(s, 0);
	put32(s, 0x36);
	put32(s, 40); // info header: size, width, height, planes, bits
	put32(s, 256);
	put32(s, 192);
	put16(s, 1);
	put16(s, 24);
	put32(s, 0); // no compression
	put32(s, pixels);
	put32(s, 2835); // 72 dpi
	put32(s, 2835);
	put32(s, 0);
	put32(s, 0);
	for (int y = 191; y >= 0; y--)
		for (int x = 0; x < 256; x++) {
			uint8_t b, g, r;
			samplepixel(x, y, &b, &g, &r);
			s += static_cast<char>(b);
			s += static_cast<char>(g);
			s += static_cast<char>(r);
		}
	return s;
}

// A small program image for a machine that loads at 0x8000: a short jump
// over a greeting, code bytes, and a table that runs to 600 bytes.
inline std::string
sampleprogram()
{
	std::string s = "\x18\x13"; // jump over the 19-byte greeting
	s += "Hello from loadprep";
	s += std::string("\x00\x21\x02\x80\xcd\x40\x00\xc9", 8);
	for (int i = 0; s.size() < 600; i++)
		s += static_cast<char>(i * 7 + 3);
	return s;
}
