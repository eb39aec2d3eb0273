#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#endif

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

// The flip always covers a whole picture at skp, so it must fit in buf; a
// picture file whose headers say the conversion would scramble it is
// refused too.
static bool
convert(const char *path, uint32_t size)
{
	const char *why = skp > bufsize - picturesize
			      ? "the picture at skp runs past the 4 MiB buffer"
			      : checkpicture(size, skp);
	if (why) {
		printf("Can't Convert '%s': %s\n", path, why);
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
	FILE *f = openoutput(path);
	if (f) {
		bool ok = bin ? writebinary(f, skp, len)
			      : writelisting(f, skp, len, add);
		if (closeoutput(f, ok))
			return 0;
	}
	printf("Can't Save '%s': %s\n", path, strerror(errno));
	return 1;
}

// A closed standard stream would hand its number to the next file opened,
// and the report would land in the output: /dev/null takes its place.
// False if standard output was closed.
static bool
fillstdfds()
{
#ifdef _WIN32
	return true;
#else
	bool out = fcntl(1, F_GETFD) != -1;
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) == -1)
			(void)open("/dev/null", fd ? O_WRONLY : O_RDONLY);
	return out;
#endif
}

// A size limit or a closed pipe makes a write fail, to be reported like a
// full disk, not a silent death. Each report line goes out when printed,
// so a run that dies has shown how far it got.
static bool
prepare()
{
#ifndef _WIN32
	(void)signal(SIGPIPE, SIG_IGN);
	(void)signal(SIGXFSZ, SIG_IGN);
#endif
	(void)setvbuf(stdout, nullptr, _IONBF, 0);
	return fillstdfds();
}

static int
stages(char **argv)
{
	uint32_t size;

	printf("Add=%08x\n", add);
	printf("Skp=%08x\n", skp);
	printf("Chp=%08x\n", chp);
	if (!loadinput(argv[1], &size) ||
	    !cutwindow(argv[1], size, skp, chp, &len))
		return 1; // they have said why
	if (convert24bitbmpto16bitbitmap && !convert(argv[1], size))
		return 1;
	printf("newlen=%08x\n", len);
	return save(argv[2]);
}

int
run(int argc, char **argv)
{
	if (!decode(argc, argv))
		return 2;
	bool console = prepare();
	int status = stages(argv);
	// The output is written all the same; a report that did not arrive
	// makes the run a failure.
	return console && !ferror(stdout) ? status : 1;
}
