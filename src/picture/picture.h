// Picture conversion in buf: a 256 x 192 picture of 24-bit blue-green-red
// pixels, bottom row first, into 16-bit 5-6-5 pixels, top row first.
#pragma once

#include <cstdint>

// Bytes of the converted picture: 192 rows of 256 pixels, 2 bytes each.
constexpr uint32_t picturesize = 192 * 512;

// Converts the pixels of the len bytes at skp in place, each stored low byte
// first; returns the converted length, floor(2 * len / 3).
uint32_t convert24to16(uint32_t skp, uint32_t len);

// Swaps the rows of the picturesize bytes at skp, whatever the converted
// length: the caller keeps skp + picturesize within buf.
void flipimage(uint32_t skp);

// Why the conversion of the picture at skp would be scrambled: the input of
// the given size in buf is a picture of another format (PNG, GIF, JPEG,
// TIFF, WebP, QOI), a picture file cut short, or a picture file whose own
// headers say so: not 24 bits a pixel, compressed, not 256 pixels wide,
// top row first, pixels that do not start at skp or a whole row past it (a
// taller picture holds several), or other than 192 rows from skp to the
// end of the window, which chp may shorten. Null for anything else, bare
// pixels above all. Each reason says what to do about it.
const char *checkpicture(uint32_t size, uint32_t skp, uint32_t chp);

// Why skp and chp cut more than the input holds, where it is a picture file:
// one cut short, or a whole one with the number that runs past its end.
// Null for anything else.
const char *cutpicture(uint32_t size, uint32_t skp, uint32_t chp);
