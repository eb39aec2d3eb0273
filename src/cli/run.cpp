#include <cerrno>
#include <cstdio>

#include "buffer/buffer.h"
#include "cli/cli.h"
#include "listing/listing.h"
#include "picture/picture.h"
#include "replace/replace.h"

// The run settings, set once from the command line.
static uint32_t add, skp, chp;
static bool bin, convert24bitbmpto16bitbitmap;

static uint32_t len; // bytes in the payload window at buf + skp

// Arguments: input output add [skp [chp [raw-marker [conversion-marker]]]].
// The markers count by their presence alone.
static bool
decode(int argc, char **argv)
{
	int n = argc;

	add = skp = chp = 0;
	bin = convert24bitbmpto16bitbitmap = false;
	if (n == 8) {
		convert24bitbmpto16bitbitmap = true;
		n = 7;
	}
	if (n == 7) {
		bin = true;
		n = 6;
	}
	if (n == 6) {
		chp = parsehex(argv[5]);
		n = 5;
	}
	if (n == 5) {
		skp = parsehex(argv[4]);
		n = 4;
	}
	if (n != 4)
		return false;
	add = parsehex(argv[3]);
	return true;
}

// Every failure ends the run with one line that names the file and says
// why.
static int
cant(const char *verb, const char *path, const char *why)
{
	printf("Can't %s '%s': %s\n", verb, path, why);
	return 1;
}

// The flip always covers a whole picture at skp, so it must fit in buf; a
// picture file whose headers say the conversion would scramble it is
// refused too. Null once converted, else why not.
static const char *
convert(uint32_t size)
{
	static_assert(bufsize - picturesize == 0x3e8000, "the message's skp");
	const char *why =
	    skp > bufsize - picturesize
		? "a whole picture from skp would end past 4 MiB, the most "
		  "the tool holds: skp can be at most 003e8000"
		: checkpicture(size, skp, chp);
	if (!why) {
		len = convert24to16(skp, len);
		flipimage(skp);
	}
	return why;
}

// Opened only now, so a failed load or conversion leaves the output path
// alone. Both forms go out in binary mode: the listing spells its own CR LF,
// the same bytes on every platform.
static int
save(const char *path)
{
	FILE *f;
	int err = openoutput(path, bin ? len : listinglen(skp, len, add), &f);
	if (!err) {
		bool ok = bin ? writebinary(f, skp, len)
			      : writelisting(f, skp, len, add);
		err = closeoutput(f, ok ? 0 : errno);
	}
	return err ? cant("Save", path, reason(err)) : 0;
}

static int
stages(char **argv)
{
	uint32_t size;
	const char *why;

	printf("Add=%08x\n", add);
	printf("Skp=%08x\n", skp);
	printf("Chp=%08x\n", chp);
	if ((why = loadinput(argv[1], &size)))
		return cant("Load", argv[1], why);
	printf("len=%08x\n", size);
	if ((why = cutwindow(size, skp, chp, &len))) {
		const char *bmp = convert24bitbmpto16bitbitmap
				      ? cutpicture(size, skp, chp)
				      : nullptr;
		return cant("Cut", argv[1], bmp ? bmp : why);
	}
	if (convert24bitbmpto16bitbitmap && (why = convert(size)))
		return cant("Convert", argv[1], why);
	printf("newlen=%08x\n", len);
	return save(argv[2]);
}

// Each report line goes out when printed, so a run that dies has shown how
// far it got.
int
run(int argc, char **argv)
{
	if (!decode(argc, argv))
		return 2;
	bool console = openconsole();
	(void)setvbuf(stdout, nullptr, _IONBF, 0);
	int status = stages(argv);
	closeconsole();
	// The output is written all the same; a report that did not arrive
	// makes the run a failure.
	return console && !ferror(stdout) ? status : 1;
}
