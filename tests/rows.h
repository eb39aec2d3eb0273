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
	v.insert(v.begin(), {"/bin/sh", "-c",
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
	return {"/bin/sh", "-c", script, "sh"};
}

// The tool run as v says, standard input piped from the file name.
std::vector<std::string>
piped(const std::string &name)
{
	return shell("cat " + name + " | \"$@\"");
}

// The tool run as v says while another program does script in the row's
// folder from 0.3 s after the start, for at most 2 s: puts a file or link
// in place, feeds a FIFO or reads it. The status is the tool's.
std::vector<std::string>
meanwhile(const std::string &script, std::vector<std::string> v = {})
{
	v.insert(v.begin(), {"/bin/sh", "-c",
			     "{ sleep .3; timeout 2 sh -c \"$0\"; } >/dev/null "
			     "2>&1 & \"$@\"; s=$?; wait; exit $s",
			     script});
	return v;
}

// SIGINT sent to the tool after a while.
std::vector<std::string>
interrupted(const char *after)
{
	return {"/usr/bin/timeout", "--preserve-status", "-s", "INT", after};
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
    "/usr/bin/flock",
    "-s",
    "ro/out",
    "sh",
    "-c",
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

// The arguments most rows give: a listing of "in" at 0 into "out", the
// whole window raw, or converted from skp to chp; into the shared folders
// below.
const std::vector<std::string> tolst = {"in", "out", "0"};
const std::vector<std::string> toraw = {"in", "out", "0", "0", "0", "r"};
const std::vector<std::string> tos = {"in", "s/out", "0"};
const std::vector<std::string> toro = {"in", "ro/out", "0"};
const std::vector<std::string> rawro = {"in", "ro/out", "0", "0", "0", "r"};
const std::vector<std::string> toso = {"in", "so", "0", "0", "0", "r"};

std::vector<std::string>
pix(const char *skp, const char *chp)
{
	return {"in", "out", "0", skp, chp, "r", "c"};
}

// The folder of one entry: "in" before, or "out" after.
std::vector<entry>
in(const std::string &data, kind k = isfile)
{
	return {{"in", data, k}};
}

std::vector<entry>
out(const std::string &data, kind k = isfile)
{
	return {{"out", data, k}};
}

// The output with a mode, and owners if given.
entry
outfile(const std::string &data, unsigned mode, int uid = -1, int gid = -1)
{
	return {"out", data, isfile, mode, uid, gid};
}

// Entries the rows share: inputs; a sticky folder open to all, of the
// folder's owner or of root; a folder only root may write; root's output
// that anyone may write; a link to a missing file.
const entry in3 = {"in", seq(3)}, in4k = {"in", seq(0x1000)};
const entry sticky = {"s", "", isfolder, 01777};
const entry rootsticky = {"s", "", isfolder, 01777, 0};
const entry rootro = {"ro", "", isfolder, 0755, 0};
const entry rootold = {"out", "old", isfile, 0666, 0};
const entry dangling = {"out", "new", islink};

// The console of a run that reads n bytes and can't save path; of a 4 KiB
// input's output capped at 4 KiB.
std::string
saving(unsigned n, const std::string &path, const std::string &why)
{
	return lens(n) + "Can't Save '" + path + "': " + why + "\n";
}

std::string
toolarge(const std::string &path)
{
	return saving(0x1000, path, "File too large");
}

const std::string sdenied = saving(3, "s/out", "Permission denied");

// The console of a refused conversion or cut of the n-byte input at path,
// and why a picture of another format is refused.
std::string
refused(unsigned n, const std::string &why, const char *step = "Convert",
	const char *path = "in")
{
	return lens(n).substr(0, 13) + "Can't " + step + " '" + path +
	       "': " + why + "\n";
}

std::string
uncut(unsigned n, const std::string &why)
{
	return refused(n, why, "Cut");
}

std::string
notbmp(const std::string &format)
{
	return "a " + format +
	       " file; the conversion takes the pixels of a 24-bit BMP: save "
	       "it as one";
}

const std::string pastlen = "skp + chp is more than len";

// Another program's file, written aside and renamed onto "out" as a run
// puts its output, and links planted on the output by another program:
// by the ordinary user in the sticky folder, to a file root may write.
const std::string theirs = "printf theirs >out.late && mv out.late out";
const std::string userlink =
    "ln -s ../victim s/out && chown -h 65534:65534 s/out";
const std::string latelink = "ln -s target out";
// The run's naming of its new file held back a second.
const auto slowlink = inject("linkat", "delay_enter=1000000");
const std::string topfirst =
    "rows stored top first; the conversion takes bottom first: save it again "
    "as a 24-bit BMP, which most programs store bottom first";

// clang-format off
const row rows[] = {
    // Listings: labels, address wrap, the window, numbers as the tool reads
    // them.
    {.name = "listing", .args = {"in", "out", "1000"}, .has = in(seq(20)), .says = lens(0x14),
        .then = out("01000: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n: 10 11 12 13 \r\n")},
    {.name = "label on 4 KiB boundary", .args = {"in", "out", "ff0"}, .has = in(seq(32)), .says = lens(0x20),
        .then = out("0ff0: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n01000: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f \r\n")},
    {.name = "address wraps to 0", .args = {"in", "out", "fffffff0"}, .has = in(seq(18)), .says = lens(0x12),
        .then = out("0fffffff0: 0 1 2 3 4 5 6 7 8 9 a b c d e f \r\n00: 10 11 \r\n")},
    {.name = "only the first line labelled", .args = {"in", "out", "8"}, .has = in(seq(0x2000)), .says = lens(0x2000), .then = out(reflisting(seq(0x2000), 8))},
    {.name = "skp and chp cut the window", .args = {"in", "out", "8000", "3", "2"}, .has = in(std::string("\x01\x02\x03\x00\x0a\xff\x04\x05", 8)),
        .says = lens(8, 3), .then = out("08000: 0 a ff \r\n")},
    {.name = "skp alone", .args = {"in", "out", "0", "1"}, .has = {in3}, .says = lens(3, 2), .then = out("00: 1 2 \r\n")},
    {.name = "junk in a number", .args = {"in", "out", "0x10"}, .has = in(seq(1)), .says = "Add=00002110\nSkp=00000000\nChp=00000000\n" + lens(1),
        .then = out("02110: 0 \r\n")},
    {.name = "high byte in a number", .needs = posix, .args = {"in", "out", "\x80"}, .has = in(seq(1)),
        .says = "Add=ffffff29\nSkp=00000000\nChp=00000000\n" + lens(1), .then = out("0ffffff29: 0 \r\n")},
    {.name = "a colon in a number, the digit after 9", .args = {"in", "out", ":"}, .has = in(seq(1)),
        .says = "Add=00000003\nSkp=00000000\nChp=00000000\n" + lens(1), .then = out("03: 0 \r\n")},
    {.name = "empty input", .args = tolst, .has = in(""), .says = lens(0), .then = out("")},
    {.name = "empty window", .args = {"in", "out", "0", "2", "1"}, .has = {in3}, .says = lens(3, 0), .then = out("")},
    {.name = "old output replaced", .args = tolst, .has = {in3, {"out", std::string(100, 'x')}}, .says = lens(3), .then = out(lst3)},
    // Raw images.
    {.name = "raw marker by presence", .args = {"in", "out", "0", "2", "3", "no"}, .has = in(seq(10)), .says = lens(0xa, 5), .then = out(seq(5, 2))},
    {.name = "raw empty window", .args = {"in", "out", "0", "1", "2", "r"}, .has = {in3}, .says = lens(3, 0), .then = out("")},
    {.name = "exactly 4 MiB", .args = toraw, .has = in(big), .says = lens(0x400000), .then = out(big)},
    // Picture conversion.
    {.name = "picture", .args = pix("36", "0"), .has = in(bmp), .says = lens(0x24036, 0x18000), .then = out(pic)},
    {.name = "picture with one byte short", .args = pix("0", "1"), .has = in(pixels), .says = lens(0x24000, 0x17fff), .then = out(picturelessone())},
    {.name = "picture longer than the picture", .args = pix("36", "0"), .has = in(bmp + std::string("\xff\xff\xff\x00\x00\xff", 6)),
        .says = lens(0x2403c, 0x18004), .then = out(pic + std::string("\xff\xff\x00\xf8", 4))},
    {.name = "picture row pulled from the cut tail", .args = pix("0", "1869a"), .has = in(tail), .says = lens(0x186a0, 4),
        .then = out(tail.substr(191 * 512, 4))},
    {.name = "picture row pulled from past the end", .args = pix("0", "0"), .has = in(seq(6, 1)), .says = lens(6, 4), .then = out(std::string(4, '\0'))},
    {.name = "picture ending at the end of buf", .args = pix("3e8000", "0"), .has = in(std::string(0x3e8000, 'p')), .says = lens(0x3e8000, 0), .then = out("")},
    {.name = "picture past the end of buf", .args = pix("3e8001", "0"), .has = in(std::string(0x3e8001, 'p')),
        .says = refused(0x3e8001, "a whole picture from skp would end past 4 MiB, the most the tool holds: skp can be at most 003e8000"), .exit = 1},
    {.name = "same path, picture", .args = {"in", "in", "0", "0", "0", "r", "c"}, .has = in(seq(6, 1)), .says = lens(6, 4),
        .then = {{"in", std::string(4, '\0')}}},
    {.name = "picture file with a 138-byte header, skp 8a", .args = pix("8a", "0"), .has = in(bmp138), .says = lens(0x2408a, 0x18000), .then = out(pic)},
    {.name = "taller picture: the lower one", .args = pix("36", "24000"), .has = in(tall), .says = lens(0x48036, 0x18000), .then = out(pic)},
    {.name = "taller picture: the upper one", .args = pix("24036", "0"), .has = in(tall), .says = lens(0x48036, 0x18000),
        .then = out(std::string(pic.size(), 0))},
    {.name = "bare pixels starting with BM", .args = pix("0", "0"), .has = in("BM" + std::string(pixels.size() - 2, 0)), .says = lens(0x24000, 0x18000),
        .then = out(bottomfirst("\x68\x02"))}, // blue 0x42, green 0x4d
    {.name = "picture file whose size field is 0", .args = pix("36", "0"), .has = in(bmp.substr(0, 2) + std::string(4, 0) + bmp.substr(6)),
        .says = lens(0x24036, 0x18000), .then = out(pic)},
    {.name = "short bare pixels starting with BM and a large size", .args = pix("0", "0"), .has = in("BM\xff\xff\xff\xff" + std::string(94, 0)),
        .says = lens(0x64, 0x42), .then = out(std::string(0x42, 0))},
    {.name = "bare pixels starting with part of a PNG signature", .args = pix("0", "0"),
        .has = in(std::string("\x89PNG", 4) + std::string(pixels.size() - 4, 0)), .says = lens(0x24000, 0x18000), .then = out(bottomfirst("\x91\x4a\x08\x00"))},
    {.name = "picture file sliced, not converted", .args = toraw, .has = in(bmp32), .says = lens(0x24036), .then = out(bmp32)},
    {.name = "picture file listed", .args = tolst, .has = in(bmp32), .says = lens(0x24036), .then = out(reflisting(bmp32, 0))},
    // Picture files whose own headers say the conversion can't be right, and
    // pictures of other formats: refused.
    {.name = "picture file with a 138-byte header, skp 36", .args = pix("36", "0"), .has = in(bmp138),
        .says = refused(0x2408a, "the pixels start at 8a: give 8a as skp, not 36"), .exit = 1},
    {.name = "header size typed in decimal", .args = pix("54", "0"), .has = in(bmp),
        .says = refused(0x24036, "the pixels start at 36: give 36 as skp, not 54"), .exit = 1},
    {.name = "picture file with skp 0", .args = pix("0", "0"), .has = in(bmp),
        .says = refused(0x24036, "the pixels start at 36: give 36 as skp, not 0"), .exit = 1},
    {.name = "32 bits a pixel", .args = pix("36", "0"), .has = in(bmp32),
        .says = refused(0x24036, "32 bits a pixel; the conversion takes 24: save it as a 24-bit BMP"), .exit = 1},
    {.name = "320 pixels wide", .args = pix("36", "0"), .has = in(picturefile(40, 320, 192, 24, 0, pixels)),
        .says = refused(0x24036, "320 pixels wide; the conversion takes 256: scale it to 256 x 192"), .exit = 1},
    {.name = "rows stored top first", .args = pix("36", "0"), .has = in(picturefile(40, 256, -192, 24, 0, pixels)),
        .says = refused(0x24036, topfirst), .exit = 1},
    {.name = "compressed", .args = pix("36", "0"), .has = in(picturefile(40, 256, 192, 24, 1, pixels)),
        .says = refused(0x24036, "compressed pixels; the conversion takes uncompressed: save it as an uncompressed 24-bit BMP"), .exit = 1},
    {.name = "oldest 12-byte header, 32 bits a pixel", .args = pix("1a", "0"), .has = in(picturefile(12, 256, 192, 32, 0, pixels)),
        .says = refused(0x2401a, "32 bits a pixel; the conversion takes 24: save it as a 24-bit BMP"), .exit = 1},
    {.name = "picture file refused through a pipe", .needs = posix, .args = {"/dev/stdin", "out", "0", "36", "0", "r", "c"}, .has = {{"pic", bmp138}},
        .says = "len=0002408a\nCan't Convert '/dev/stdin': the pixels start at 8a: give 8a as skp, not 36\n", .exit = 1, .via = piped("pic")},
    {.name = "256 x 100 picture", .args = pix("36", "0"), .has = in(picturefile(40, 256, 100, 24, 0, pixels.substr(0, 100 * 768))),
        .says = refused(0x12c36, "100 rows from skp; the conversion takes 192"), .exit = 1},
    {.name = "taller picture from row 200", .args = pix("25836", "0"), .has = in(tall),
        .says = refused(0x48036, "184 rows from skp; the conversion takes 192"), .exit = 1},
    {.name = "taller picture, all of it", .args = pix("36", "0"), .has = in(tall),
        .says = refused(0x48036, "384 rows from skp; the conversion takes 192: give 24000 as chp to keep the bottom 192, or 24036 as skp to keep the top 192"),
        .exit = 1},
    {.name = "a row past the pixels, trailing bytes counted", .args = pix("336", "0"),
        .has = in(picturefile(40, 256, 192, 24, 0, pixels + std::string(768, 0))),
        .says = refused(0x24336, "191 rows from skp; the conversion takes 192"), .exit = 1},
    {.name = "picture file with a 108-byte header, skp 36", .args = pix("36", "0"), .has = in(picturefile(108, 256, 192, 24, 0, pixels)),
        .says = refused(0x2407a, "the pixels start at 7a: give 7a as skp, not 36"), .exit = 1},
    {.name = "whole picture file, skp past its end", .args = pix("30000", "0"), .has = in(bmp),
        .says = uncut(0x24036, pastlen + ": the pixels start at 36: give 36 as skp"), .exit = 1},
    {.name = "whole picture file, chp past its start", .args = pix("36", "30000"), .has = in(bmp),
        .says = uncut(0x24036, pastlen + ": give at most 0 as chp, not 30000"), .exit = 1},
    {.name = "text that starts as a picture file", .args = pix("36", "0"), .has = in("BMW 3 series\n"), .says = uncut(0xd, pastlen), .exit = 1},
    {.name = "header says 191 rows, 192 rows of bytes", .args = pix("36", "0"), .has = in(picturefile(40, 256, 191, 24, 0, pixels)),
        .says = refused(0x24036, "191 rows from skp; the conversion takes 192"), .exit = 1},
    {.name = "picture file one byte short", .args = pix("36", "1"), .has = in(bmp),
        .says = refused(0x24036, "chp cuts the picture to 191 rows; the conversion takes 192: give a smaller chp"), .exit = 1},
    {.name = "picture file cut short", .args = pix("36", "0"), .has = in(bmp.substr(0, 73797)),
        .says = refused(0x12045, "a BMP file cut short: its header says 00024036 bytes, len is 00012045: fetch or save it again"), .exit = 1},
    {.name = "oldest picture file cut short", .args = pix("1a", "0"), .has = in(bmp2.substr(0, 100)),
        .says = refused(0x64, "a BMP file cut short: its header says 0002401a bytes, len is 00000064: fetch or save it again"), .exit = 1},
    {.name = "picture file cut short, through a pipe", .needs = posix, .args = {"/dev/stdin", "out", "0", "36", "0", "r", "c"},
        .has = {{"pic", bmp.substr(0, bmp.size() - 1)}},
        .says = "len=00024035\nCan't Convert '/dev/stdin': a BMP file cut short: its header says 00024036 bytes, len is 00024035: fetch or save it again\n",
        .exit = 1, .via = piped("pic")},
    {.name = "PNG file", .args = pix("36", "0"), .has = in("\x89PNG\r\n\x1a\n" + pixels), .says = refused(0x24008, notbmp("PNG")), .exit = 1},
    {.name = "JPEG file", .args = pix("0", "0"), .has = in("\xff\xd8\xff\xe0" + pixels), .says = refused(0x24004, notbmp("JPEG")), .exit = 1},
    {.name = "TIFF file", .args = pix("0", "0"), .has = in(std::string("MM\0*", 4) + pixels), .says = refused(0x24004, notbmp("TIFF")), .exit = 1},
    {.name = "little-endian TIFF file", .args = pix("0", "0"), .has = in(std::string("II*\0", 4) + pixels),
        .says = refused(0x24004, notbmp("TIFF")), .exit = 1},
    {.name = "WebP file", .args = pix("0", "0"), .has = in(std::string("RIFF\x04\x40\x02\0WEBP", 12) + pixels.substr(12)),
        .says = refused(0x24000, notbmp("WebP")), .exit = 1},
    {.name = "QOI file", .args = pix("0", "0"), .has = in("qoif" + pixels.substr(4)), .says = refused(0x24000, notbmp("QOI")), .exit = 1},
    {.name = "picture file too short for skp", .args = pix("36", "0"), .has = in(bmp.substr(0, 20)),
        .says = uncut(0x14, "a BMP file cut short: its header says 00024036 bytes, len is 00000014: fetch or save it again"), .exit = 1},
    {.name = "GIF87a file", .args = pix("36", "0"), .has = in("GIF87a" + pixels), .says = refused(0x24006, notbmp("GIF")), .exit = 1},
    {.name = "GIF89a file", .args = pix("36", "0"), .has = in("GIF89a" + pixels), .says = refused(0x24006, notbmp("GIF")), .exit = 1},
    // Inputs: the same path as the output, inputs that are not plain files,
    // and refusals to load or cut.
    {.name = "same path, listing", .args = {"in", "in", "0"}, .has = {in3}, .says = lens(3), .then = {{"in", lst3}}},
    {.name = "same path, raw", .args = {"in", "in", "0", "1", "1", "r"}, .has = {in3}, .says = lens(3, 1), .then = {{"in", seq(1, 1)}}},
    {.name = "input from a FIFO", .needs = posix, .args = tolst, .has = {{"data", seq(3)}, {"in", "", isfifo}}, .says = lens(3), .then = out(lst3),
        .via = meanwhile("cat data >in")},
    {.name = "input from a pipe", .needs = posix, .args = {"/dev/stdin", "out", "0", "1", "1", "r"}, .has = {{"data", "abcde"}}, .says = lens(5, 3),
        .then = out("bcd"), .via = piped("data")},
    {.name = "missing input", .args = {"nothere", "out", "0"}, .says = "Can't Load 'nothere': No such file or directory\n", .exit = 1},
    {.name = "input is a folder", .args = tolst, .has = in("", isfolder), .says = "Can't Load 'in': Is a directory\n", .exit = 1},
    {.name = "input larger than 4 MiB", .args = toraw, .has = in(big + "!"),
        .says = "Can't Load 'in': larger than 4 MiB, the most the tool takes\n", .exit = 1},
    {.name = "/dev/stdin with standard input closed", .needs = posix, .args = {"/dev/stdin", "out", "0", "0", "0", "r"}, .has = {{"out", "old"}},
        .says = "Can't Load '/dev/stdin': No such file or directory\n", .exit = 1, .via = shell("exec \"$@\" <&-")},
    {.name = "skp + chp past the end", .args = {"in", "out", "0", "2", "2"}, .has = {in3}, .says = uncut(0x3, pastlen), .exit = 1},
    {.name = "skp + chp wrap in 32 bits", .args = {"in", "out", "0", "ffffffff", "2"}, .has = in(seq(1)), .says = uncut(0x1, pastlen), .exit = 1},
    {.name = "chp near the top", .args = {"in", "out", "0", "0", "fffffffe", "r"}, .has = in(seq(1)), .says = uncut(0x1, pastlen), .exit = 1},
    // Argument counts that do nothing at all, and a report that can't arrive.
    {.name = "no arguments", .args = {}, .has = {in3}, .says = "", .exit = 2},
    {.name = "count 3", .args = {"in", "out"}, .has = {in3}, .says = "", .exit = 2},
    {.name = "count 9", .args = {"in", "out", "0", "0", "0", "r", "c", "x"}, .has = {in3}, .says = "", .exit = 2},
    {.name = "report to a full device: the output is whole", .needs = posix, .args = tolst, .has = {in3}, .says = "", .then = out(lst3), .exit = 1,
        .via = shell("exec \"$@\" >/dev/full")},
    {.name = "report to a closed stream over a longer output: no old bytes after it", .needs = posix, .args = tolst,
        .has = {in3, {"out", std::string(100, 'x')}}, .says = "", .then = out(lst3), .exit = 1, .via = shell("exec \"$@\" >&-")},
    {.name = "report to a closed stream: the output is whole", .needs = posix, .args = tolst, .has = {in3}, .says = "", .then = out(lst3), .exit = 1,
        .via = shell("exec \"$@\" >&-")},
    // Paths in any language, on every platform.
    {.name = "input in Polish, output in Chinese", .args = {"zażółć.bin", "输出.lst", "0"}, .has = {{"zażółć.bin", seq(3)}},
        .says = lens(3), .then = {{"输出.lst", lst3}}},
    {.name = "a missing input in Polish", .args = {"brak_żółć.bin", "out", "0"}, .says = "Can't Load 'brak_żółć.bin': No such file or directory\n", .exit = 1},
    {.name = "the same path in Polish, in and out", .args = {"żółć.bin", "żółć.bin", "0"}, .has = {{"żółć.bin", seq(3)}}, .says = lens(3),
        .then = {{"żółć.bin", lst3}}},
    {.name = "a fullwidth solidus is no folder", .args = {"in", "a／b.lst", "0"}, .has = {in3, {"a", "", isfolder}},
        .says = lens(3), .then = {{"a／b.lst", lst3}}},
    // Replacing the output, in the order the manual tells it. The output is
    // the file that opening its path for writing gives, or it is refused.
    {.name = "output folder missing", .args = {"in", "nodir/out", "0"}, .has = {in3},
        .says = saving(3, "nodir/out", "the folder 'nodir' does not exist"), .exit = 1},
    {.name = "a link into a missing folder: refused, the link kept", .needs = posix, .args = tolst, .has = {in3, {"out", "nodir/t.lst", islink}},
        .says = saving(3, "out", "No such file or directory"), .exit = 1},
    {.name = "an empty output name", .args = {"in", "", "0"}, .has = {in3}, .says = saving(3, "", "No such file or directory"), .exit = 1},
    {.name = "a new folder's name as the output", .args = {"in", "newdir/", "0"}, .has = {in3}, .says = saving(3, "newdir/", "Is a directory"), .exit = 1},
    {.name = "output is a folder", .args = tolst, .has = {in3, {"out", "", isfolder}}, .says = saving(3, "out", "Is a directory"), .exit = 1},
    {.name = "output LPT1: a folder, or on Windows an absent printer port", .args = {"in", "LPT1", "0"}, .has = {in3, {"LPT1", "", isfolder}},
        .says = saving(3, "LPT1", "Is a directory"), .exit = 1, .winsays = saving(3, "LPT1", "No such file or directory")},
    {.name = "a read-only file of one's own", .needs = user, .args = tolst, .has = {in3, outfile("old", 0444)},
        .says = saving(3, "out", "Permission denied"), .exit = 1},
    {.name = "planted link in a sticky folder", .needs = root | protect, .args = tos,
        .has = {in3, {"victim", "old"}, sticky, {"s/out", "../victim", islink, 0, nobody}}, .says = sdenied, .exit = 1},
    {.name = "planted dangling link in a sticky folder", .needs = root | protect, .args = tos,
        .has = {in3, sticky, {"s/out", "../new", islink, 0, nobody}}, .says = sdenied, .exit = 1},
    {.name = "another user's FIFO in a sticky folder", .needs = root | protect, .args = tos, .has = {in3, sticky, {"s/out", "", isfifo, 0622, nobody}},
        .says = sdenied, .then = {{"got", ""}}, .exit = 1, .via = meanwhile("cat s/out >got")},
    {.name = "a link planted in a sticky folder as the run begins", .needs = root | traced | protect, .args = tos,
        .has = {in3, sticky}, .says = sdenied, .then = {{"s/out", "../victim", islink, 0, nobody}}, .exit = 1, .via = meanwhile(userlink, opened("s/out"))},
    {.name = "a link planted in a sticky folder as the run ends", .needs = root | traced | protect, .args = tos,
        .has = {in3, sticky}, .says = sdenied, .then = {{"s/out", "../victim", islink, 0, nobody}}, .exit = 1, .via = meanwhile(userlink, slowlink)},
    {.name = "a link to a file planted as the run ends", .needs = traced | links, .args = tolst, .has = {in3, {"target", "old"}},
        .says = saving(3, "out", "File exists"), .then = {{"out", "target", islink}}, .exit = 1, .via = meanwhile(latelink, slowlink)},
    {.name = "planted file in a sticky folder", .needs = root | protect, .args = tos,
        .has = {in3, sticky, {"s/out", "theirs", isfile, 0666, nobody}}, .says = sdenied, .exit = 1},
    {.name = "a name of 256 bytes", .args = {"in", longname + "n", "0"}, .has = {in3}, .says = lens(3) + "Can't Save '" + longname + "n': File name too long\n",
        .exit = 1, .winsays = lens(3) + "Can't Save '" + longname + "n': No such file or directory\n"},
    {.name = "a path of 300 bytes", .args = {"in", longdir + "/" + std::string(99, 'o'), "0"},
        .has = {in3, {longdir, "", isfolder}, {longdir + "/" + std::string(99, 'o'), "old"}}, .says = lens(3),
        .then = {{longdir + "/" + std::string(99, 'o'), lst3}}},
    // Renamed: a new file with the old one's identity takes its name.
    {.name = "an old output of 3 GiB", .args = tolst, .has = {in3, {"out", "3221225472", issparse}}, .says = lens(3), .then = out(lst3)},
    {.name = "an old output of 5 GiB", .args = tolst, .has = {in3, {"out", "5368709120", issparse}}, .says = lens(3), .then = out(lst3)},
    {.name = "new output under umask 022", .needs = posix, .args = tolst, .has = {in3}, .says = lens(3), .then = {outfile(lst3, 0644)}},
    {.name = "replaced output keeps its mode", .needs = posix, .args = tolst, .has = {in3, outfile("old", 0640)}, .says = lens(3),
        .then = {outfile(lst3, 0640)}},
    {.name = "replaced: another user's file stays theirs", .needs = root, .args = tolst, .has = {in3, outfile("old", 0600, nobody)}, .says = lens(3),
        .then = {outfile(lst3, 0600, nobody)}},
    {.name = "root's group-writable file stays root's", .needs = user, .args = tolst, .has = {in3, outfile("old", 0664, 0, nobody)}, .says = lens(3),
        .then = {outfile(lst3, 0664, 0, nobody)}},
    {.name = "replaced: a set-user-ID bit given again after the write", .needs = user, .args = tolst, .has = {in3, outfile("old", 04755)}, .says = lens(3),
        .then = {outfile(lst3, 04755)}},
    {.name = "replaced: ACL and attributes kept", .needs = linuxonly, .args = tolst,
        .has = {in3, {.name = "out", .data = "old", .mode = 0640, .attrs = denied}}, .says = lens(3),
        .then = {{.name = "out", .data = lst3, .mode = 0640, .attrs = denied}}},
    {.name = "replaced: capability given again after the write", .needs = root | linuxonly, .args = tolst,
        .has = {in3, {.name = "out", .data = "old", .mode = 0755, .attrs = capability}}, .says = lens(3),
        .then = {{.name = "out", .data = lst3, .mode = 0755, .attrs = capability}}},
    {.name = "replaced: attribute flags kept", .needs = linuxonly, .args = tolst,
        .has = {in3, {.name = "out", .data = "old", .flags = FS_NOATIME_FL | FS_NODUMP_FL | FS_SYNC_FL}}, .says = lens(3),
        .then = {{.name = "out", .data = lst3, .flags = FS_NOATIME_FL | FS_NODUMP_FL | FS_SYNC_FL}}},
    {.name = "replaced: no-compress flag kept", .needs = linuxonly, .args = tolst, .has = {in3, {.name = "out", .data = "old", .flags = FS_NOCOMP_FL}},
        .says = lens(3), .then = {{.name = "out", .data = lst3, .flags = FS_NOCOMP_FL}}},
    {.name = "replaced: DAX flag kept", .needs = linuxonly, .args = tolst, .has = {in3, {.name = "out", .data = "old", .flags = FS_DAX_FL}}, .says = lens(3),
        .then = {{.name = "out", .data = lst3, .flags = FS_DAX_FL}}},
    {.name = "replaced: project kept", .needs = linuxonly, .args = tolst, .has = {in3, {.name = "out", .data = "old", .projid = 77}}, .says = lens(3),
        .then = {{.name = "out", .data = lst3, .projid = 77}}},
    {.name = "replaced: the case the folder holds kept", .needs = caseless | linuxonly, .args = {"in", "game.lst", "0"}, .has = {in3, {"Game.LST", "old"}},
        .says = lens(3), .then = {{"Game.LST", lst3}}},
    {.name = "a read lease on the output is waited out", .needs = root | linuxonly, .args = tolst, .has = {in3, {"out", "old"}}, .says = lens(3),
        .then = out(lst3), .hold = readlease},
    {.name = "new file under a default ACL", .needs = kernel | linuxonly, .args = {"in", "d/out", "0"},
        .has = {in3, {.name = "d", .k = isfolder, .attrs = inherits}}, .says = lens(3),
        .then = {{.name = "d/out", .data = lst3, .mode = 0664, .attrs = inherited}}},
    {.name = "replaced under a default ACL: none added", .needs = linuxonly, .args = {"in", "d/out", "0"},
        .has = {in3, {"d", "", isfolder}, {"d/out", "old", isfile, 0640}, {.name = "d", .k = isfolder, .attrs = inherits}}, .says = lens(3),
        .then = {{"d/out", lst3, isfile, 0640}}},
    {.name = "chain of links: the last target is replaced in its folder", .needs = posix, .args = tolst,
        .has = {in3, {"sub", "", isfolder}, {"sub/target", "old"}, {"sub/link", "target", islink}, {"out", "sub/link", islink}}, .says = lens(3),
        .then = {{"sub/target", lst3}}},
    {.name = "dangling link: its target is created", .needs = posix, .args = tolst, .has = {in3, dangling}, .says = lens(3), .then = {{"new", lst3}}},
    {.name = "dangling link in a folder: its target made beside it", .needs = posix, .args = {"in", "sub/link", "0"},
        .has = {in3, {"sub", "", isfolder}, {"sub/link", "new", islink}}, .says = lens(3), .then = {{"sub/new", lst3}}},
    {.name = "the name in four cases: the one typed replaced", .needs = posix, .args = {"in", "game.lst", "0"},
        .has = {in3, {"game.lst", "old"}, {"GAME.LST", "OLD"}, {"Game.Lst", "Old"}, {"gAME.lST", "oLD"}}, .says = lens(3), .then = {{"game.lst", lst3}}},
    {.name = "hard link: the other name keeps its content", .needs = posix, .args = tolst, .has = {in3, {"out", "in", ishardlink}},
        .says = lens(3), .then = out(lst3)},
    {.name = "no /proc: replaced under a name of its own", .needs = noproc, .args = tolst, .has = {in3, outfile("old", 0600)}, .says = lens(3),
        .then = {outfile(lst3, 0600)}},
    {.name = "a new output in the root folder: made there", .needs = root | traced, .args = {"in", "/new.lst", "0"}, .has = {in3}, .says = lens(3),
        .then = {{"root-new.lst", lst3}}, .via = inroot},
    {.name = "no /proc: a killed run's whole new file swept away", .needs = noproc, .args = tolst,
        .has = {in3, {"out", "old"}, {".loadprep-0badf00d", lst3}, {".loadprep-mine", "x"}}, .says = lens(3), .then = {{"out", lst3}, {".loadprep-*", "x"}}},
    {.name = "no /proc, through a link: the target written", .needs = noproc, .args = tolst,
        .has = {in3, {"target", "old", isfile, 0600}, {"out", "target", islink}}, .says = lens(3), .then = {{"target", lst3, isfile, 0600}}},
    // In place: what a new file can't replace is written over.
    {.name = "the owner's file in a sticky folder, in place", .needs = user, .args = tos, .has = {in3, rootsticky, {"s/out", "theirs", isfile, 0666, 0}},
        .says = lens(3), .then = {{"s/out", lst3, isfile, 0666, 0}}},
    {.name = "an attribute the run can't give: in place", .needs = user | linuxonly, .args = tolst,
        .has = {in3, {.name = "out", .data = std::string(100, 'x'), .attrs = {{"security.loadprep", "x"}}}}, .says = lens(3),
        .then = {{.name = "out", .data = lst3, .attrs = {{"security.loadprep", "x"}}}}},
    {.name = "a set-group-ID bit the run may not give: in place, where a write drops it", .needs = user | kernel, .args = {"in", "sg/out", "0"},
        .has = {in3, {"sg", "", isfolder, 02777, 0}, {"sg/out", "old", isfile, 02664, nobody, 0}, {"sg/also", "sg/out", ishardlink, 0, nobody, 0}},
        .says = lens(3), .then = {{"sg/out", lst3, isfile, 0664, nobody, 0}, {"sg/also", lst3}}},
    {.name = "append-only folder: written in place, no leftover beside the last", .needs = root, .args = {"in", "ap/out", "0"},
        .has = {in3, {.name = "ap", .k = isfolder, .flags = FS_APPEND_FL}, {"ap/out", std::string(100, 'x')}, {"ap/.loadprep-0000000a", ""}},
        .says = lens(3), .then = {{"ap/out", lst3}, {"ap/.loadprep-*", ""}}},
    {.name = "append-only folder: a new file", .needs = root | linuxonly, .args = {"in", "ap/new", "0"},
        .has = {in3, {.name = "ap", .k = isfolder, .flags = FS_APPEND_FL}}, .says = lens(3), .then = {{"ap/new", lst3}}},
    {.name = "input linked as output, no new file there: in place", .needs = user, .args = {"ro/in", "ro/out", "0"},
        .has = {rootro, {"ro/in", seq(0x1000)}, {"ro/out", "ro/in", ishardlink}}, .says = lens(0x1000), .then = {{"ro/in", lst4k}, {"ro/out", lst4k}}},
    {.name = "the caller's own lock on an output written in place", .needs = user | linuxonly, .args = toro,
        .has = {in3, rootro, {"ro/out", "old", isfile, 0666, 0}}, .says = lens(3), .then = {{"ro/out", lst3, isfile, 0666, 0}}, .via = sharedlock},
    {.name = "bind-mounted output file: written in place", .needs = root, .args = tolst,
        .has = {in3, {"src", std::string(100, 'x')}, {"out", "src", isbound}}, .says = lens(3), .then = {{"src", lst3}, {"out", lst3}}},
    // Standard output, devices and FIFOs: written as they are.
    {.name = "output to a piped standard output, in place", .needs = posix, .args = toso, .has = {in3, stdoutlink}, .says = lens(3) + seq(3)},
    {.name = "{ step 1; /dev/stdout; step 2; } > log", .needs = posix, .args = toso, .has = {in3, {"log", "earlier\n"}, stdoutlink}, .says = "",
        .then = {{"log", "step 1\n" + head0 + lens(3) + seq(3) + "step 2\n"}}, .via = logged(">")},
    {.name = "/dev/stdout >> log", .needs = posix, .args = toso, .has = {{"in", seq(0x100)}, {"log", "earlier\n"}, stdoutlink}, .says = "",
        .then = {{"log", "earlier\nstep 1\n" + head0 + lens(0x100) + seq(0x100) + "step 2\n"}}, .via = logged(">>")},
    {.name = "a pseudo-file written as it is", .needs = linuxonly, .args = {"in", "/proc/self/comm", "0", "0", "0", "r"}, .has = in("abc"), .says = lens(3)},
    {.name = "a device written with the signals let go", .needs = user | traced, .args = {"in", "/dev/null", "0"}, .has = {in3}, .says = lens(3), .exit = 130,
        .via = inject("write", "signal=INT:when=6")},
    {.name = "/dev/stderr 2>> log: appended", .needs = traced, .args = {"in", "se", "0", "0", "0", "r"},
        .has = {in3, {"log", "earlier\n"}, {"se", "/proc/self/fd/2", islink}}, .says = lens(3), .then = {{"log", "earlier\n" + seq(3)}},
        .via = shell("exec \"$@\" 2>>log")},
    {.name = "output FIFO whose reader comes late", .needs = posix, .args = tolst, .has = {in3, {"out", "", isfifo}},
        .says = lens(3), .then = {{"got", lst3}}, .via = meanwhile("cat out >got")},
    {.name = "output on a full device", .needs = user, .args = {"in", "/dev/full", "0"}, .has = {in3},
        .says = saving(3, "/dev/full", "No space left on device"), .exit = 1},
    {.name = "output links to a full device", .needs = user, .args = tolst, .has = {in3, {"out", "/dev/full", islink}},
        .says = saving(3, "out", "No space left on device"), .exit = 1},
    {.name = "output FIFO whose reader leaves", .needs = posix, .args = tolst, .has = {{"in", seq(0x10000)}, {"out", "", isfifo}},
        .says = saving(0x10000, "out", "Broken pipe"), .exit = 1, .via = meanwhile(": <out")},
    // A failed or killed run leaves the output as it was.
    {.name = "failed write leaves no new output", .needs = posix, .args = tolst, .has = {in4k}, .says = toolarge("out"), .exit = 1, .cap = 4096},
    {.name = "failed write keeps the old output", .needs = posix, .args = toraw, .has = {{"in", seq(0x1001)}, outfile("old", 0640)},
        .says = saving(0x1001, "out", "File too large"), .exit = 1, .cap = 4096},
    {.name = "failed write keeps the input given as output", .needs = posix, .args = {"in", "in", "0"}, .has = {in4k}, .says = toolarge("in"),
        .exit = 1, .cap = 4096},
    {.name = "failed write through a link keeps the target", .needs = posix, .args = tolst, .has = {in4k, {"target", "old"}, {"out", "target", islink}},
        .says = toolarge("out"), .exit = 1, .cap = 4096},
    {.name = "failed write through a link to a missing file: the file made empty", .needs = posix, .args = tolst, .has = {in4k, dangling},
        .says = toolarge("out"), .then = {{"new", ""}}, .exit = 1, .cap = 4096},
    {.name = "name of 255 bytes under a size cap", .needs = posix, .args = {"in", longname, "0"}, .has = {in4k, {longname, "old"}},
        .says = lens(0x1000) + "Can't Save '" + longname + "': File too large\n", .exit = 1, .cap = 4096},
    {.name = "a link to a missing file at the end of 4,088 bytes, 1,413 long", .needs = posix, .args = {"in", longout, "0"}, .has = longpath(dotsnew, islink),
        .says = lens(0x1000), .then = {{longout.substr(0, 4085) + "new", reflisting(seq(0x1000), 0)}}},
    {.name = "path of 4,088 bytes under a size cap", .needs = posix, .args = {"in", longout, "0"}, .has = longpath(),
        .says = lens(0x1000) + "Can't Save '" + longout + "': File too large\n", .exit = 1, .cap = 4096},
    {.name = "chain of 40 links under a size cap", .needs = posix, .args = {"in", "l40", "0"}, .has = chain(40), .says = toolarge("l40"),
        .exit = 1, .cap = 4096},
    {.name = "input linked as output, no new file there, size cap", .needs = user, .args = {"ro/in", "ro/out", "0"},
        .has = {rootro, {"ro/in", seq(0x1000)}, {"ro/out", "ro/in", ishardlink}}, .says = toolarge("ro/out"), .then = {{"ro/out", seq(0x1000)}},
        .exit = 1, .cap = 4096},
    {.name = "full disk: another user's file refused, unchanged", .needs = user, .args = toro,
        .has = {{"in", seq(0x10000)}, rootro, {"ro/out", std::string(0x2000, 'x'), isfile, 0666, 0}, {"filler", "", isfiller}},
        .says = saving(0x10000, "ro/out", full), .exit = 1},
    {.name = "a new output another run makes as the run begins: replaced", .needs = traced, .args = tolst, .has = {in3},
        .says = lens(3), .then = out(lst3), .via = meanwhile(theirs, opened("out"))},
    {.name = "an output another run replaces as the run begins: its name written", .needs = traced, .args = tolst,
        .has = {in3, {"bak", "old"}, {"out", "bak", ishardlink}}, .says = lens(3),
        .then = {{"out", lst3}, {"bak", "old"}}, .via = meanwhile(theirs, opened("out"))},
    {.name = "no /proc, another owner's file written in place: nothing left", .needs = user | noproc | native, .args = tolst,
        .has = {in3, {"out", std::string(100, 'x'), isfile, 0666, 0}}, .says = lens(3), .then = out(lst3)},
    {.name = "INT while room is set aside in place: the old output kept", .needs = user | traced, .args = tolst, .has = {in3, rootold}, .says = lens(3),
        .exit = 130, .via = inject("fallocate", "signal=INT")},
    {.name = "a write in place failing after room was made: the old output, not grown", .needs = user | traced, .args = tolst, .has = {in3, rootold},
        .says = saving(3, "out", "Input/output error"), .exit = 1, .via = inject("write", "error=EIO:when=6")},
    {.name = "an output another run replaces as the run writes it in place: refused", .needs = user | traced, .args = tolst,
        .has = {in3, rootold, {"bak", "out", ishardlink, 0666, 0}}, .says = saving(3, "out", replacedinplace),
        .then = {{"out", "theirs"}, {"bak", lst3, isfile, 0666, 0}}, .exit = 1,
        .via = meanwhile(theirs, inject("write", "delay_enter=1000000:when=6"))},
    {.name = "killed through a link to a missing file: the file made empty", .needs = noproc | traced, .args = tolst, .has = {in3, dangling}, .says = lens(3),
        .then = {{"new", ""}}, .exit = 137, .via = thenepoch(inject("fallocate", "signal=KILL"))},
    {.name = "no /proc: failed write through a link to a missing file: the file made empty", .needs = noproc, .args = tolst, .has = {in4k, dangling},
        .says = toolarge("out"), .then = {{"new", ""}}, .exit = 1, .cap = 4096},
    {.name = "growing in place on a nearly full disk: the room counted once", .needs = user | ahead, .args = rawro,
        .has = {{"in", seq(0x300000)}, rootro, {"ro/out", std::string(0x10000, 'x'), isfile, 0666, 0}, {"filler", "8388608", isfiller}}, .says = lens(0x300000),
        .then = {{"ro/out", seq(0x300000)}}},
    {.name = "nearly full copy-on-write disk: refused, unchanged", .needs = user | cow | ahead, .args = rawro,
        .has = {{"in", seq(0x300000)}, rootro, {"ro/out", big, isfile, 0666, 0}, {"filler", "1048576", isfiller}},
        .says = saving(0x300000, "ro/out", full), .exit = 1},
    {.name = "a run waiting its turn is interrupted: unchanged", .needs = user, .args = toro, .has = {in3, rootro, {"ro/out", "old", isfile, 0666, 0}},
        .says = lens(3), .exit = 130, .via = interrupted("1.5"), .hold = otherlock, .errors = "Waiting for 'ro/out': another program has it locked\n"},
    {.name = "output FIFO with no reader, interrupted", .needs = posix, .args = tolst, .has = {in3, {"out", "", isfifo}}, .says = lens(3),
        .exit = 130, .via = interrupted("0.3")},
    {.name = "TERM while the new file is made: the old output kept", .needs = traced, .args = tolst, .has = {in3, outfile("old", 0600)}, .says = lens(3),
        .exit = 143, .via = inject("fchmod", "signal=TERM")},
    {.name = "TERM while written over: the new output whole", .needs = root | traced | linuxonly, .args = tolst,
        .has = {in3, {"src", "old"}, {"out", "src", isbound}}, .says = lens(3), .then = {{"src", lst3}, {"out", lst3}},
        .via = inject("write", "signal=TERM:when=6")},
    {.name = "killed before it has the old file's identity: the new file shut to others", .needs = noproc | traced, .args = tolst,
        .has = {in3, outfile("old", 0644)}, .says = lens(3), .then = {{".loadprep-*", "", isfile, 0600}}, .exit = 137, .via = inject("fchmod", "signal=KILL")},
};
// clang-format on

} // namespace
