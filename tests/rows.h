// The end-to-end cases, one row each: arguments, the folder before, the
// console, the exit status, and the folder after. The end-to-end test runs
// them against a built program; the fuzzer starts from them.
#pragma once

#include <cstdint>
#include <linux/fs.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "reference.h"
#include "run.h"
#include "samples.h"

namespace
{

const std::string big(0x400000, 'B'); // as large as the tool takes
const std::string head0 = "Add=00000000\nSkp=00000000\nChp=00000000\n";

// The sample picture as 5-6-5 pixels, top row first: written from the
// pattern itself, not from the pixel array the tool reads.
std::string
picture565()
{
	std::string s;
	for (int y = 0; y < 192; y++)
		for (int x = 0; x < 256; x++) {
			uint8_t b, g, r;
			samplepixel(x, y, &b, &g, &r);
			put16(s, static_cast<unsigned>((r >> 3) << 11 |
						       (g >> 2) << 5 | b >> 3));
		}
	return s;
}

const std::string bmp = samplebmp();
const std::string pic = picture565();

// The pixel array less its last byte: 98,303 bytes come out, and the top
// row ends in the two raw bytes of the one pixel left unconverted.
std::string
picturelessone()
{
	std::string s = pic.substr(0, pic.size() - 1);
	s[510] = bmp[0x36 + 98302];
	s[511] = bmp[0x36 + 98303];
	return s;
}

const std::string tail = seq(100000, 5);

// Picture files with other headers, and the refusal of one: the console
// after "len=" for skp 36.
const std::string pixels = samplepixels();
const std::string bmp138 = picturefile(124, 256, 192, 24, 0, pixels);
const std::string bmp32 = picturefile(40, 256, 192, 32, 0, pixels);
const std::string bmp2 = picturefile(12, 256, 192, 24, 0, pixels);
const std::string tall =
    picturefile(40, 256, 384, 24, 0, pixels + std::string(pixels.size(), 0));
const std::string head36 = "Add=00000000\nSkp=00000036\nChp=00000000\n";

std::string
refused(const std::string &len, const std::string &why)
{
	return head36 + "len=" + len + "\nCan't Convert 'in': " + why + "\n";
}

// Pixel data of zeros but for its first converted bytes: converted as
// ever, they land first in the bottom row.
std::string
bottomfirst(const std::string &converted)
{
	std::string s(pic.size(), '\0');
	s.replace(191 * 512, converted.size(), converted);
	return s;
}

// The len= and newlen= lines of a run that keeps all n bytes.
std::string
lens(unsigned n)
{
	char t[40];
	snprintf(t, sizeof t, "len=%08x\nnewlen=%08x\n", n, n);
	return t;
}

// The extended attribute that holds an ACL, from its short text: entries
// such as "u::rw- u:65534:--- g::r-- m::r-- o::---", in that order.
std::string
acl(const std::string &text)
{
	std::string s;
	put32(s, 2); // the format's version
	std::istringstream in(text);
	for (std::string e; in >> e;) {
		std::string id = e.substr(2, e.find(':', 2) - 2);
		unsigned tag = e[0] == 'u'   ? 1
			       : e[0] == 'g' ? 4
			       : e[0] == 'm' ? 0x10
					     : 0x20;
		put16(s, id.empty() ? tag : tag << 1); // a named user or group
		put16(s, (e[e.size() - 3] == 'r') * 4u +
			     (e[e.size() - 2] == 'w') * 2u + (e.back() == 'x'));
		put32(s, id.empty() ? 0xffffffff
				    : static_cast<unsigned>(std::stoul(id)));
	}
	return s;
}

// An output name as long as a name can be, and an output path of 4,088
// bytes, too long to be named from the root: nested folders, then "out".
const std::string longname(255, 'n'), longdir(200, 'd');
const std::string longout = [] {
	std::string p;
	while (p.size() < 4088 - 4 - 250)
		p += std::string(250, 'd') + "/";
	return p + std::string(4088 - 4 - p.size(), 'd') + "/out";
}();

// The input, and an old output at the end of longout.
std::vector<entry>
longpath()
{
	std::vector<entry> v = {{"in", seq(0x1000)}};
	for (size_t i = longout.find('/'); i != std::string::npos;
	     i = longout.find('/', i + 1))
		v.push_back({longout.substr(0, i), "", isfolder});
	v.push_back({longout, "old"});
	return v;
}

// The input, and an old output behind a chain of n links: ln to ln-1 ...
// l1 to "target".
std::vector<entry>
chain(int n)
{
	std::vector<entry> v = {{"in", seq(0x1000)}, {"target", "old"}};
	for (int i = 1; i <= n; i++)
		v.push_back({'l' + std::to_string(i), v.back().name, islink});
	return v;
}

// An ACL that shuts a named user out, with an attribute of the user's.
const std::map<std::string, std::string> denied = {
    {"system.posix_acl_access", acl("u::rw- u:65534:--- g::r-- m::r-- o::---")},
    {"user.note", "kept"}};

// A file capability: CAP_NET_BIND_SERVICE, permitted and effective.
const std::map<std::string, std::string> capability = {
    {"security.capability",
     std::string("\x01\0\0\x02\0\x04\0\0", 8) + std::string(12, '\0')}};

// A default ACL that lets nobody write, and what a new file gets from it.
const std::string nobodyrw = "u::rw- u:65534:rw- g::r-- m::rw- o::r--";
const std::map<std::string, std::string> inherits = {
    {"system.posix_acl_default", acl(nobodyrw)}};
const std::map<std::string, std::string> inherited = {
    {"system.posix_acl_access", acl(nobodyrw)}};

const std::string lst3 = "00: 0 1 2 \r\n"; // the listing of seq(3) at 0
const std::string lst4k = reflisting(seq(0x1000), 0);

const row rows[] = {
    // Listings: labels, address wrap, the window.
    {"listing",
     {"in", "out", "1000"},
     {{"in", seq(20)}},
     "Add=00001000\nSkp=00000000\nChp=00000000\n"
     "len=00000014\nnewlen=00000014\n",
     {{"out", "01000: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n"
	      ": 10 11 12 13 \r\n"}}},
    {"label on 4 KiB boundary",
     {"in", "out", "ff0"},
     {{"in", seq(32)}},
     "Add=00000ff0\nSkp=00000000\nChp=00000000\n"
     "len=00000020\nnewlen=00000020\n",
     {{"out", "0ff0: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n"
	      "01000: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f "
	      "\r\n"}}},
    {"address wraps to 0",
     {"in", "out", "fffffff0"},
     {{"in", seq(18)}},
     "Add=fffffff0\nSkp=00000000\nChp=00000000\n"
     "len=00000012\nnewlen=00000012\n",
     {{"out", "0fffffff0: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n"
	      "00: 10 11 \r\n"}}},
    {"only the first line labelled",
     {"in", "out", "8"},
     {{"in", seq(0x2000)}},
     "Add=00000008\nSkp=00000000\nChp=00000000\n"
     "len=00002000\nnewlen=00002000\n",
     {{"out", reflisting(seq(0x2000), 8)}}},
    {"skp and chp cut the window",
     {"in", "out", "8000", "3", "2"},
     {{"in", std::string("\x01\x02\x03\x00\x0a\xff\x04\x05", 8)}},
     "Add=00008000\nSkp=00000003\nChp=00000002\n"
     "len=00000008\nnewlen=00000003\n",
     {{"out", "08000: 0 a ff \r\n"}}},
    {"skp alone",
     {"in", "out", "0", "1"},
     {{"in", seq(3)}},
     "Add=00000000\nSkp=00000001\nChp=00000000\n"
     "len=00000003\nnewlen=00000002\n",
     {{"out", "00: 1 2 \r\n"}}},
    {"junk in a number",
     {"in", "out", "0x10"},
     {{"in", seq(1)}},
     "Add=00002110\nSkp=00000000\nChp=00000000\n"
     "len=00000001\nnewlen=00000001\n",
     {{"out", "02110: 0 \r\n"}}},
    {"high byte in a number",
     {"in", "out", "\x80"},
     {{"in", seq(1)}},
     "Add=ffffff29\nSkp=00000000\nChp=00000000\n"
     "len=00000001\nnewlen=00000001\n",
     {{"out", "0ffffff29: 0 \r\n"}}},
    {"empty input",
     {"in", "out", "0"},
     {{"in", ""}},
     head0 + "len=00000000\nnewlen=00000000\n",
     {{"out", ""}}},
    {"empty window",
     {"in", "out", "0", "2", "1"},
     {{"in", seq(3)}},
     "Add=00000000\nSkp=00000002\nChp=00000001\n"
     "len=00000003\nnewlen=00000000\n",
     {{"out", ""}}},
    {"old output replaced",
     {"in", "out", "0"},
     {{"in", seq(3)}, {"out", std::string(100, 'x')}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"out", "00: 0 1 2 \r\n"}}},

    // Raw images.
    {"raw marker by presence",
     {"in", "out", "0", "2", "3", "no"},
     {{"in", seq(10)}},
     "Add=00000000\nSkp=00000002\nChp=00000003\n"
     "len=0000000a\nnewlen=00000005\n",
     {{"out", seq(5, 2)}}},
    {"raw empty window",
     {"in", "out", "0", "1", "2", "r"},
     {{"in", seq(3)}},
     "Add=00000000\nSkp=00000001\nChp=00000002\n"
     "len=00000003\nnewlen=00000000\n",
     {{"out", ""}}},
    {"exactly 4 MiB",
     {"in", "out", "0", "0", "0", "r"},
     {{"in", big}},
     head0 + "len=00400000\nnewlen=00400000\n",
     {{"out", big}}},

    // Picture conversion.
    {"picture",
     {"in", "out", "0", "36", "0", "r", "c"},
     {{"in", bmp}},
     "Add=00000000\nSkp=00000036\nChp=00000000\n"
     "len=00024036\nnewlen=00018000\n",
     {{"out", pic}}},
    {"picture with one byte short",
     {"in", "out", "0", "0", "1", "r", "c"},
     {{"in", pixels}},
     "Add=00000000\nSkp=00000000\nChp=00000001\n"
     "len=00024000\nnewlen=00017fff\n",
     {{"out", picturelessone()}}},
    {"picture longer than the picture",
     {"in", "out", "0", "36", "0", "r", "c"},
     {{"in", bmp + std::string("\xff\xff\xff\x00\x00\xff", 6)}},
     "Add=00000000\nSkp=00000036\nChp=00000000\n"
     "len=0002403c\nnewlen=00018004\n",
     {{"out", pic + std::string("\xff\xff\x00\xf8", 4)}}},
    {"picture row pulled from the cut tail",
     {"in", "out", "0", "0", "1869a", "r", "c"},
     {{"in", tail}},
     "Add=00000000\nSkp=00000000\nChp=0001869a\n"
     "len=000186a0\nnewlen=00000004\n",
     {{"out", tail.substr(191 * 512, 4)}}},
    {"picture row pulled from past the end",
     {"in", "out", "0", "0", "0", "r", "c"},
     {{"in", seq(6, 1)}},
     head0 + "len=00000006\nnewlen=00000004\n",
     {{"out", std::string(4, '\0')}}},
    {"picture ending at the end of buf",
     {"in", "out", "0", "3e8000", "0", "r", "c"},
     {{"in", std::string(0x3e8000, 'p')}},
     "Add=00000000\nSkp=003e8000\nChp=00000000\n"
     "len=003e8000\nnewlen=00000000\n",
     {{"out", ""}}},
    {"picture past the end of buf",
     {"in", "out", "0", "3e8001", "0", "r", "c"},
     {{"in", std::string(0x3e8001, 'p')}},
     "Add=00000000\nSkp=003e8001\nChp=00000000\nlen=003e8001\n"
     "Can't Convert 'in': the picture at skp runs past the 4 MiB buffer\n",
     {},
     1},
    {"same path, picture",
     {"in", "in", "0", "0", "0", "r", "c"},
     {{"in", seq(6, 1)}},
     head0 + "len=00000006\nnewlen=00000004\n",
     {{"in", std::string(4, '\0')}}},

    // Picture files whose own headers say the conversion can't be right.
    {"picture file with a 138-byte header, skp 36",
     {"in", "out", "0", "36", "0", "r", "c"},
     {{"in", bmp138}},
     refused("0002408a", "the pixels start at 8a, not at skp 36"),
     {},
     1},
    {"picture file with a 138-byte header, skp 8a",
     {"in", "out", "0", "8a", "0", "r", "c"},
     {{"in", bmp138}},
     "Add=00000000\nSkp=0000008a\nChp=00000000\n"
     "len=0002408a\nnewlen=00018000\n",
     {{"out", pic}}},
    {"header size typed in decimal",
     {"in", "out", "0", "54", "0", "r", "c"},
     {{"in", bmp}},
     "Add=00000000\nSkp=00000054\nChp=00000000\nlen=00024036\n"
     "Can't Convert 'in': the pixels start at 36, not at skp 54\n",
     {},
     1},
    {"picture file with skp 0",
     {"in", "out", "0", "0", "0", "r", "c"},
     {{"in", bmp}},
     head0 + "len=00024036\n"
	     "Can't Convert 'in': the pixels start at 36, not at skp 0\n",
     {},
     1},
    {"32 bits a pixel",
     {"in", "out", "0", "36", "0", "r", "c"},
     {{"in", bmp32}},
     refused("00024036", "32 bits a pixel; the conversion takes 24"),
     {},
     1},
    {"320 pixels wide",
     {"in", "out", "0", "36", "0", "r", "c"},
     {{"in", picturefile(40, 320, 192, 24, 0, pixels)}},
     refused("00024036", "320 pixels wide; the conversion takes 256"),
     {},
     1},
    {"rows stored top first",
     {"in", "out", "0", "36", "0", "r", "c"},
     {{"in", picturefile(40, 256, -192, 24, 0, pixels)}},
     refused("00024036",
	     "rows stored top first; the conversion takes bottom first"),
     {},
     1},
    {"compressed",
     {"in", "out", "0", "36", "0", "r", "c"},
     {{"in", picturefile(40, 256, 192, 24, 1, pixels)}},
     refused("00024036",
	     "compressed pixels; the conversion takes uncompressed"),
     {},
     1},
    {"oldest 12-byte header, 32 bits a pixel",
     {"in", "out", "0", "1a", "0", "r", "c"},
     {{"in", picturefile(12, 256, 192, 32, 0, pixels)}},
     "Add=00000000\nSkp=0000001a\nChp=00000000\nlen=0002401a\n"
     "Can't Convert 'in': 32 bits a pixel; the conversion takes 24\n",
     {},
     1},
    {"picture file refused through a pipe",
     {"/dev/stdin", "out", "0", "36", "0", "r", "c"},
     {},
     head36 + "len=0002408a\nCan't Convert '/dev/stdin': the pixels start "
	      "at 8a, not at skp 36\n",
     {},
     1,
     bmp138},
    {"taller picture: the lower one",
     {"in", "out", "0", "36", "24000", "r", "c"},
     {{"in", tall}},
     "Add=00000000\nSkp=00000036\nChp=00024000\n"
     "len=00048036\nnewlen=00018000\n",
     {{"out", pic}}},
    {"taller picture: the upper one",
     {"in", "out", "0", "24036", "0", "r", "c"},
     {{"in", tall}},
     "Add=00000000\nSkp=00024036\nChp=00000000\n"
     "len=00048036\nnewlen=00018000\n",
     {{"out", std::string(pic.size(), 0)}}},
    {"bare pixels starting with BM",
     {"in", "out", "0", "0", "0", "r", "c"},
     {{"in", "BM" + std::string(pixels.size() - 2, 0)}},
     head0 + "len=00024000\nnewlen=00018000\n",
     {{"out", bottomfirst("\x68\x02")}}}, // blue 0x42, green 0x4d
    {"picture file sliced, not converted",
     {"in", "out", "0", "0", "0", "r"},
     {{"in", bmp32}},
     head0 + "len=00024036\nnewlen=00024036\n",
     {{"out", bmp32}}},
    {"picture file listed",
     {"in", "out", "0"},
     {{"in", bmp32}},
     head0 + "len=00024036\nnewlen=00024036\n",
     {{"out", reflisting(bmp32, 0)}}},

    // Same path in and out: read whole before it is replaced.
    {"same path, listing",
     {"in", "in", "0"},
     {{"in", seq(3)}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"in", "00: 0 1 2 \r\n"}}},
    {"same path, raw",
     {"in", "in", "0", "1", "1", "r"},
     {{"in", seq(3)}},
     "Add=00000000\nSkp=00000001\nChp=00000001\n"
     "len=00000003\nnewlen=00000001\n",
     {{"in", seq(1, 1)}}},

    // Inputs that are not plain files.
    {"input from a FIFO",
     {"in", "out", "0"},
     {{"in", seq(3), isfifo}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"out", "00: 0 1 2 \r\n"}}},
    {"input from a pipe",
     {"/dev/stdin", "out", "0", "1", "1", "r"},
     {},
     "Add=00000000\nSkp=00000001\nChp=00000001\n"
     "len=00000005\nnewlen=00000003\n",
     {{"out", "bcd"}},
     0,
     "abcde"},

    // Argument counts that do nothing at all.
    {"no arguments", {}, {{"in", seq(3)}}, "", {}, 2},
    {"count 3", {"in", "out"}, {{"in", seq(3)}}, "", {}, 2},
    {"count 9",
     {"in", "out", "0", "0", "0", "r", "c", "x"},
     {{"in", seq(3)}},
     "",
     {},
     2},

    // Refusals: one message line, exit 1, the output untouched.
    {"missing input",
     {"nothere", "out", "0"},
     {},
     head0 + "Can't Load 'nothere': No such file or directory\n",
     {},
     1},
    {"input is a folder",
     {"in", "out", "0"},
     {{"in", "", isfolder}},
     head0 + "Can't Load 'in': Is a directory\n",
     {},
     1,
     "",
     0,
     topipe,
     head0 + "Can't Load 'in': Permission denied\n"},
    {"input larger than 4 MiB",
     {"in", "out", "0", "0", "0", "r"},
     {{"in", big + "!"}},
     head0 + "Can't Load 'in': larger than 4194304 bytes\n",
     {},
     1},
    {"skp + chp past the end",
     {"in", "out", "0", "2", "2"},
     {{"in", seq(3)}},
     "Add=00000000\nSkp=00000002\nChp=00000002\nlen=00000003\n"
     "Can't Cut 'in': skp + chp is more than len\n",
     {},
     1},
    {"skp + chp wrap in 32 bits",
     {"in", "out", "0", "ffffffff", "2"},
     {{"in", seq(1)}},
     "Add=00000000\nSkp=ffffffff\nChp=00000002\nlen=00000001\n"
     "Can't Cut 'in': skp + chp is more than len\n",
     {},
     1},
    {"chp near the top",
     {"in", "out", "0", "0", "fffffffe", "r"},
     {{"in", seq(1)}},
     "Add=00000000\nSkp=00000000\nChp=fffffffe\nlen=00000001\n"
     "Can't Cut 'in': skp + chp is more than len\n",
     {},
     1},
    {"output folder missing",
     {"in", "nodir/out", "0"},
     {{"in", seq(3)}},
     head0 + "len=00000003\nnewlen=00000003\n"
	     "Can't Save 'nodir/out': No such file or directory\n",
     {},
     1},
    {"output is a folder",
     {"in", "out", "0"},
     {{"in", seq(3)}, {"out", "", isfolder}},
     head0 +
	 "len=00000003\nnewlen=00000003\nCan't Save 'out': Is a directory\n",
     {},
     1,
     "",
     0,
     topipe,
     head0 + "len=00000003\nnewlen=00000003\n"
	     "Can't Save 'out': Permission denied\n"},
    {"output on a full device",
     {"in", "/dev/full", "0"},
     {{"in", seq(3)}},
     head0 + "len=00000003\nnewlen=00000003\n"
	     "Can't Save '/dev/full': No space left on device\n",
     {},
     1},
    {"output links to a full device",
     {"in", "out", "0"},
     {{"in", seq(3)}, {"out", "/dev/full", islink}},
     head0 + "len=00000003\nnewlen=00000003\n"
	     "Can't Save 'out': No space left on device\n",
     {},
     1},

    // Replacing the output: a failed or killed run leaves it as it was.
    {"failed write leaves no new output",
     {"in", "out", "0"},
     {{"in", seq(0x1000)}},
     head0 +
	 "len=00001000\nnewlen=00001000\nCan't Save 'out': File too large\n",
     {},
     1,
     "",
     4096},
    {"failed write keeps the old output",
     {"in", "out", "0", "0", "0", "r"},
     {{"in", seq(0x1001)}, {"out", "old", isfile, 0640}},
     head0 +
	 "len=00001001\nnewlen=00001001\nCan't Save 'out': File too large\n",
     {},
     1,
     "",
     4096},
    {"failed write keeps the input given as output",
     {"in", "in", "0"},
     {{"in", seq(0x1000)}},
     head0 + "len=00001000\nnewlen=00001000\nCan't Save 'in': File too large\n",
     {},
     1,
     "",
     4096},
    {"failed write through a link keeps the target",
     {"in", "out", "0"},
     {{"in", seq(0x1000)}, {"target", "old"}, {"out", "target", islink}},
     head0 +
	 "len=00001000\nnewlen=00001000\nCan't Save 'out': File too large\n",
     {},
     1,
     "",
     4096},
    {"new output under umask 022",
     {"in", "out", "0"},
     {{"in", seq(3)}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"out", "00: 0 1 2 \r\n", isfile, 0644}}},
    {"replaced output keeps its mode",
     {"in", "out", "0"},
     {{"in", seq(3)}, {"out", "old", isfile, 0640}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"out", "00: 0 1 2 \r\n", isfile, 0640}}},
    {"chain of links: the last target is replaced in its folder",
     {"in", "out", "0"},
     {{"in", seq(3)},
      {"sub", "", isfolder},
      {"sub/target", "old"},
      {"sub/link", "target", islink},
      {"out", "sub/link", islink}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"sub/target", "00: 0 1 2 \r\n"}}},
    {"dangling link: its target is created",
     {"in", "out", "0"},
     {{"in", seq(3)}, {"out", "new", islink}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"new", "00: 0 1 2 \r\n"}}},
    {"hard link: the other name keeps its content",
     {"in", "out", "0"},
     {{"in", seq(3)}, {"out", "in", ishardlink}},
     head0 + "len=00000003\nnewlen=00000003\n",
     {{"out", "00: 0 1 2 \r\n"}}},
    {"report to a full device: the output is whole",
     {"in", "out", "0"},
     {{"in", seq(3)}},
     "",
     {{"out", "00: 0 1 2 \r\n"}},
     1,
     "",
     0,
     tofull},
    {"report to a closed stream: the output is whole",
     {"in", "out", "0"},
     {{"in", seq(3)}},
     "",
     {{"out", "00: 0 1 2 \r\n"}},
     1,
     "",
     0,
     toclosed},
    {"output to a piped standard output, in place",
     {"in", "/dev/stdout", "0", "0", "0", "r"},
     {{"in", seq(3)}},
     head0 + "len=00000003\nnewlen=00000003\n" + seq(3),
     {}},
    {"output FIFO whose reader leaves",
     {"in", "out", "0"},
     {{"in", seq(0x10000)}, {"out", "", isdeadfifo}},
     head0 + "len=00010000\nnewlen=00010000\nCan't Save 'out': Broken pipe\n",
     {},
     1},

    // Paths in any language, on every platform.
    // clang-format off
    {.name = "input in Polish, output in Chinese", .args = {"zażółć.bin", "输出.lst", "0"}, .before = {{"zażółć.bin", seq(3)}}, .console = lens(3), .after = {{"输出.lst", lst3}}},
    {.name = "a missing input in Polish", .args = {"brak_żółć.bin", "out", "0"}, .console = "Can't Load 'brak_żółć.bin': No such file or directory\n", .status = 1},
    {.name = "the same path in Polish, in and out", .args = {"żółć.bin", "żółć.bin", "0"}, .before = {{"żółć.bin", seq(3)}}, .console = lens(3), .after = {{"żółć.bin", lst3}}},
    {.name = "a fullwidth solidus is no folder", .args = {"in", "a／b.lst", "0"}, .before = {{"in", seq(3)}, {"a", "", isfolder}}, .console = lens(3), .after = {{"a／b.lst", lst3}}},
    // clang-format on

    // Pictures too short from skp, and other formats, are refused too.
    // clang-format off
    {.name = "256 x 100 picture", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", picturefile(40, 256, 100, 24, 0, pixels.substr(0, 100 * 768))}}, .console = "len=00012c36\nCan't Convert 'in': 100 rows from skp; the conversion takes 192\n", .status = 1},
    {.name = "taller picture from row 200", .args = {"in", "out", "0", "25836", "0", "r", "c"}, .before = {{"in", tall}}, .console = "len=00048036\nCan't Convert 'in': 184 rows from skp; the conversion takes 192\n", .status = 1},
    {.name = "picture file one byte short", .args = {"in", "out", "0", "36", "1", "r", "c"}, .before = {{"in", bmp}}, .console = "len=00024036\nCan't Convert 'in': 191 rows from skp; the conversion takes 192\n", .status = 1},
    {.name = "picture file cut short", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp.substr(0, 73797)}}, .console = "len=00012045\nCan't Convert 'in': a BMP file cut short: its header says 147510 bytes, the file has 73797\n", .status = 1},
    {.name = "oldest picture file cut short", .args = {"in", "out", "0", "1a", "0", "r", "c"}, .before = {{"in", bmp2.substr(0, 100)}}, .console = "len=00000064\nCan't Convert 'in': a BMP file cut short: its header says 147482 bytes, the file has 100\n", .status = 1},
    {.name = "picture file cut short, through a pipe", .args = {"/dev/stdin", "out", "0", "36", "0", "r", "c"}, .console = "len=00024035\nCan't Convert '/dev/stdin': a BMP file cut short: its header says 147510 bytes, the file has 147509\n", .status = 1, .input = bmp.substr(0, bmp.size() - 1)},
    {.name = "picture file whose size field is 0", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp.substr(0, 2) + std::string(4, 0) + bmp.substr(6)}}, .console = "len=00024036\nnewlen=00018000\n", .after = {{"out", pic}}},
    {.name = "short bare pixels starting with BM and a large size", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", "BM\xff\xff\xff\xff" + std::string(94, 0)}}, .console = "len=00000064\nnewlen=00000042\n", .after = {{"out", std::string(0x42, 0)}}},
    {.name = "PNG file", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", "\x89PNG\r\n\x1a\n" + pixels}}, .console = "len=00024008\nCan't Convert 'in': a PNG file; the conversion takes the pixels of a 24-bit BMP\n", .status = 1},
    {.name = "GIF87a file", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", "GIF87a" + pixels}}, .console = "len=00024006\nCan't Convert 'in': a GIF file; the conversion takes the pixels of a 24-bit BMP\n", .status = 1},
    {.name = "GIF89a file", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", "GIF89a" + pixels}}, .console = "len=00024006\nCan't Convert 'in': a GIF file; the conversion takes the pixels of a 24-bit BMP\n", .status = 1},
    {.name = "bare pixels starting with part of a PNG signature", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", std::string("\x89PNG", 4) + std::string(pixels.size() - 4, 0)}}, .console = "len=00024000\nnewlen=00018000\n", .after = {{"out", bottomfirst("\x91\x4a\x08\x00")}}},
    // clang-format on

    // The output is the file that opening its path for writing gives; the
    // run changes its content only, and only once the new content is whole.
    // clang-format off
    {.name = "planted link in a sticky folder", .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"victim", "old"}, {"s", "", isfolder, 01777}, {"s/out", "../victim", islink, 0, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1, .protect = true},
    {.name = "planted dangling link in a sticky folder", .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777}, {"s/out", "../new", islink, 0, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1, .protect = true},
    {.name = "planted file in a sticky folder", .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777}, {"s/out", "theirs", isfile, 0666, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1, .protect = true},
    {.name = "the owner's file in a sticky folder, in place", .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777, 0}, {"s/out", "theirs", isfile, 0666, 0}}, .console = lens(3), .after = {{"s/out", lst3, isfile, 0666, 0}}, .asuser = true},
    {.name = "root's group-writable file stays root's", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0664, 0, nobody}}, .console = lens(3), .after = {{"out", lst3, isfile, 0664, 0, nobody}}, .asuser = true},
    {.name = "a read-only file of one's own", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0444}}, .console = lens(3) + "Can't Save 'out': Permission denied\n", .status = 1, .asuser = true},
    {.name = "replaced: another user's file stays theirs", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0600, nobody}}, .console = lens(3), .after = {{"out", lst3, isfile, 0600, nobody}}},
    {.name = "replaced: ACL and attributes kept", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0640, -1, -1, denied}}, .console = lens(3), .after = {{"out", lst3, isfile, 0640, -1, -1, denied}}},
    {.name = "replaced: capability given again after the write", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0755, -1, -1, capability}}, .console = lens(3), .after = {{"out", lst3, isfile, 0755, -1, -1, capability}}},
    {.name = "an attribute the run can't give: in place", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", std::string(100, 'x'), isfile, 0, -1, -1, {{"security.loadprep", "x"}}}}, .console = lens(3), .after = {{"out", lst3, isfile, 0, -1, -1, {{"security.loadprep", "x"}}}}, .asuser = true},
    {.name = "new file under a default ACL", .args = {"in", "d/out", "0"}, .before = {{"in", seq(3)}, {"d", "", isfolder, 0, -1, -1, inherits}}, .console = lens(3), .after = {{"d/out", lst3, isfile, 0664, -1, -1, inherited}}, .kernelrules = true},
    {.name = "append-only folder: written in place", .args = {"in", "ap/out", "0"}, .before = {{"in", seq(3)}, {"ap", "", isfolder, 0, -1, -1, {}, FS_APPEND_FL}, {"ap/out", std::string(100, 'x')}}, .console = lens(3), .after = {{"ap/out", lst3}}},
    {.name = "append-only folder: a new file", .args = {"in", "ap/new", "0"}, .before = {{"in", seq(3)}, {"ap", "", isfolder, 0, -1, -1, {}, FS_APPEND_FL}}, .console = lens(3), .after = {{"ap/new", lst3}}},
    {.name = "name of 255 bytes under a size cap", .args = {"in", longname, "0"}, .before = {{"in", seq(0x1000)}, {longname, "old"}}, .console = lens(0x1000) + "Can't Save '" + longname + "': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "path of 4,088 bytes under a size cap", .args = {"in", longout, "0"}, .before = longpath(), .console = lens(0x1000) + "Can't Save '" + longout + "': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "chain of 40 links under a size cap", .args = {"in", "l40", "0"}, .before = chain(40), .console = lens(0x1000) + "Can't Save 'l40': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "input linked as output, no new file there: in place", .args = {"ro/in", "ro/out", "0"}, .before = {{"ro", "", isfolder, 0755, 0}, {"ro/in", seq(0x1000)}, {"ro/out", "ro/in", ishardlink}}, .console = lens(0x1000), .after = {{"ro/in", lst4k}, {"ro/out", lst4k}}, .asuser = true},
    {.name = "input linked as output, no new file there, size cap", .args = {"ro/in", "ro/out", "0"}, .before = {{"ro", "", isfolder, 0755, 0}, {"ro/in", seq(0x1000)}, {"ro/out", "ro/in", ishardlink}}, .console = lens(0x1000) + "Can't Save 'ro/out': File too large\n", .after = {{"ro/out", seq(0x1000)}}, .status = 1, .maxfile = 4096, .asuser = true},
    {.name = "{ step 1; /dev/stdout; step 2; } > log", .args = {"in", "/dev/stdout", "0", "0", "0", "r"}, .before = {{"in", seq(3)}, {"log", "earlier\n"}}, .console = "", .after = {{"log", "step 1\n" + head0 + lens(3) + seq(3) + "step 2\n"}}, .report = tolog},
    {.name = "/dev/stdout >> log", .args = {"in", "/dev/stdout", "0", "0", "0", "r"}, .before = {{"in", seq(3)}, {"log", "earlier\n"}}, .console = "", .after = {{"log", "earlier\nstep 1\n" + head0 + lens(3) + seq(3) + "step 2\n"}}, .report = toappend},
    {.name = "/dev/stdin with standard input closed", .args = {"/dev/stdin", "out", "0", "0", "0", "r"}, .before = {{"out", "old"}}, .console = "Can't Load '/dev/stdin': No such file or directory\n", .status = 1, .closedin = true},

    // The ways a replacement falls back, each on its own kind of output.
    {.name = "a link into a missing folder: refused, the link kept", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "nodir/t.lst", islink}}, .console = lens(3) + "Can't Save 'out': No such file or directory\n", .status = 1},
    {.name = "an empty output name", .args = {"in", "", "0"}, .before = {{"in", seq(3)}}, .console = lens(3) + "Can't Save '': No such file or directory\n", .status = 1},
    {.name = "a name of 256 bytes", .args = {"in", longname + "n", "0"}, .before = {{"in", seq(3)}}, .console = lens(3) + "Can't Save '" + longname + "n': File name too long\n", .status = 1, .winconsole = lens(3) + "Can't Save '" + longname + "n': No such file or directory\n"},
    {.name = "a path of 300 bytes", .args = {"in", longdir + "/" + std::string(99, 'o'), "0"}, .before = {{"in", seq(3)}, {longdir, "", isfolder}, {longdir + "/" + std::string(99, 'o'), "old"}}, .console = lens(3), .after = {{longdir + "/" + std::string(99, 'o'), lst3}}},
    {.name = "failed write through a link to a missing file: nothing made", .args = {"in", "out", "0"}, .before = {{"in", seq(0x1000)}, {"out", "new", islink}}, .console = lens(0x1000) + "Can't Save 'out': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "TERM as a link's target is made: nothing made", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "new", islink}}, .console = lens(3), .status = 143, .via = {"strace", "-qq", "-o", "/dev/null", "-e", "trace=openat", "-P", "out", "-e", "inject=openat:signal=TERM:when=2"}},
    {.name = "replaced: attribute flags kept", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0, -1, -1, {}, FS_NOATIME_FL | FS_NODUMP_FL | FS_SYNC_FL}}, .console = lens(3), .after = {{"out", lst3, isfile, 0, -1, -1, {}, FS_NOATIME_FL | FS_NODUMP_FL | FS_SYNC_FL}}},
    {.name = "replaced under a default ACL: none added", .args = {"in", "d/out", "0"}, .before = {{"in", seq(3)}, {"d", "", isfolder}, {"d/out", "old", isfile, 0640}, {"d", "", isfolder, 0, -1, -1, inherits}}, .console = lens(3), .after = {{"d/out", lst3, isfile, 0640}}},
    {.name = "bind-mounted output file: written in place", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"src", std::string(100, 'x')}, {"out", "src", isbound}}, .console = lens(3), .after = {{"src", lst3}, {"out", lst3}}},
    {.name = "no /proc: replaced under a name of its own", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0600}}, .console = lens(3), .after = {{"out", lst3, isfile, 0600}}, .noproc = true},
    {.name = "no /proc, through a link: the target written", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"target", "old", isfile, 0600}, {"out", "target", islink}}, .console = lens(3), .after = {{"target", lst3, isfile, 0600}}, .noproc = true},
    {.name = "killed before it has the old file's identity: the new file shut to others", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0644}}, .console = lens(3), .after = {{".loadprep-*", "", isfile, 0600}}, .status = 137, .noproc = true, .via = {"strace", "-qq", "-o", "/dev/null", "-e", "trace=fchmod", "-e", "inject=fchmod:signal=KILL"}},
    {.name = "a set-group-ID bit the run may not give: in place, where a write drops it", .args = {"in", "sg/out", "0"}, .before = {{"in", seq(3)}, {"sg", "", isfolder, 02777, 0}, {"sg/out", "old", isfile, 02664, nobody, 0}, {"sg/also", "sg/out", ishardlink, 0, nobody, 0}}, .console = lens(3), .after = {{"sg/out", lst3, isfile, 0664, nobody, 0}, {"sg/also", lst3}}, .asuser = true, .kernelrules = true},
    {.name = "full disk: another user's file refused, unchanged", .args = {"in", "ro/out", "0"}, .before = {{"in", seq(0x1000)}, {"ro", "", isfolder, 0755, 0}, {"ro/out", std::string(0x2000, 'x'), isfile, 0666, 0}, {"filler", "", isfiller}}, .console = lens(0x1000) + "Can't Save 'ro/out': No space left on device\n", .status = 1, .asuser = true},
    // clang-format on
};

} // namespace
