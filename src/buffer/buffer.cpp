#include "buffer/buffer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#include <sys/stat.h>

constexpr size_t bufalign = 0x200000; // a huge page: see advise
#else
constexpr size_t bufalign = 64;
#endif

alignas(bufalign) unsigned char buf[bufsize];

#ifdef __linux__
// A large regular file is read into huge pages, 2 MiB at a time instead of
// 4 KiB: for a 4 MiB input some thousand page faults fewer, each dear in a
// virtual machine. A small input keeps small pages, since its first byte
// would cost a zeroed 2 MiB; from 512 KiB on huge pages were faster here.
// Where huge pages are off this changes nothing.
static void
advise(FILE *f)
{
	struct stat st;
	if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
	    st.st_size >= 0x80000)
		(void)madvise(buf, bufsize, MADV_HUGEPAGE);
}
#else
static void
advise(FILE *)
{
}
#endif

#ifdef _WIN32
#include <windows.h>

// Windows says only that access is denied to a folder opened as a file.
static int
openerror(const char *path)
{
	int err = errno;
	DWORD a = GetFileAttributesA(path);
	return err == EACCES && a != INVALID_FILE_ATTRIBUTES &&
		       (a & FILE_ATTRIBUTE_DIRECTORY)
		   ? EISDIR
		   : err;
}
#else
static int
openerror(const char *)
{
	return errno;
}
#endif

const char *
loadinput(const char *path, uint32_t *size)
{
	FILE *f = fopen(path, "rb");
	if (!f)
		return strerror(openerror(path));
	advise(f);
	// One read to the end serves files and pipes alike; the size is what
	// arrived, so a short read can't pass off buf's zeros as data. Straight
	// into buf: a buffer of the stream's own would cost a short run a
	// system call and a page.
	(void)setvbuf(f, nullptr, _IONBF, 0);
	size_t n = fread(buf, 1, bufsize, f);
	bool more = n == bufsize && fgetc(f) != EOF;
	int err = ferror(f) ? errno : 0; // the failed read's reason
	(void)fclose(f);		 // a read stream loses nothing on close
	if (err)
		return strerror(err);
	static_assert(bufsize == 4194304, "the message names buf's size");
	if (more)
		return "larger than 4 MiB, the most the tool takes";
	*size = static_cast<uint32_t>(n);
	return nullptr;
}

const char *
cutwindow(uint32_t size, uint32_t skp, uint32_t chp, uint32_t *len)
{
	// Summed in 64 bits: a 32-bit sum could wrap and pass the check.
	if (uint64_t{skp} + chp > size)
		return "skp + chp is more than len";
	*len = size - skp - chp;
	return nullptr;
}
