// Replacing the output on Windows. The path is first opened for writing, so
// that the system refuses what it would refuse any program (a read-only
// file, a folder). The new content is written beside the output under a
// name GetTempFileNameA makes unique, then ReplaceFileA puts it in the
// place of an existing file, keeping that file's attributes, ACL and
// streams, or MoveFileExA names a new one. Until it is whole, the new file
// is marked to go when its handle closes, so that a run killed meanwhile
// leaves nothing behind. Devices, and links, which a replacement would turn
// into files, are written in place.
#include "output/replace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

enum mode { direct, inplace, replace, create };

static mode how;
static char target[4096];  // the output's full path
static char tmp[MAX_PATH]; // the new file beside it
static HANDLE tmph;	   // the new file, open
static uint64_t size;	   // the new length, for a file written in place

// The errno value for the system call that just failed.
static int
syserr()
{
	switch (GetLastError()) {
	case ERROR_FILE_NOT_FOUND:
	case ERROR_PATH_NOT_FOUND:
	case ERROR_DIRECTORY:
		return ENOENT;
	case ERROR_DISK_FULL:
	case ERROR_HANDLE_DISK_FULL:
		return ENOSPC;
	default:
		return EACCES;
	}
}

// A device has no place to write a file beside; a link would become a file.
static mode
kindof(int fd, const char *path)
{
	auto h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
	if (GetFileType(h) != FILE_TYPE_DISK)
		return direct;
	DWORD a = GetFileAttributesA(path);
	return a != INVALID_FILE_ATTRIBUTES &&
		       (a & FILE_ATTRIBUTE_REPARSE_POINT)
		   ? inplace
		   : replace;
}

// Writes over the output as opened. A link's target gets the room to grow
// before its first byte changes.
static int
writeover(int fd, uint64_t (*newsize)(), FILE **f)
{
	size = how == inplace ? newsize() : 0;
	if (how == inplace && size > static_cast<uint64_t>(_filelength(fd)) &&
	    _chsize(fd, static_cast<long>(size)) != 0)
		*f = nullptr;
	else
		*f = _fdopen(fd, "wb");
	int err = *f ? 0 : errno;
	if (err)
		(void)_close(fd);
	return err;
}

// Whether the new file goes when its handle closes. It does until it is
// whole, so that a run that ends before then, killed included, leaves
// nothing behind.
static bool
doomed(bool gone)
{
	FILE_DISPOSITION_INFO d = {gone};
	return SetFileInformationByHandle(tmph, FileDispositionInfo, &d,
					  sizeof d) != 0;
}

// Opens the new file GetTempFileNameA made, marked to go until it is whole.
static int
opentmp(FILE **f)
{
	tmph = CreateFileA(tmp, GENERIC_WRITE | DELETE, 0, nullptr,
			   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (tmph == INVALID_HANDLE_VALUE)
		return syserr();
	int fd = doomed(true)
		     ? _open_osfhandle(reinterpret_cast<intptr_t>(tmph),
				       _O_WRONLY | _O_BINARY)
		     : -1;
	*f = fd < 0 ? nullptr : _fdopen(fd, "wb");
	if (*f)
		return 0;
	int err = fd < 0 ? syserr() : errno;
	if (fd < 0)
		(void)CloseHandle(tmph);
	else
		(void)_close(fd);
	return err;
}

// The new file, beside the output.
static int
writebeside(const char *path, FILE **f)
{
	char *base;
	char dir[sizeof target];
	DWORD n = GetFullPathNameA(path, sizeof target, target, &base);
	if (n == 0)
		return syserr();
	if (n >= sizeof target || !base)
		return ENAMETOOLONG;
	memcpy(dir, target, static_cast<size_t>(base - target));
	dir[base - target] = '\0';
	if (!GetTempFileNameA(dir, "lp", 0, tmp))
		return syserr();
	int err = opentmp(f);
	if (err)
		(void)DeleteFileA(tmp);
	return err;
}

int
openoutput(const char *path, uint64_t (*newsize)(), FILE **f)
{
	int fd = _open(path, _O_WRONLY | _O_BINARY);
	if (fd < 0 && errno != ENOENT)
		return errno;
	how = fd < 0 ? create : kindof(fd, path);
	int err;
	if (how == direct || how == inplace) {
		err = writeover(fd, newsize, f);
	} else {
		if (fd >= 0)
			(void)_close(fd); // ReplaceFileA needs it closed
		err = writebeside(path, f);
	}
	// The writers hand over large blocks: a buffer would only copy them.
	if (!err)
		(void)setvbuf(*f, nullptr, _IONBF, 0);
	return err;
}

int
closeoutput(FILE *f, int werr)
{
	int err = werr;
	if (!err && how == inplace &&
	    (fflush(f) != 0 ||
	     _chsize(_fileno(f), static_cast<long>(size)) != 0))
		err = errno;
	if (!err && (how == replace || how == create) && !doomed(false))
		err = syserr();
	if (fclose(f) != 0 && !err)
		err = errno;
	if (how == direct || how == inplace)
		return err;
	if (!err &&
	    !(how == replace
		  ? ReplaceFileA(target, tmp, nullptr,
				 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
				 nullptr)
		  : MoveFileExA(tmp, target, MOVEFILE_REPLACE_EXISTING)))
		err = syserr();
	if (err)
		(void)DeleteFileA(tmp);
	return err;
}
