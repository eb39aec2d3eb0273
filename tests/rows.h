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
#include "runner.h"
#include "samples.h"

namespace
{

const std::string big(0x400000, 'B'); // as large as the tool takes
const std::string head0 = "Add=00000000\nSkp=00000000\nChp=00000000\n";
// Standard output by a link of the row's own: the very file, and no system
// file a broken build could replace.
const entry stdoutlink = {"so", "/proc/self/fd/1", islink};

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

// The console after "Add=" to "Chp=" of a run that reads n bytes and
// keeps m of them, or all n.
std::string
lens(unsigned n, unsigned m)
{
	char t[40];
	snprintf(t, sizeof t, "len=%08x\nnewlen=%08x\n", n, m);
	return t;
}

std::string
lens(unsigned n)
{
	return lens(n, n);
}

// The console of a refused conversion of the n-byte input "in".
std::string
refused(unsigned n, const std::string &why)
{
	return lens(n).substr(0, 13) + "Can't Convert 'in': " + why + "\n";
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

// The input, and at the end of longout an old output, or a link.
std::vector<entry>
longpath(const std::string &data = "old", kind k = isfile)
{
	std::vector<entry> v = {{"in", seq(0x1000)}};
	for (size_t i = longout.find('/'); i != std::string::npos;
	     i = longout.find('/', i + 1))
		v.push_back({longout.substr(0, i), "", isfolder});
	v.push_back({longout, data, k});
	return v;
}

// A link's target of 1,413 bytes that leads to "new" beside the link.
const std::string dotsnew = "." + std::string(1409, '/') + "new";

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

// What a full disk says; a scratch mount under a quota says it is over the
// quota instead.
const bool quota = getenv("LOADPREP_QUOTA") && *getenv("LOADPREP_QUOTA");
const std::string full =
    quota ? "Disk quota exceeded" : "No space left on device";

const std::string lst3 = "00: 0 1 2 \r\n"; // the listing of seq(3) at 0
const std::string lst4k = reflisting(seq(0x1000), 0);

// strace in front of the tool, sending what (a signal) at a system call.
std::vector<std::string>
inject(const std::string &call, const std::string &what,
       std::vector<std::string> more = {})
{
	std::vector<std::string> v = {
	    "/usr/bin/strace", "--quiet=all", "-o",
	    "/dev/null",       "-e",	      "trace=" + call};
	v.insert(v.end(), more.begin(), more.end());
	v.insert(v.end(), {"-e", "inject=" + call + ":" + what});
	return v;
}

const std::string replacedinplace =
    "another program replaced it as it was written in place: the new content "
    "is in the file it replaced";

// strace holding the tool a second after each open of path, while a late
// entry takes its place.
std::vector<std::string>
opened(const std::string &path)
{
	return inject("openat", "delay_exit=1000000", {"-P", path});
}

// The command v, killed, with no word of it from the shell, and then the
// file "new" checked to be dated to the epoch, which make reads as older
// than anything.
std::vector<std::string>
thenepoch(std::vector<std::string> v)
{
	v.insert(v.begin(), {"sh", "-c",
			     "{ \"$@\"; } 2>/dev/null; s=$?; [ \"$(stat -c %Y "
			     "new)\" = 0 ] && exit $s",
			     "sh"});
	return v;
}

// The tool run by a shell, its streams as the script's redirections leave
// them: "$@" is the tool.
std::vector<std::string>
shell(const std::string &script)
{
	return {"sh", "-c", script, "sh"};
}

// Standard output into the file "log" between two steps, as a build
// script's log is written: > empties it first, >> appends.
std::vector<std::string>
logged(const std::string &redirect)
{
	return shell("{ echo step 1; \"$@\"; s=$?; echo step 2; exit $s; } " +
		     redirect + "log");
}

// The tool run under a shared flock(1) of ro/out, which it is handed, and
// the lock then checked to be still shared.
const std::vector<std::string> sharedlock = {
    "/usr/bin/flock", "-s", "ro/out", "sh", "-c",
    "\"$@\"; s=$?; flock -ns ro/out true ||\n"
    "echo \"the caller's shared lock is now exclusive\" >&2; exit $s",
    "sh"};

// The command, run where the root folder is a tmpfs of its own that shows
// all of the machine's folders; the file new.lst it makes there is then
// copied out as root-new.lst.
const std::vector<std::string> inroot = {
    "unshare",
    "-m",
    "sh",
    "-c",
    R"(r=.root; mkdir $r && mount -t tmpfs t $r || exit 99
for x in /*; do if [ -L $x ]; then cp -P $x $r$x; elif [ -d $x ]; then mkdir $r$x && mount --rbind $x $r$x; fi; done
chroot $r sh -c 'cd "$0" && exec "$@"' "$PWD" "$@"; s=$?; cp $r/new.lst root-new.lst; umount -l $r; rmdir $r; exit $s)",
    "sh"};

// clang-format off
const row rows[] = {
    // Listings: labels, address wrap, the window, numbers as the tool reads
    // them.
    {.name = "listing", .args = {"in", "out", "1000"}, .before = {{"in", seq(20)}}, .console = lens(0x14), .after = {{"out", "01000: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n: 10 11 12 13 \r\n"}}},
    {.name = "label on 4 KiB boundary", .args = {"in", "out", "ff0"}, .before = {{"in", seq(32)}}, .console = lens(0x20), .after = {{"out", "0ff0: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n01000: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f \r\n"}}},
    {.name = "address wraps to 0", .args = {"in", "out", "fffffff0"}, .before = {{"in", seq(18)}}, .console = lens(0x12), .after = {{"out", "0fffffff0: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n00: 10 11 \r\n"}}},
    {.name = "only the first line labelled", .args = {"in", "out", "8"}, .before = {{"in", seq(0x2000)}}, .console = lens(0x2000), .after = {{"out", reflisting(seq(0x2000), 8)}}},
    {.name = "skp and chp cut the window", .args = {"in", "out", "8000", "3", "2"}, .before = {{"in", std::string("\x01\x02\x03\x00\x0a\xff\x04\x05", 8)}}, .console = lens(8, 3), .after = {{"out", "08000: 0 a ff \r\n"}}},
    {.name = "skp alone", .args = {"in", "out", "0", "1"}, .before = {{"in", seq(3)}}, .console = lens(3, 2), .after = {{"out", "00: 1 2 \r\n"}}},
    {.name = "junk in a number", .args = {"in", "out", "0x10"}, .before = {{"in", seq(1)}}, .console = "Add=00002110\nSkp=00000000\nChp=00000000\n" + lens(1), .after = {{"out", "02110: 0 \r\n"}}},
    {.name = "high byte in a number", .needs = posix, .args = {"in", "out", "\x80"}, .before = {{"in", seq(1)}}, .console = "Add=ffffff29\nSkp=00000000\nChp=00000000\n" + lens(1), .after = {{"out", "0ffffff29: 0 \r\n"}}},
    {.name = "a colon in a number, the digit after 9", .args = {"in", "out", ":"}, .before = {{"in", seq(1)}}, .console = "Add=00000003\nSkp=00000000\nChp=00000000\n" + lens(1), .after = {{"out", "03: 0 \r\n"}}},
    {.name = "empty input", .args = {"in", "out", "0"}, .before = {{"in", ""}}, .console = lens(0), .after = {{"out", ""}}},
    {.name = "empty window", .args = {"in", "out", "0", "2", "1"}, .before = {{"in", seq(3)}}, .console = lens(3, 0), .after = {{"out", ""}}},
    {.name = "old output replaced", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", std::string(100, 'x')}}, .console = lens(3), .after = {{"out", lst3}}},
    // Raw images.
    {.name = "raw marker by presence", .args = {"in", "out", "0", "2", "3", "no"}, .before = {{"in", seq(10)}}, .console = lens(0xa, 5), .after = {{"out", seq(5, 2)}}},
    {.name = "raw empty window", .args = {"in", "out", "0", "1", "2", "r"}, .before = {{"in", seq(3)}}, .console = lens(3, 0), .after = {{"out", ""}}},
    {.name = "exactly 4 MiB", .args = {"in", "out", "0", "0", "0", "r"}, .before = {{"in", big}}, .console = lens(0x400000), .after = {{"out", big}}},
    // Picture conversion.
    {.name = "picture", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp}}, .console = lens(0x24036, 0x18000), .after = {{"out", pic}}},
    {.name = "picture with one byte short", .args = {"in", "out", "0", "0", "1", "r", "c"}, .before = {{"in", pixels}}, .console = lens(0x24000, 0x17fff), .after = {{"out", picturelessone()}}},
    {.name = "picture longer than the picture", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp + std::string("\xff\xff\xff\x00\x00\xff", 6)}}, .console = lens(0x2403c, 0x18004), .after = {{"out", pic + std::string("\xff\xff\x00\xf8", 4)}}},
    {.name = "picture row pulled from the cut tail", .args = {"in", "out", "0", "0", "1869a", "r", "c"}, .before = {{"in", tail}}, .console = lens(0x186a0, 4), .after = {{"out", tail.substr(191 * 512, 4)}}},
    {.name = "picture row pulled from past the end", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", seq(6, 1)}}, .console = lens(6, 4), .after = {{"out", std::string(4, '\0')}}},
    {.name = "picture ending at the end of buf", .args = {"in", "out", "0", "3e8000", "0", "r", "c"}, .before = {{"in", std::string(0x3e8000, 'p')}}, .console = lens(0x3e8000, 0), .after = {{"out", ""}}},
    {.name = "picture past the end of buf", .args = {"in", "out", "0", "3e8001", "0", "r", "c"}, .before = {{"in", std::string(0x3e8001, 'p')}}, .console = "len=003e8001\nCan't Convert 'in': a whole picture from skp would end past 4 MiB, the most the tool holds: skp can be at most 003e8000\n", .status = 1},
    {.name = "same path, picture", .args = {"in", "in", "0", "0", "0", "r", "c"}, .before = {{"in", seq(6, 1)}}, .console = lens(6, 4), .after = {{"in", std::string(4, '\0')}}},
    {.name = "picture file with a 138-byte header, skp 8a", .args = {"in", "out", "0", "8a", "0", "r", "c"}, .before = {{"in", bmp138}}, .console = lens(0x2408a, 0x18000), .after = {{"out", pic}}},
    {.name = "taller picture: the lower one", .args = {"in", "out", "0", "36", "24000", "r", "c"}, .before = {{"in", tall}}, .console = lens(0x48036, 0x18000), .after = {{"out", pic}}},
    {.name = "taller picture: the upper one", .args = {"in", "out", "0", "24036", "0", "r", "c"}, .before = {{"in", tall}}, .console = lens(0x48036, 0x18000), .after = {{"out", std::string(pic.size(), 0)}}},
    {.name = "bare pixels starting with BM", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", "BM" + std::string(pixels.size() - 2, 0)}}, .console = lens(0x24000, 0x18000), .after = {{"out", bottomfirst("\x68\x02")}}}, // blue 0x42, green 0x4d
    {.name = "picture file whose size field is 0", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp.substr(0, 2) + std::string(4, 0) + bmp.substr(6)}}, .console = lens(0x24036, 0x18000), .after = {{"out", pic}}},
    {.name = "short bare pixels starting with BM and a large size", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", "BM\xff\xff\xff\xff" + std::string(94, 0)}}, .console = lens(0x64, 0x42), .after = {{"out", std::string(0x42, 0)}}},
    {.name = "bare pixels starting with part of a PNG signature", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", std::string("\x89PNG", 4) + std::string(pixels.size() - 4, 0)}}, .console = lens(0x24000, 0x18000), .after = {{"out", bottomfirst("\x91\x4a\x08\x00")}}},
    {.name = "picture file sliced, not converted", .args = {"in", "out", "0", "0", "0", "r"}, .before = {{"in", bmp32}}, .console = lens(0x24036), .after = {{"out", bmp32}}},
    {.name = "picture file listed", .args = {"in", "out", "0"}, .before = {{"in", bmp32}}, .console = lens(0x24036), .after = {{"out", reflisting(bmp32, 0)}}},
    // Picture files whose own headers say the conversion can't be right, and
    // pictures of other formats: refused.
    {.name = "picture file with a 138-byte header, skp 36", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp138}}, .console = refused(0x2408a, "the pixels start at 8a: give 8a as skp, not 36"), .status = 1},
    {.name = "header size typed in decimal", .args = {"in", "out", "0", "54", "0", "r", "c"}, .before = {{"in", bmp}}, .console = "len=00024036\nCan't Convert 'in': the pixels start at 36: give 36 as skp, not 54\n", .status = 1},
    {.name = "picture file with skp 0", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", bmp}}, .console = "len=00024036\nCan't Convert 'in': the pixels start at 36: give 36 as skp, not 0\n", .status = 1},
    {.name = "32 bits a pixel", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp32}}, .console = refused(0x24036, "32 bits a pixel; the conversion takes 24: save it as a 24-bit BMP"), .status = 1},
    {.name = "320 pixels wide", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", picturefile(40, 320, 192, 24, 0, pixels)}}, .console = refused(0x24036, "320 pixels wide; the conversion takes 256: scale it to 256 x 192"), .status = 1},
    {.name = "rows stored top first", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", picturefile(40, 256, -192, 24, 0, pixels)}}, .console = refused(0x24036, "rows stored top first; the conversion takes bottom first: save it again as a 24-bit BMP, which most programs store bottom first"), .status = 1},
    {.name = "compressed", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", picturefile(40, 256, 192, 24, 1, pixels)}}, .console = refused(0x24036, "compressed pixels; the conversion takes uncompressed: save it as an uncompressed 24-bit BMP"), .status = 1},
    {.name = "oldest 12-byte header, 32 bits a pixel", .args = {"in", "out", "0", "1a", "0", "r", "c"}, .before = {{"in", picturefile(12, 256, 192, 32, 0, pixels)}}, .console = "len=0002401a\nCan't Convert 'in': 32 bits a pixel; the conversion takes 24: save it as a 24-bit BMP\n", .status = 1},
    {.name = "picture file refused through a pipe", .needs = posix, .args = {"/dev/stdin", "out", "0", "36", "0", "r", "c"}, .console = "len=0002408a\nCan't Convert '/dev/stdin': the pixels start at 8a: give 8a as skp, not 36\n", .status = 1, .input = bmp138},
    {.name = "256 x 100 picture", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", picturefile(40, 256, 100, 24, 0, pixels.substr(0, 100 * 768))}}, .console = "len=00012c36\nCan't Convert 'in': 100 rows from skp; the conversion takes 192\n", .status = 1},
    {.name = "taller picture from row 200", .args = {"in", "out", "0", "25836", "0", "r", "c"}, .before = {{"in", tall}}, .console = "len=00048036\nCan't Convert 'in': 184 rows from skp; the conversion takes 192\n", .status = 1},
    {.name = "taller picture, all of it", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", tall}}, .console = refused(0x48036, "384 rows from skp; the conversion takes 192: give 24000 as chp to keep the bottom 192, or 24036 as skp to keep the top 192"), .status = 1},
    {.name = "a row past the pixels, trailing bytes counted", .args = {"in", "out", "0", "336", "0", "r", "c"}, .before = {{"in", picturefile(40, 256, 192, 24, 0, pixels + std::string(768, 0))}}, .console = refused(0x24336, "191 rows from skp; the conversion takes 192"), .status = 1},
    {.name = "picture file with a 108-byte header, skp 36", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", picturefile(108, 256, 192, 24, 0, pixels)}}, .console = refused(0x2407a, "the pixels start at 7a: give 7a as skp, not 36"), .status = 1},
    {.name = "whole picture file, skp past its end", .args = {"in", "out", "0", "30000", "0", "r", "c"}, .before = {{"in", bmp}}, .console = "len=00024036\nCan't Cut 'in': skp + chp is more than len: the pixels start at 36: give 36 as skp\n", .status = 1},
    {.name = "whole picture file, chp past its start", .args = {"in", "out", "0", "36", "30000", "r", "c"}, .before = {{"in", bmp}}, .console = "len=00024036\nCan't Cut 'in': skp + chp is more than len: give at most 0 as chp, not 30000\n", .status = 1},
    {.name = "text that starts as a picture file", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", "BMW 3 series\n"}}, .console = "len=0000000d\nCan't Cut 'in': skp + chp is more than len\n", .status = 1},
    {.name = "header says 191 rows, 192 rows of bytes", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", picturefile(40, 256, 191, 24, 0, pixels)}}, .console = refused(0x24036, "191 rows from skp; the conversion takes 192"), .status = 1},
    {.name = "picture file one byte short", .args = {"in", "out", "0", "36", "1", "r", "c"}, .before = {{"in", bmp}}, .console = "len=00024036\nCan't Convert 'in': chp cuts the picture to 191 rows; the conversion takes 192: give a smaller chp\n", .status = 1},
    {.name = "picture file cut short", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp.substr(0, 73797)}}, .console = "len=00012045\nCan't Convert 'in': a BMP file cut short: its header says 00024036 bytes, len is 00012045: fetch or save it again\n", .status = 1},
    {.name = "oldest picture file cut short", .args = {"in", "out", "0", "1a", "0", "r", "c"}, .before = {{"in", bmp2.substr(0, 100)}}, .console = "len=00000064\nCan't Convert 'in': a BMP file cut short: its header says 0002401a bytes, len is 00000064: fetch or save it again\n", .status = 1},
    {.name = "picture file cut short, through a pipe", .needs = posix, .args = {"/dev/stdin", "out", "0", "36", "0", "r", "c"}, .console = "len=00024035\nCan't Convert '/dev/stdin': a BMP file cut short: its header says 00024036 bytes, len is 00024035: fetch or save it again\n", .status = 1, .input = bmp.substr(0, bmp.size() - 1)},
    {.name = "PNG file", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", "\x89PNG\r\n\x1a\n" + pixels}}, .console = "len=00024008\nCan't Convert 'in': a PNG file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    {.name = "JPEG file", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", "\xff\xd8\xff\xe0" + pixels}}, .console = lens(0x24004).substr(0, 13) + "Can't Convert 'in': a JPEG file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    {.name = "TIFF file", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", std::string("MM\0*", 4) + pixels}}, .console = lens(0x24004).substr(0, 13) + "Can't Convert 'in': a TIFF file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    {.name = "little-endian TIFF file", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", std::string("II*\0", 4) + pixels}}, .console = lens(0x24004).substr(0, 13) + "Can't Convert 'in': a TIFF file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    {.name = "WebP file", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", std::string("RIFF\x04\x40\x02\0WEBP", 12) + pixels.substr(12)}}, .console = lens(0x24000).substr(0, 13) + "Can't Convert 'in': a WebP file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    {.name = "QOI file", .args = {"in", "out", "0", "0", "0", "r", "c"}, .before = {{"in", "qoif" + pixels.substr(4)}}, .console = lens(0x24000).substr(0, 13) + "Can't Convert 'in': a QOI file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    {.name = "picture file too short for skp", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", bmp.substr(0, 20)}}, .console = lens(0x14).substr(0, 13) + "Can't Cut 'in': a BMP file cut short: its header says 00024036 bytes, len is 00000014: fetch or save it again\n", .status = 1},
    {.name = "GIF87a file", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", "GIF87a" + pixels}}, .console = "len=00024006\nCan't Convert 'in': a GIF file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    {.name = "GIF89a file", .args = {"in", "out", "0", "36", "0", "r", "c"}, .before = {{"in", "GIF89a" + pixels}}, .console = "len=00024006\nCan't Convert 'in': a GIF file; the conversion takes the pixels of a 24-bit BMP: save it as one\n", .status = 1},
    // Inputs: the same path as the output, inputs that are not plain files,
    // and refusals to load or cut.
    {.name = "same path, listing", .args = {"in", "in", "0"}, .before = {{"in", seq(3)}}, .console = lens(3), .after = {{"in", lst3}}},
    {.name = "same path, raw", .args = {"in", "in", "0", "1", "1", "r"}, .before = {{"in", seq(3)}}, .console = lens(3, 1), .after = {{"in", seq(1, 1)}}},
    {.name = "input from a FIFO", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3), isfifo}}, .console = lens(3), .after = {{"out", lst3}}},
    {.name = "input from a pipe", .needs = posix, .args = {"/dev/stdin", "out", "0", "1", "1", "r"}, .console = lens(5, 3), .after = {{"out", "bcd"}}, .input = "abcde"},
    {.name = "missing input", .args = {"nothere", "out", "0"}, .console = "Can't Load 'nothere': No such file or directory\n", .status = 1},
    {.name = "input is a folder", .args = {"in", "out", "0"}, .before = {{"in", "", isfolder}}, .console = "Can't Load 'in': Is a directory\n", .status = 1},
    {.name = "input larger than 4 MiB", .args = {"in", "out", "0", "0", "0", "r"}, .before = {{"in", big + "!"}}, .console = "Can't Load 'in': larger than 4 MiB, the most the tool takes\n", .status = 1},
    {.name = "/dev/stdin with standard input closed", .needs = posix, .args = {"/dev/stdin", "out", "0", "0", "0", "r"}, .before = {{"out", "old"}}, .console = "Can't Load '/dev/stdin': No such file or directory\n", .status = 1, .via = shell("exec \"$@\" <&-")},
    {.name = "skp + chp past the end", .args = {"in", "out", "0", "2", "2"}, .before = {{"in", seq(3)}}, .console = "len=00000003\nCan't Cut 'in': skp + chp is more than len\n", .status = 1},
    {.name = "skp + chp wrap in 32 bits", .args = {"in", "out", "0", "ffffffff", "2"}, .before = {{"in", seq(1)}}, .console = "len=00000001\nCan't Cut 'in': skp + chp is more than len\n", .status = 1},
    {.name = "chp near the top", .args = {"in", "out", "0", "0", "fffffffe", "r"}, .before = {{"in", seq(1)}}, .console = "len=00000001\nCan't Cut 'in': skp + chp is more than len\n", .status = 1},
    // Argument counts that do nothing at all, and a report that can't arrive.
    {.name = "no arguments", .args = {}, .before = {{"in", seq(3)}}, .console = "", .status = 2},
    {.name = "count 3", .args = {"in", "out"}, .before = {{"in", seq(3)}}, .console = "", .status = 2},
    {.name = "count 9", .args = {"in", "out", "0", "0", "0", "r", "c", "x"}, .before = {{"in", seq(3)}}, .console = "", .status = 2},
    {.name = "report to a full device: the output is whole", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}}, .console = "", .after = {{"out", lst3}}, .status = 1, .via = shell("exec \"$@\" >/dev/full")},
    {.name = "report to a closed stream over a longer output: no old bytes after it", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", std::string(100, 'x')}}, .console = "", .after = {{"out", lst3}}, .status = 1, .via = shell("exec \"$@\" >&-")},
    {.name = "report to a closed stream: the output is whole", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}}, .console = "", .after = {{"out", lst3}}, .status = 1, .via = shell("exec \"$@\" >&-")},
    // Paths in any language, on every platform.
    {.name = "input in Polish, output in Chinese", .args = {"zażółć.bin", "输出.lst", "0"}, .before = {{"zażółć.bin", seq(3)}}, .console = lens(3), .after = {{"输出.lst", lst3}}},
    {.name = "a missing input in Polish", .args = {"brak_żółć.bin", "out", "0"}, .console = "Can't Load 'brak_żółć.bin': No such file or directory\n", .status = 1},
    {.name = "the same path in Polish, in and out", .args = {"żółć.bin", "żółć.bin", "0"}, .before = {{"żółć.bin", seq(3)}}, .console = lens(3), .after = {{"żółć.bin", lst3}}},
    {.name = "a fullwidth solidus is no folder", .args = {"in", "a／b.lst", "0"}, .before = {{"in", seq(3)}, {"a", "", isfolder}}, .console = lens(3), .after = {{"a／b.lst", lst3}}},
    // Replacing the output, in the order the manual tells it. The output is
    // the file that opening its path for writing gives, or it is refused.
    {.name = "output folder missing", .args = {"in", "nodir/out", "0"}, .before = {{"in", seq(3)}}, .console = lens(3) + "Can't Save 'nodir/out': the folder 'nodir' does not exist\n", .status = 1},
    {.name = "a link into a missing folder: refused, the link kept", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "nodir/t.lst", islink}}, .console = lens(3) + "Can't Save 'out': No such file or directory\n", .status = 1},
    {.name = "an empty output name", .args = {"in", "", "0"}, .before = {{"in", seq(3)}}, .console = lens(3) + "Can't Save '': No such file or directory\n", .status = 1},
    {.name = "a new folder's name as the output", .args = {"in", "newdir/", "0"}, .before = {{"in", seq(3)}}, .console = lens(3) + "Can't Save 'newdir/': Is a directory\n", .status = 1},
    {.name = "output is a folder", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "", isfolder}}, .console = lens(3) + "Can't Save 'out': Is a directory\n", .status = 1},
    {.name = "output LPT1: a folder, or on Windows an absent printer port", .args = {"in", "LPT1", "0"}, .before = {{"in", seq(3)}, {"LPT1", "", isfolder}}, .console = lens(3) + "Can't Save 'LPT1': Is a directory\n", .status = 1, .winconsole = lens(3) + "Can't Save 'LPT1': No such file or directory\n"},
    {.name = "a read-only file of one's own", .needs = user, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0444}}, .console = lens(3) + "Can't Save 'out': Permission denied\n", .status = 1},
    {.name = "planted link in a sticky folder", .needs = root | protect, .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"victim", "old"}, {"s", "", isfolder, 01777}, {"s/out", "../victim", islink, 0, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1},
    {.name = "planted dangling link in a sticky folder", .needs = root | protect, .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777}, {"s/out", "../new", islink, 0, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1},
    {.name = "another user's FIFO in a sticky folder", .needs = root | protect, .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777}, {"s/out", "", islatefifo, 0622, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .after = {{"s/out", "", isfifo}}, .status = 1},
    {.name = "a link planted in a sticky folder as the run begins", .needs = root | traced | protect, .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777}, {"s/out", "../victim", islatelink, 0, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1, .via = opened("s/out")},
    {.name = "a link planted in a sticky folder as the run ends", .needs = root | traced | protect, .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777}, {"s/out", "../victim", islatelink, 0, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1, .via = inject("linkat", "delay_enter=1000000")},
    {.name = "planted file in a sticky folder", .needs = root | protect, .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777}, {"s/out", "theirs", isfile, 0666, nobody}}, .console = lens(3) + "Can't Save 's/out': Permission denied\n", .status = 1},
    {.name = "a name of 256 bytes", .args = {"in", longname + "n", "0"}, .before = {{"in", seq(3)}}, .console = lens(3) + "Can't Save '" + longname + "n': File name too long\n", .status = 1, .winconsole = lens(3) + "Can't Save '" + longname + "n': No such file or directory\n"},
    {.name = "a path of 300 bytes", .args = {"in", longdir + "/" + std::string(99, 'o'), "0"}, .before = {{"in", seq(3)}, {longdir, "", isfolder}, {longdir + "/" + std::string(99, 'o'), "old"}}, .console = lens(3), .after = {{longdir + "/" + std::string(99, 'o'), lst3}}},
    // Renamed: a new file with the old one's identity takes its name.
    {.name = "an old output of 3 GiB", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "3221225472", issparse}}, .console = lens(3), .after = {{"out", lst3}}},
    {.name = "an old output of 5 GiB", .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "5368709120", issparse}}, .console = lens(3), .after = {{"out", lst3}}},
    {.name = "new output under umask 022", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}}, .console = lens(3), .after = {{"out", lst3, isfile, 0644}}},
    {.name = "replaced output keeps its mode", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0640}}, .console = lens(3), .after = {{"out", lst3, isfile, 0640}}},
    {.name = "replaced: another user's file stays theirs", .needs = root, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0600, nobody}}, .console = lens(3), .after = {{"out", lst3, isfile, 0600, nobody}}},
    {.name = "root's group-writable file stays root's", .needs = user, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0664, 0, nobody}}, .console = lens(3), .after = {{"out", lst3, isfile, 0664, 0, nobody}}},
    {.name = "replaced: a set-user-ID bit given again after the write", .needs = user, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 04755}}, .console = lens(3), .after = {{"out", lst3, isfile, 04755}}},
    {.name = "replaced: ACL and attributes kept", .needs = linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {.name = "out", .data = "old", .mode = 0640, .attrs = denied}}, .console = lens(3), .after = {{.name = "out", .data = lst3, .mode = 0640, .attrs = denied}}},
    {.name = "replaced: capability given again after the write", .needs = root | linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {.name = "out", .data = "old", .mode = 0755, .attrs = capability}}, .console = lens(3), .after = {{.name = "out", .data = lst3, .mode = 0755, .attrs = capability}}},
    {.name = "replaced: attribute flags kept", .needs = linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {.name = "out", .data = "old", .flags = FS_NOATIME_FL | FS_NODUMP_FL | FS_SYNC_FL}}, .console = lens(3), .after = {{.name = "out", .data = lst3, .flags = FS_NOATIME_FL | FS_NODUMP_FL | FS_SYNC_FL}}},
    {.name = "replaced: no-compress flag kept", .needs = linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {.name = "out", .data = "old", .flags = FS_NOCOMP_FL}}, .console = lens(3), .after = {{.name = "out", .data = lst3, .flags = FS_NOCOMP_FL}}},
    {.name = "replaced: DAX flag kept", .needs = linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {.name = "out", .data = "old", .flags = FS_DAX_FL}}, .console = lens(3), .after = {{.name = "out", .data = lst3, .flags = FS_DAX_FL}}},
    {.name = "replaced: project kept", .needs = linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {.name = "out", .data = "old", .projid = 77}}, .console = lens(3), .after = {{.name = "out", .data = lst3, .projid = 77}}},
    {.name = "replaced: the case the folder holds kept", .needs = caseless | linuxonly, .args = {"in", "game.lst", "0"}, .before = {{"in", seq(3)}, {"Game.LST", "old"}}, .console = lens(3), .after = {{"Game.LST", lst3}}},
    {.name = "a read lease on the output is waited out", .needs = root | linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old"}}, .console = lens(3), .after = {{"out", lst3}}, .hold = readlease},
    {.name = "new file under a default ACL", .needs = kernel | linuxonly, .args = {"in", "d/out", "0"}, .before = {{"in", seq(3)}, {.name = "d", .k = isfolder, .attrs = inherits}}, .console = lens(3), .after = {{.name = "d/out", .data = lst3, .mode = 0664, .attrs = inherited}}},
    {.name = "replaced under a default ACL: none added", .needs = linuxonly, .args = {"in", "d/out", "0"}, .before = {{"in", seq(3)}, {"d", "", isfolder}, {"d/out", "old", isfile, 0640}, {.name = "d", .k = isfolder, .attrs = inherits}}, .console = lens(3), .after = {{"d/out", lst3, isfile, 0640}}},
    {.name = "chain of links: the last target is replaced in its folder", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"sub", "", isfolder}, {"sub/target", "old"}, {"sub/link", "target", islink}, {"out", "sub/link", islink}}, .console = lens(3), .after = {{"sub/target", lst3}}},
    {.name = "dangling link: its target is created", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "new", islink}}, .console = lens(3), .after = {{"new", lst3}}},
    {.name = "dangling link in a folder: its target made beside it", .needs = posix, .args = {"in", "sub/link", "0"}, .before = {{"in", seq(3)}, {"sub", "", isfolder}, {"sub/link", "new", islink}}, .console = lens(3), .after = {{"sub/new", lst3}}},
    {.name = "the name in four cases: the one typed replaced", .needs = posix, .args = {"in", "game.lst", "0"}, .before = {{"in", seq(3)}, {"game.lst", "old"}, {"GAME.LST", "OLD"}, {"Game.Lst", "Old"}, {"gAME.lST", "oLD"}}, .console = lens(3), .after = {{"game.lst", lst3}}},
    {.name = "hard link: the other name keeps its content", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "in", ishardlink}}, .console = lens(3), .after = {{"out", lst3}}},
    {.name = "no /proc: replaced under a name of its own", .needs = noproc, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0600}}, .console = lens(3), .after = {{"out", lst3, isfile, 0600}}},
    {.name = "a new output in the root folder: made there", .needs = root | traced, .args = {"in", "/new.lst", "0"}, .before = {{"in", seq(3)}}, .console = lens(3), .after = {{"root-new.lst", lst3}}, .via = inroot},
    {.name = "no /proc: a killed run's whole new file swept away", .needs = noproc, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old"}, {".loadprep-0badf00d", lst3}, {".loadprep-mine", "x"}}, .console = lens(3), .after = {{"out", lst3}, {".loadprep-*", "x"}}},
    {.name = "no /proc, through a link: the target written", .needs = noproc, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"target", "old", isfile, 0600}, {"out", "target", islink}}, .console = lens(3), .after = {{"target", lst3, isfile, 0600}}},
    // In place: what a new file can't replace is written over.
    {.name = "the owner's file in a sticky folder, in place", .needs = user, .args = {"in", "s/out", "0"}, .before = {{"in", seq(3)}, {"s", "", isfolder, 01777, 0}, {"s/out", "theirs", isfile, 0666, 0}}, .console = lens(3), .after = {{"s/out", lst3, isfile, 0666, 0}}},
    {.name = "an attribute the run can't give: in place", .needs = user | linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {.name = "out", .data = std::string(100, 'x'), .attrs = {{"security.loadprep", "x"}}}}, .console = lens(3), .after = {{.name = "out", .data = lst3, .attrs = {{"security.loadprep", "x"}}}}},
    {.name = "a set-group-ID bit the run may not give: in place, where a write drops it", .needs = user | kernel, .args = {"in", "sg/out", "0"}, .before = {{"in", seq(3)}, {"sg", "", isfolder, 02777, 0}, {"sg/out", "old", isfile, 02664, nobody, 0}, {"sg/also", "sg/out", ishardlink, 0, nobody, 0}}, .console = lens(3), .after = {{"sg/out", lst3, isfile, 0664, nobody, 0}, {"sg/also", lst3}}},
    {.name = "append-only folder: written in place", .needs = root | linuxonly, .args = {"in", "ap/out", "0"}, .before = {{"in", seq(3)}, {.name = "ap", .k = isfolder, .flags = FS_APPEND_FL}, {"ap/out", std::string(100, 'x')}}, .console = lens(3), .after = {{"ap/out", lst3}}},
    {.name = "append-only folder: a new file", .needs = root | linuxonly, .args = {"in", "ap/new", "0"}, .before = {{"in", seq(3)}, {.name = "ap", .k = isfolder, .flags = FS_APPEND_FL}}, .console = lens(3), .after = {{"ap/new", lst3}}},
    {.name = "input linked as output, no new file there: in place", .needs = user, .args = {"ro/in", "ro/out", "0"}, .before = {{"ro", "", isfolder, 0755, 0}, {"ro/in", seq(0x1000)}, {"ro/out", "ro/in", ishardlink}}, .console = lens(0x1000), .after = {{"ro/in", lst4k}, {"ro/out", lst4k}}},
    {.name = "the caller's own lock on an output written in place", .needs = user | linuxonly, .args = {"in", "ro/out", "0"}, .before = {{"in", seq(3)}, {"ro", "", isfolder, 0755, 0}, {"ro/out", "old", isfile, 0666, 0}}, .console = lens(3), .after = {{"ro/out", lst3, isfile, 0666, 0}}, .via = sharedlock},
    {.name = "bind-mounted output file: written in place", .needs = root | linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"src", std::string(100, 'x')}, {"out", "src", isbound}}, .console = lens(3), .after = {{"src", lst3}, {"out", lst3}}},
    // Standard output, devices and FIFOs: written as they are.
    {.name = "output to a piped standard output, in place", .needs = posix, .args = {"in", "so", "0", "0", "0", "r"}, .before = {{"in", seq(3)}, stdoutlink}, .console = lens(3) + seq(3)},
    {.name = "{ step 1; /dev/stdout; step 2; } > log", .needs = posix, .args = {"in", "so", "0", "0", "0", "r"}, .before = {{"in", seq(3)}, {"log", "earlier\n"}, stdoutlink}, .console = "", .after = {{"log", "step 1\n" + head0 + lens(3) + seq(3) + "step 2\n"}}, .via = logged(">")},
    {.name = "/dev/stdout >> log", .needs = posix, .args = {"in", "so", "0", "0", "0", "r"}, .before = {{"in", seq(0x100)}, {"log", "earlier\n"}, stdoutlink}, .console = "", .after = {{"log", "earlier\nstep 1\n" + head0 + lens(0x100) + seq(0x100) + "step 2\n"}}, .via = logged(">>")},
    {.name = "a pseudo-file written as it is", .needs = linuxonly, .args = {"in", "/proc/self/comm", "0", "0", "0", "r"}, .before = {{"in", "abc"}}, .console = lens(3)},
    {.name = "a device written with the signals let go", .needs = user | traced, .args = {"in", "/dev/null", "0"}, .before = {{"in", seq(3)}}, .console = lens(3), .status = 130, .via = inject("write", "signal=INT:when=6")},
    {.name = "/dev/stderr 2>> log: appended", .needs = traced, .args = {"in", "se", "0", "0", "0", "r"}, .before = {{"in", seq(3)}, {"log", "earlier\n"}, {"se", "/proc/self/fd/2", islink}}, .console = lens(3), .after = {{"log", "earlier\n" + seq(3)}}, .via = shell("exec \"$@\" 2>>log")},
    {.name = "output FIFO whose reader comes late", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "", islatefifo}}, .console = lens(3), .after = {{"out", lst3, isfifo}}},
    {.name = "output on a full device", .needs = user, .args = {"in", "/dev/full", "0"}, .before = {{"in", seq(3)}}, .console = lens(3) + "Can't Save '/dev/full': No space left on device\n", .status = 1},
    {.name = "output links to a full device", .needs = user, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "/dev/full", islink}}, .console = lens(3) + "Can't Save 'out': No space left on device\n", .status = 1},
    {.name = "output FIFO whose reader leaves", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(0x10000)}, {"out", "", isdeadfifo}}, .console = lens(0x10000) + "Can't Save 'out': Broken pipe\n", .status = 1},
    // A failed or killed run leaves the output as it was.
    {.name = "failed write leaves no new output", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(0x1000)}}, .console = lens(0x1000) + "Can't Save 'out': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "failed write keeps the old output", .needs = posix, .args = {"in", "out", "0", "0", "0", "r"}, .before = {{"in", seq(0x1001)}, {"out", "old", isfile, 0640}}, .console = lens(0x1001) + "Can't Save 'out': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "failed write keeps the input given as output", .needs = posix, .args = {"in", "in", "0"}, .before = {{"in", seq(0x1000)}}, .console = lens(0x1000) + "Can't Save 'in': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "failed write through a link keeps the target", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(0x1000)}, {"target", "old"}, {"out", "target", islink}}, .console = lens(0x1000) + "Can't Save 'out': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "failed write through a link to a missing file: the file made empty", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(0x1000)}, {"out", "new", islink}}, .console = lens(0x1000) + "Can't Save 'out': File too large\n", .after = {{"new", ""}}, .status = 1, .maxfile = 4096},
    {.name = "name of 255 bytes under a size cap", .needs = posix, .args = {"in", longname, "0"}, .before = {{"in", seq(0x1000)}, {longname, "old"}}, .console = lens(0x1000) + "Can't Save '" + longname + "': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "a link to a missing file at the end of 4,088 bytes, 1,413 long", .needs = posix, .args = {"in", longout, "0"}, .before = longpath(dotsnew, islink), .console = lens(0x1000), .after = {{longout.substr(0, 4085) + "new", reflisting(seq(0x1000), 0)}}},
    {.name = "path of 4,088 bytes under a size cap", .needs = posix, .args = {"in", longout, "0"}, .before = longpath(), .console = lens(0x1000) + "Can't Save '" + longout + "': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "chain of 40 links under a size cap", .needs = posix, .args = {"in", "l40", "0"}, .before = chain(40), .console = lens(0x1000) + "Can't Save 'l40': File too large\n", .status = 1, .maxfile = 4096},
    {.name = "input linked as output, no new file there, size cap", .needs = user, .args = {"ro/in", "ro/out", "0"}, .before = {{"ro", "", isfolder, 0755, 0}, {"ro/in", seq(0x1000)}, {"ro/out", "ro/in", ishardlink}}, .console = lens(0x1000) + "Can't Save 'ro/out': File too large\n", .after = {{"ro/out", seq(0x1000)}}, .status = 1, .maxfile = 4096},
    {.name = "full disk: another user's file refused, unchanged", .needs = user, .args = {"in", "ro/out", "0"}, .before = {{"in", seq(0x10000)}, {"ro", "", isfolder, 0755, 0}, {"ro/out", std::string(0x2000, 'x'), isfile, 0666, 0}, {"filler", "", isfiller}}, .console = lens(0x10000) + "Can't Save 'ro/out': " + full + "\n", .status = 1},
    {.name = "a new output another run makes as the run begins: replaced", .needs = traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "theirs", islatefile}}, .console = lens(3), .after = {{"out", lst3}}, .via = opened("out")},
    {.name = "an output another run replaces as the run begins: its name written", .needs = traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"bak", "old"}, {"out", "bak", ishardlink}, {"out", "theirs", islatefile}}, .console = lens(3), .after = {{"out", lst3}, {"bak", "old"}}, .via = opened("out")},
    {.name = "no /proc, another owner's file written in place: nothing left", .needs = user | noproc | native, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", std::string(100, 'x'), isfile, 0666, 0}}, .console = lens(3), .after = {{"out", lst3}}},
    {.name = "INT while room is set aside in place: the old output kept", .needs = user | traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0666, 0}}, .console = lens(3), .status = 130, .via = inject("fallocate", "signal=INT")},
    {.name = "a write in place failing after room was made: the old output, not grown", .needs = user | traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0666, 0}}, .console = lens(3) + "Can't Save 'out': Input/output error\n", .status = 1, .via = inject("write", "error=EIO:when=6")},
    {.name = "an output another run replaces as the run writes it in place: refused", .needs = user | traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0666, 0}, {"bak", "out", ishardlink, 0666, 0}, {"out", "theirs", islatefile}}, .console = lens(3) + "Can't Save 'out': " + replacedinplace + "\n", .after = {{"out", "theirs"}, {"bak", lst3, isfile, 0666, 0}}, .status = 1, .via = inject("write", "delay_enter=1000000:when=6")},
    {.name = "killed through a link to a missing file: the file made empty", .needs = noproc | traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "new", islink}}, .console = lens(3), .after = {{"new", ""}}, .status = 137, .via = thenepoch(inject("fallocate", "signal=KILL"))},
    {.name = "no /proc: failed write through a link to a missing file: the file made empty", .needs = noproc, .args = {"in", "out", "0"}, .before = {{"in", seq(0x1000)}, {"out", "new", islink}}, .console = lens(0x1000) + "Can't Save 'out': File too large\n", .after = {{"new", ""}}, .status = 1, .maxfile = 4096},
    {.name = "growing in place on a nearly full disk: the room counted once", .needs = user | ahead, .args = {"in", "ro/out", "0", "0", "0", "r"}, .before = {{"in", seq(0x300000)}, {"ro", "", isfolder, 0755, 0}, {"ro/out", std::string(0x10000, 'x'), isfile, 0666, 0}, {"filler", "8388608", isfiller}}, .console = lens(0x300000), .after = {{"ro/out", seq(0x300000)}}},
    {.name = "nearly full copy-on-write disk: refused, unchanged", .needs = user | cow | ahead, .args = {"in", "ro/out", "0", "0", "0", "r"}, .before = {{"in", seq(0x300000)}, {"ro", "", isfolder, 0755, 0}, {"ro/out", big, isfile, 0666, 0}, {"filler", "1048576", isfiller}}, .console = lens(0x300000) + "Can't Save 'ro/out': " + full + "\n", .status = 1},
    {.name = "a run waiting its turn is interrupted: unchanged", .needs = user, .args = {"in", "ro/out", "0"}, .before = {{"in", seq(3)}, {"ro", "", isfolder, 0755, 0}, {"ro/out", "old", isfile, 0666, 0}}, .console = lens(3), .status = 130, .hold = otherlock, .interrupt = 1500, .errors = "Waiting for 'ro/out': another program has it locked\n"},
    {.name = "output FIFO with no reader, interrupted", .needs = posix, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "", isfifo}}, .console = lens(3), .status = 130, .interrupt = 300},
    {.name = "TERM while the new file is made: the old output kept", .needs = traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0600}}, .console = lens(3), .status = 143, .via = inject("fchmod", "signal=TERM")},
    {.name = "TERM while written over: the new output whole", .needs = root | traced | linuxonly, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"src", "old"}, {"out", "src", isbound}}, .console = lens(3), .after = {{"src", lst3}, {"out", lst3}}, .via = inject("write", "signal=TERM:when=6")},
    {.name = "killed before it has the old file's identity: the new file shut to others", .needs = noproc | traced, .args = {"in", "out", "0"}, .before = {{"in", seq(3)}, {"out", "old", isfile, 0644}}, .console = lens(3), .after = {{".loadprep-*", "", isfile, 0600}}, .status = 137, .via = inject("fchmod", "signal=KILL")},
};
// clang-format on

} // namespace
