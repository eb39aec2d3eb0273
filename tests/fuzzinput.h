// How a fuzz input becomes a run: the first byte gives the argument count
// (1 to 10, low four bits modulo 10) and, in its top bit, whether the output
// path is the input path; the arguments from position 3 on follow, each
// ended by a NUL byte; every byte after them is the input file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct fuzzcase {
	int argc = 1;
	bool samepath = false;
	std::vector<std::string> params; // arguments 3 and on
	std::string file;
};

inline fuzzcase
decodefuzz(const uint8_t *data, size_t size)
{
	fuzzcase c;
	size_t i = 0;
	if (size > 0) {
		c.argc = (data[0] & 15) % 10 + 1;
		c.samepath = (data[0] & 0x80) != 0;
		i = 1;
	}
	for (int a = 3; a < c.argc; a++) {
		std::string p;
		while (i < size && data[i] != 0)
			p += static_cast<char>(data[i++]);
		i += i < size; // the NUL
		c.params.push_back(p);
	}
	c.file.assign(reinterpret_cast<const char *>(data) + i, size - i);
	return c;
}

inline std::string
encodefuzz(const fuzzcase &c)
{
	std::string s(
	    1, static_cast<char>((c.argc - 1) | (c.samepath ? 0x80 : 0)));
	for (const auto &p : c.params)
		s += p + '\0';
	return s + c.file;
}
