// Replacing the output on Windows. The path is first opened for writing, so
// that the system refuses what it would refuse any program (a read-only
// file, a folder). The new content is written beside the output under a
// name of the run's own, then ReplaceFileW puts it in the place of an
// existing file, keeping that file's attributes, ACL and streams, or
// MoveFileExW names a new one. Paths go to the system as UTF-16, which
// takes them longer than 260 characters. Until it is whole, the new file is
// marked to go when its handle closes, so that a run killed meanwhile leaves
// nothing behind. Devices, links, which a replacement would turn into files,
// and files another program holds open without letting them be replaced, are
// written in place.
#include "replace/replace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

enum mode { direct, inplace, replace, create };

static mode how;
static const char *given; // the output's path as the caller gave it
// Paths as long as the system takes them.
static wchar_t wpath[32768];	// the output's path as given
static wchar_t target[32768];	// the output's full path
static wchar_t tmp[32768 + 16]; // the new file beside it
static HANDLE tmph;		// the new file, open
static DWORD attrs;		// the replaced file's attributes
static uint64_t size;		// the new length

// The reason the system call that just failed gives: an errno value where
// the C library has the same words, else the system's own code, negated.
static int
syserr()
{
	DWORD e = GetLastError();
	switch (e) {
	case ERROR_FILE_NOT_FOUND:
	case ERROR_PATH_NOT_FOUND:
		return ENOENT;
	case ERROR_ACCESS_DENIED:
		return EACCES;
	case ERROR_DISK_FULL:
	case ERROR_HANDLE_DISK_FULL:
		return ENOSPC;
	case ERROR_FILENAME_EXCED_RANGE:
		return ENAMETOOLONG;
	default:
		return -static_cast<int>(e);
	}
}

// The bytes written in place, and the count they were given room for.
static uint64_t written;

const char *
reason(int err)
{
	static char why[512];
	if (err == ECOUNT)
		(void)snprintf(why, sizeof why,
			       "wrote %llx bytes where %llx were counted; the "
			       "tool is at fault",
			       static_cast<unsigned long long>(written),
			       static_cast<unsigned long long>(size));
	if (err == ENOFOLDER) {
		const char *end = given + strlen(given);
		while (end > given && end[-1] != '/' && end[-1] != '\\')
			end--;
		(void)snprintf(
		    why, sizeof why, "the folder '%.*s' does not exist",
		    static_cast<int>(end > given ? end - 1 - given : 0), given);
	}
	if (err > 0)
		return err == ECOUNT || err == ENOFOLDER ? why : strerror(err);
	DWORD n = FormatMessageA(
	    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
	    static_cast<DWORD>(-err), 0, why, sizeof why, nullptr);
	while (n > 0 && (why[n - 1] == '\r' || why[n - 1] == '\n'))
		n--;
	if (n == 0)
		(void)snprintf(why, sizeof why, "system error %d", -err);
	else
		why[n] = '\0';
	return why;
}

// Opens path for writing as any program would, and asks also for the
// right to replace it; a file another program holds open without sharing
// that right is written in place.
static HANDLE
openpath(const wchar_t *path, bool *shared)
{
	const DWORD share =
	    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
	HANDLE h = CreateFileW(path, GENERIC_WRITE | DELETE, share, nullptr,
			       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	*shared = h == INVALID_HANDLE_VALUE &&
		  GetLastError() == ERROR_SHARING_VIOLATION;
	if (*shared)
		h = CreateFileW(path, GENERIC_WRITE, share, nullptr,
				OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	return h;
}

// A folder can't be opened for writing, and the system says only that
// access is denied.
static bool
folder(const wchar_t *path)
{
	DWORD e = GetLastError(), a = GetFileAttributesW(path);
	SetLastError(e);
	return e == ERROR_ACCESS_DENIED && a != INVALID_FILE_ATTRIBUTES &&
	       (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Runs that write one file in place take turns: each locks all of it, a
// lock the system holds other handles' writes to, until it closes. One
// that waits for its turn says so after a second.
static int
turn(HANDLE h)
{
	const DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
	OVERLAPPED all = {};
	for (DWORD waited = 0, ms = 1; waited < 1000;
	     waited += ms, ms = ms < 100 ? 2 * ms : ms) {
		if (LockFileEx(h, now, 0, MAXDWORD, MAXDWORD, &all))
			return 0;
		if (GetLastError() != ERROR_LOCK_VIOLATION)
			return syserr();
		Sleep(ms);
	}
	(void)fprintf(
	    stderr, "Waiting for '%s': another program has it locked\n", given);
	return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD,
			  &all)
		   ? 0
		   : syserr();
}

// A device has no place to write a file beside; a link would become a file.
static mode
kindof(HANDLE h, const wchar_t *path, bool shared)
{
	if (GetFileType(h) != FILE_TYPE_DISK)
		return direct;
	attrs = GetFileAttributesW(path);
	return shared || (attrs != INVALID_FILE_ATTRIBUTES &&
			  (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
		   ? inplace
		   : replace;
}

// Writes over the output as opened. A file gets the room to grow before
// its first byte changes.
static int
writeover(HANDLE h, FILE **f)
{
	int err = how == inplace ? turn(h) : 0;
	if (err) {
		(void)CloseHandle(h);
		return err;
	}
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
				 _O_WRONLY | _O_BINARY);
	if (fd < 0) {
		(void)CloseHandle(h);
		return EBADF;
	}
	if (how == inplace && static_cast<__int64>(size) > _filelengthi64(fd) &&
	    _chsize_s(fd, static_cast<__int64>(size)) != 0)
		*f = nullptr;
	else
		*f = _fdopen(fd, "wb");
	err = *f ? 0 : errno;
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

// The new file takes the attributes of the file it replaces (hidden,
// system) before it is named: ReplaceFileW is meant to carry them over,
// and not every system does.
static bool
giveattrs()
{
	const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
			   FILE_ATTRIBUTE_ARCHIVE |
			   FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
	FILE_BASIC_INFO b = {};
	b.FileAttributes = attrs & kept; // 0 and times of 0 change nothing
	return SetFileInformationByHandle(tmph, FileBasicInfo, &b, sizeof b);
}

// Makes the new file beside the output under a name no other file has,
// marked to go until it is whole.
static int
maketmp(size_t dirlen)
{
	static unsigned r;
	if (r == 0)
		r = GetCurrentProcessId() ^ GetTickCount();
	for (int tries = 0; tries < 100; tries++) {
		r = r * 1664525 + 1013904223; // another name for each try
		(void)swprintf(tmp, sizeof tmp / sizeof *tmp,
			       L"%.*lslp%08x.tmp", static_cast<int>(dirlen),
			       target, r);
		tmph = CreateFileW(tmp, GENERIC_WRITE | DELETE, 0, nullptr,
				   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
		if (tmph == INVALID_HANDLE_VALUE &&
		    GetLastError() == ERROR_FILE_EXISTS)
			continue;
		if (tmph == INVALID_HANDLE_VALUE)
			break;
		if (doomed(true))
			return 0;
		int err = syserr();
		(void)CloseHandle(tmph);
		(void)DeleteFileW(tmp);
		return err;
	}
	return syserr();
}

// The new file, beside the output.
static int
writebeside(FILE **f)
{
	wchar_t *base;
	DWORD n = GetFullPathNameW(wpath, sizeof target / sizeof *target,
				   target, &base);
	if (n == 0)
		return syserr();
	if (n >= sizeof target / sizeof *target)
		return ENAMETOOLONG;
	// No file part: a folder's name ("out/"), or a device's (PRN, LPT1)
	// where no such device is.
	size_t len = strlen(given);
	if (!base)
		return len > 0 && strchr("/\\", given[len - 1]) ? EISDIR
								: ENOENT;
	int err = maketmp(static_cast<size_t>(base - target));
	if (err)
		return err;
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(tmph),
				 _O_WRONLY | _O_BINARY);
	*f = fd < 0 ? nullptr : _fdopen(fd, "wb");
	if (*f)
		return 0;
	if (fd < 0)
		(void)CloseHandle(tmph); // marked, so it goes
	else
		(void)_close(fd);
	return EBADF;
}

int
openoutput(const char *path, uint64_t newsize, FILE **f)
{
	bool shared;
	given = path;
	size = newsize;
	if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wpath,
				sizeof wpath / sizeof *wpath) == 0)
		return syserr();
	HANDLE h = openpath(wpath, &shared);
	if (h == INVALID_HANDLE_VALUE &&
	    GetLastError() == ERROR_PATH_NOT_FOUND && strpbrk(path, "/\\"))
		return ENOFOLDER;
	if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND)
		return folder(wpath) ? EISDIR : syserr();
	how = h == INVALID_HANDLE_VALUE ? create : kindof(h, wpath, shared);
	int err;
	if (how == direct || how == inplace) {
		err = writeover(h, f);
	} else {
		if (h != INVALID_HANDLE_VALUE)
			(void)CloseHandle(h); // ReplaceFileA needs it closed
		err = writebeside(f);
	}
	// The writers hand over large blocks: a buffer would only copy them.
	if (!err)
		(void)setvbuf(*f, nullptr, _IONBF, 0);
	return err;
}

// An overwrite ends where its writing did, and the length the run counted
// ahead, for which it made room, must be the one it wrote.
static int
cut(FILE *f)
{
	if (fflush(f) != 0)
		return errno;
	written = static_cast<uint64_t>(_telli64(_fileno(f)));
	if (_chsize_s(_fileno(f), static_cast<__int64>(written)) != 0)
		return errno;
	return written == size ? 0 : ECOUNT;
}

int
closeoutput(FILE *f, int werr)
{
	int err = werr;
	if (!err && how == inplace)
		err = cut(f);
	// The attributes are given while the new file is still doomed, so that
	// the moment a kill could leave it named is no longer than it was.
	if (!err && how == replace && !giveattrs())
		err = syserr();
	if (!err && (how == replace || how == create) && !doomed(false))
		err = syserr();
	if (fclose(f) != 0 && !err)
		err = errno;
	if (how == direct || how == inplace)
		return err;
	if (!err &&
	    !(how == replace
		  ? ReplaceFileW(target, tmp, nullptr,
				 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
				 nullptr)
		  : MoveFileExW(tmp, target, MOVEFILE_REPLACE_EXISTING)))
		err = syserr();
	if (err)
		(void)DeleteFileW(tmp);
	return err;
}
