// Replacing the output only once the new one is whole: it is written to a
// temporary file beside the file it replaces and renamed over it, so the
// output path keeps its old content, or stays absent, whenever a run fails
// or is killed, and two runs on one output never mix.
#include "output/output.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

constexpr size_t pathmax = 4096;

static char target[pathmax]; // the file to replace: the path, links followed
static char tmp[pathmax];    // the new output, until renamed over target
static volatile sig_atomic_t armed; // tmp may name a file of this run
static bool beside;		    // this run writes tmp, not the path itself
static bool replacing;		    // and renames it over a file
static size_t unkicked;		    // bytes written since the last hand-over

// Where the new output goes: in place through the path as given, or beside
// target to replace it or to create it.
enum { inplace, replace, create };

#ifdef _WIN32

// Devices (NUL, CON) have full names under \\.\, links are reparse points:
// both are written in place.
static int
lookup(const char *path)
{
	DWORD n = GetFullPathNameA(path, pathmax, target, nullptr);
	if (n == 0 || n >= pathmax || strncmp(target, "\\\\.\\", 4) == 0)
		return inplace;
	DWORD a = GetFileAttributesA(target);
	if (a == INVALID_FILE_ATTRIBUTES)
		return GetLastError() == ERROR_FILE_NOT_FOUND ? create
							      : inplace;
	return a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
		    FILE_ATTRIBUTE_DEVICE)
		   ? inplace
		   : replace;
}

static const char *
lastslash(const char *p)
{
	const char *s = strrchr(p, '\\');
	const char *t = strrchr(p, '/');
	return !s || (t && t > s) ? t : s;
}

// The new file takes what the folder gives it, as a file made there would;
// a read-only file is not replaced (the rename is refused), as opening it
// for writing would have been.
static bool
copymode(int, int)
{
	return true;
}

static bool
renametmp()
{
	if (MoveFileExA(tmp, target, MOVEFILE_REPLACE_EXISTING))
		return true;
	DWORD e = GetLastError();
	errno = e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION
		    ? EACCES
		    : EIO;
	return false;
}

#else

static struct stat old; // what target is now

// Follows a chain of links to the file it finally names, so that a link
// stays a link and the file behind it is replaced. Anything the chain can't
// be followed through is written in place, and opening it says why: so are
// the links of /dev/stdout, which name a pipe or a file by no path at all.
static int
lookup(const char *path)
{
	static char link[pathmax];
	struct stat st;
	bool exists = stat(path, &st) == 0;
	size_t n = strlen(path);
	if ((exists && !S_ISREG(st.st_mode)) || n >= pathmax)
		return inplace;
	memcpy(target, path, n + 1);
	for (int hops = 0; hops < 40; hops++) {
		if (lstat(target, &old) != 0)
			return errno == ENOENT && !exists ? create : inplace;
		if (S_ISREG(old.st_mode))
			return replace;
		if (!S_ISLNK(old.st_mode))
			return inplace; // a device, FIFO or folder
		ssize_t k = readlink(target, link, sizeof link);
		if (k < 0 || static_cast<size_t>(k) == sizeof link)
			return inplace;
		// A relative link counts from the folder that holds it.
		const char *slash = strrchr(target, '/');
		size_t keep = link[0] == '/' || !slash
				  ? 0
				  : static_cast<size_t>(slash - target) + 1;
		if (keep + static_cast<size_t>(k) >= pathmax)
			return inplace;
		memcpy(target + keep, link, static_cast<size_t>(k));
		target[keep + static_cast<size_t>(k)] = '\0';
	}
	return inplace;
}

static const char *
lastslash(const char *p)
{
	return strrchr(p, '/');
}

// A replaced file keeps its permission bits, and its owner and group where
// the run may give them; a new one gets what opening it would have given.
static bool
copymode(int fd, int how)
{
	if (how == create) {
		mode_t mask = umask(0);
		umask(mask);
		return fchmod(fd, 0666 & ~mask) == 0;
	}
	if (fchown(fd, old.st_uid, old.st_gid) != 0)
		(void)fchown(fd, static_cast<uid_t>(-1), old.st_gid);
	return fchmod(fd, old.st_mode & 07777) == 0;
}

static bool
renametmp()
{
	return rename(tmp, target) == 0;
}

#ifdef __linux__
// Bytes written between two hand-overs to the disk.
constexpr size_t kick = 1 << 20;

// A file renamed over another is flushed to the disk before the rename
// returns, so that a power cut can't leave it empty. Handing each MiB over
// as soon as it is written lets most of that flush run beside the writing.
static bool
putkicked(FILE *f, const char *p, size_t n)
{
	while (n > 0) {
		size_t k = n < kick - unkicked ? n : kick - unkicked;
		if (fwrite(p, 1, k, f) != k)
			return false;
		p += k;
		n -= k;
		unkicked += k;
		if (unkicked == kick) {
			(void)sync_file_range(fileno(f), 0, 0,
					      SYNC_FILE_RANGE_WRITE);
			unkicked = 0;
		}
	}
	return true;
}
#endif

// Only async-signal-safe calls: the name was made before the file was.
static void
drop(int sig)
{
	if (armed)
		unlink(tmp);
	(void)signal(sig, SIG_DFL);
	(void)raise(sig);
}

// A signal that was ignored when the run began stays ignored (nohup).
static void
catchsignals()
{
	static const int sigs[] = {SIGINT, SIGTERM, SIGHUP};
	for (int sig : sigs)
		if (signal(sig, drop) == SIG_IGN)
			(void)signal(sig, SIG_IGN);
}

#endif

static void
droptmp()
{
	(void)remove(tmp); // the failure is reported either way
	armed = 0;
}

// ".name.XXXXXX" beside target: hidden, and still telling what it was for
// to whoever finds one left after a power cut.
static FILE *
opentmp(int how)
{
	const char *slash = lastslash(target);
	int dir = slash ? static_cast<int>(slash - target) + 1 : 0;
	int n = snprintf(tmp, sizeof tmp, "%.*s.%s.XXXXXX", dir, target,
			 target + dir);
	if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
		errno = ENAMETOOLONG;
		return nullptr;
	}
#ifndef _WIN32
	catchsignals(); // a run killed on Windows may leave tmp behind
#endif
	armed = 1; // before the file exists: a signal then removes nothing
	int fd = mkstemp(tmp);
	if (fd < 0) {
		armed = 0;
		return nullptr;
	}
	FILE *f = copymode(fd, how) ? fdopen(fd, "wb") : nullptr;
	if (!f) {
		int err = errno;
		(void)close(fd);
		droptmp();
		errno = err;
	}
	return f;
}

static FILE *
openfile(const char *path)
{
	int how = lookup(path);
	beside = how != inplace;
	replacing = how == replace;
	unkicked = 0;
	if (beside) {
		FILE *f = opentmp(how);
		// A folder the run may not write into, or a name too long to
		// add to, can still take the output in place; any other
		// failure would fail there too, and truncate the old output.
		if (f || (errno != EACCES && errno != EPERM &&
			  errno != ENAMETOOLONG))
			return f;
		beside = replacing = false;
	}
	return fopen(path, "wb");
}

// The writers hand over large blocks: a stream buffer would only copy them.
FILE *
openoutput(const char *path)
{
	FILE *f = openfile(path);
	if (f)
		(void)setvbuf(f, nullptr, _IONBF, 0);
	return f;
}

bool
putoutput(FILE *f, const void *p, size_t n)
{
#ifdef __linux__
	if (replacing)
		return putkicked(f, static_cast<const char *>(p), n);
#endif
	return fwrite(p, 1, n, f) == n;
}

bool
closeoutput(FILE *f, bool ok)
{
	int err = ok ? 0 : errno; // the failed write's reason
	if (fclose(f) != 0 && !err)
		err = errno;
	if (beside && !err && !renametmp())
		err = errno;
	if (beside && err)
		droptmp();
	armed = 0;
	errno = err;
	return !err;
}
