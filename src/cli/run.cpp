#include <cstdio>

#include "buffer/buffer.h"
#include "cli/cli.h"
#include "output/output.h"
#include "picture/picture.h"

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

// The flip always covers a whole picture at skp, so it must fit in buf.
static bool
convert(const char *path)
{
	if (skp > bufsize - picturesize) {
		printf("Can't Convert '%s': the picture at skp runs past the "
		       "4 MiB buffer\n",
		       path);
		return false;
	}
	len = convert24to16(skp, len);
	flipimage(skp);
	return true;
}

// Opened only now, so a failed load or conversion leaves the output path
// alone. Both forms go out in binary mode: the listing spells its own CR LF,
// the same bytes on every platform.
static int
save(const char *path)
{
	FILE *f = fopen(path, "wb");
	if (!f) {
		printf("Can't Save '%s'\n", path);
		return 1;
	}
	bool ok =
	    bin ? writebinary(f, skp, len) : writelisting(f, skp, len, add);
	if (fclose(f) != 0 || !ok) {
		discard(path); // no truncated file may pass for a whole one
		printf("Can't Save '%s'\n", path);
		return 1;
	}
	return 0;
}

int
run(int argc, char **argv)
{
	uint32_t size;

	if (!decode(argc, argv))
		return 2;
	printf("Add=%08x\n", add);
	printf("Skp=%08x\n", skp);
	printf("Chp=%08x\n", chp);
	if (!loadinput(argv[1], &size) ||
	    !cutwindow(argv[1], size, skp, chp, &len))
		return 1; // they have said why
	if (convert24bitbmpto16bitbitmap && !convert(argv[1]))
		return 1;
	printf("newlen=%08x\n", len);
	return save(argv[2]);
}
