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

// The test pattern's pixel array: bottom row first, blue-green-red, 768
// bytes a row.
inline std::string
samplepixels()
{
	std::string s;
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

// A picture file: its info header of head bytes (12, or 40 with zeros
// after for the larger ones) says width, height, bits a pixel and
// compression, and the pixels follow it.
inline std::string
picturefile(unsigned head, int width, int height, unsigned bits, unsigned comp,
	    const std::string &pixels)
{
	auto size = static_cast<unsigned>(pixels.size());
	std::string s = "BM";
	put32(s, 14 + head + size);
	put32(s, 0);
	put32(s, 14 + head); // where the pixels start
	put32(s, head);
	if (head == 12) {
		put16(s, static_cast<unsigned>(width));
		put16(s, static_cast<unsigned>(height));
		put16(s, 1); // planes
		put16(s, bits);
		return s + pixels;
	}
	put32(s, static_cast<unsigned>(width));
	put32(s, static_cast<unsigned>(height));
	put16(s, 1);
	put16(s, bits);
	put32(s, comp);
	put32(s, size);
	put32(s, 2835); // 72 dpi
	put32(s, 2835);
	s.resize(14 + head, '\0');
	return s + pixels;
}

// A whole 24-bit BMP file of the test pattern, with the 0x36 bytes of
// headers most programs write.
inline std::string
samplebmp()
{
	return picturefile(40, 256, 192, 24, 0, samplepixels());
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
