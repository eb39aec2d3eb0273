// Plain, slow models of the tool's output to check it against, and the
// inputs the tests share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// n bytes counting up from start, wrapping at 256.
inline std::string
seq(size_t n, unsigned start = 0)
{
	std::string s(n, '\0');
	for (size_t i = 0; i < n; i++)
		s[i] = static_cast<char>((start + i) & 0xff);
	return s;
}

// The addressed hex listing of data from address add, one formatted call a
// byte: what the fast writer must match.
inline std::string
reflisting(const std::string &data, uint32_t add)
{
	std::string s;
	char t[16];
	for (size_t i = 0; i < data.size(); i++, add++) {
		if (i % 16 == 0) {
			if (i == 0 || (add & 0xfff) == 0)
				snprintf(t, sizeof t, "0%x: ", add);
			else
				snprintf(t, sizeof t, ": ");
			s += t;
		}
		snprintf(t, sizeof t, "%x ",
			 static_cast<unsigned char>(data[i]));
		s += t;
		if (i % 16 == 15 || i + 1 == data.size())
			s += "\r\n";
	}
	return s;
}

// The Add=, Skp=, Chp= lines a run on args begins with, where its numbers
// are hex digits alone, kept to 32 bits; empty where one is not, for the
// row to spell its own.
inline std::string
refheader(const std::vector<std::string> &args)
{
	std::string s;
	const char *names[] = {"Add", "Skp", "Chp"};
	for (size_t i = 2; i < 5; i++) {
		std::string a = i < args.size() ? args[i] : "0";
		if (a.empty() ||
		    a.find_first_not_of("0123456789abcdefABCDEF") !=
			std::string::npos)
			return "";
		char t[32];
		snprintf(t, sizeof t, "%s=%08lx\n", names[i - 2],
			 std::stoul(a.substr(a.size() > 8 ? a.size() - 8 : 0),
				    nullptr, 16));
		s += t;
	}
	return s;
}

// The whole file at path; empty if it can't be read.
inline std::string
readfile(const std::string &path)
{
	std::string s;
	FILE *f = fopen(path.c_str(), "rb");
	if (!f)
		return s;
	char t[65536];
	size_t n;
	while ((n = fread(t, 1, sizeof t, f)) > 0)
		s.append(t, n);
	fclose(f);
	return s;
}

// Where two byte strings first differ, with the bytes around it in hex.
inline std::string
hexdiff(const std::string &want, const std::string &got)
{
	size_t i = 0;
	while (i < want.size() && i < got.size() && want[i] == got[i])
		i++;
	if (i == want.size() && i == got.size())
		return "same";
	auto dump = [i](const std::string &s) {
		std::string d;
		char t[4];
		size_t from = i < 8 ? 0 : i - 8;
		for (size_t j = from; j < s.size() && j < from + 24; j++) {
			snprintf(t, sizeof t, "%02x ",
				 static_cast<unsigned char>(s[j]));
			d += t;
		}
		return d;
	};
	return "first difference at byte " + std::to_string(i) + " of " +
	       std::to_string(want.size()) + " wanted, " +
	       std::to_string(got.size()) + " got\n  want: " + dump(want) +
	       "\n  got:  " + dump(got);
}
