// Replacing the output on Linux. The path is opened once, as any program
// opens a file for writing, and from then on the run works from
// descriptors: the file's folder is found from the open file itself, so a
// link swapped or a folder renamed during the run changes nothing.
#include "output/replace.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

// How the new content reaches the output.
enum mode {
	direct,	  // a device or FIFO, written as it is
	inplace,  // a regular file, written over and cut to the new length
	instream, // the file of standard output or error, at its position
	replace,  // a new file beside the old one, renamed over it
	create,	  // a new file where there was none
};

static mode how;
static int outfd = -1;	// the output as opened; none for a new file
static int dirfd = -1;	// the folder that takes the new file
static int tmpfd = -1;	// the new file, until it takes the output's name
static int tofd = -1;	// where the new content is written, but for a
			// replacement, which writekicked writes
static bool made;	// outfd is a file the run made through a link
static struct stat old; // the output as opened
static char name[NAME_MAX + 1]; // the output's name in dirfd
static char tmpname[24];	// the new file's own name; empty if none
static uint64_t size;		// the new length, for a file written in place
static sigset_t held;		// the signals the run holds back
static bool stripped; // the writing takes away some of the identity given

static bool
same(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name under which the kernel reopens or links an open file.
static const char *
fdpath(int fd)
{
	static char p[32];
	(void)snprintf(p, sizeof p, "/proc/self/fd/%d", fd);
	return p;
}

// Opens the folder of path p, and keeps p's last part as the output's name.
static int
splitpath(const char *p)
{
	static char dir[PATH_MAX];
	const char *slash = strrchr(p, '/');
	const char *base = slash ? slash + 1 : p;
	size_t n = strlen(base);
	size_t k = !slash ? 1 : slash == p ? 1 : static_cast<size_t>(slash - p);
	if (n == 0)
		return EISDIR; // "out/" can only name a folder
	if (n > NAME_MAX || k >= sizeof dir)
		return ENAMETOOLONG;
	memcpy(name, base, n + 1);
	memcpy(dir, slash ? p : ".", k);
	dir[k] = '\0';
	if (dirfd >= 0)
		(void)close(dirfd);
	dirfd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
	return dirfd < 0 ? errno : 0;
}

// Opens path for writing as fopen(path, "wb") would, but keeping its bytes
// and making nothing yet: a new output is named only once whole. A
// dangling link is the exception: the kernel makes its target now, and a
// failed run removes it again. Another user's file is opened a second time
// as fopen opens it, with O_CREAT, so that the kernel's rule for such a
// file in a sticky folder applies (fs.protected_regular).
static int
openpath(const char *path)
{
	struct stat st;
	outfd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (outfd < 0 && errno == ENOENT && lstat(path, &st) == 0 &&
	    S_ISLNK(st.st_mode)) {
		outfd =
		    open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
		made = outfd >= 0;
	}
	if (outfd < 0)
		return errno == ENOENT ? splitpath(path) : errno;
	if (fstat(outfd, &old) != 0)
		return errno;
	if (!S_ISREG(old.st_mode) || old.st_uid == geteuid() || made)
		return 0;
	int fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
	if (fd < 0)
		return errno;
	(void)close(outfd);
	outfd = fd;
	return fstat(outfd, &old) != 0 ? errno : 0;
}

// The folder that holds the open output: from the path the kernel
// resolved, or from the path as given where /proc can't tell (a path too
// long for it). The name found there must still be the very file opened.
static bool
findfolder(const char *path)
{
	static char real[PATH_MAX];
	struct stat st;
	ssize_t n = readlink(fdpath(outfd), real, sizeof real);
	bool resolved = n > 0 && static_cast<size_t>(n) < sizeof real;
	if (resolved)
		real[n] = '\0';
	for (const char *p : {resolved ? real : path, path})
		if (splitpath(p) == 0 &&
		    fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    same(st, old))
			return true;
	return false;
}

// A folder whose names can be added to but not replaced or removed.
static bool
appendonly()
{
	int flags = 0;
	int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd >= 0) {
		(void)ioctl(fd, FS_IOC_GETFLAGS, &flags);
		(void)close(fd);
	}
	return (flags & FS_APPEND_FL) != 0;
}

// A short name of the new file's own, different from run to run.
static void
randomname()
{
	static uint32_t r;
	if (r == 0 && getrandom(&r, sizeof r, 0) != sizeof r)
		r = static_cast<uint32_t>(getpid());
	r = r * 1664525 + 1013904223; // another name for each try
	(void)snprintf(tmpname, sizeof tmpname, ".loadprep-%08x", r);
}

// Names the new file in the folder under a name of its own: by making it
// there, or by linking the unnamed one that was written.
static int
nametmp(bool link)
{
	for (int tries = 0; tries < 100; tries++) {
		randomname();
		int r =
		    link ? linkat(AT_FDCWD, fdpath(tmpfd), dirfd, tmpname,
				  AT_SYMLINK_FOLLOW)
			 : (tmpfd = openat(
				dirfd, tmpname,
				O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
		if (r >= 0)
			return 0;
		if (errno != EEXIST)
			break;
	}
	int err = errno;
	tmpname[0] = '\0';
	return err;
}

// The new file, made as the kernel makes any new file: mode 0666 less the
// umask, or as the folder's default ACL says. It is unnamed where the file
// system allows, so that nothing is left if the run dies, and named
// through /proc once whole.
static int
maketmp()
{
	tmpfd = openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
	if (tmpfd >= 0 && access(fdpath(tmpfd), F_OK) == 0)
		return 0;
	if (tmpfd >= 0)
		(void)close(tmpfd);
	else if (errno != EOPNOTSUPP && errno != EISDIR)
		return errno;
	return nametmp(false);
}

static void
droptmp()
{
	if (tmpname[0])
		(void)unlinkat(dirfd, tmpname, 0);
	tmpname[0] = '\0';
	if (tmpfd >= 0)
		(void)close(tmpfd);
	tmpfd = -1;
}

// The names of fd's extended attributes, ACLs among them; none where the
// file system keeps none. The size is asked first, as the kernel makes a
// buffer as large as the one it is offered.
static ssize_t
listattrs(int fd, char *list)
{
	ssize_t n = flistxattr(fd, nullptr, 0);
	if (n > 0)
		n = flistxattr(fd, list, static_cast<size_t>(n));
	return n < 0 && errno == ENOTSUP ? 0 : n;
}

static bool
listed(const char *list, ssize_t n, const char *a)
{
	for (const char *p = list; p < list + n; p += strlen(p) + 1)
		if (strcmp(p, a) == 0)
			return true;
	return false;
}

// The value of the output's attribute a, sized first as the list is.
static ssize_t
getattr(const char *a, char *value)
{
	ssize_t k = fgetxattr(outfd, a, nullptr, 0);
	return k > 0 ? fgetxattr(outfd, a, value, static_cast<size_t>(k)) : k;
}

// Gives the new file the old one's owner, group, mode, ACL and extended
// attributes: 0, or why it can't have all of them.
static int
copyidentity()
{
	static char list[XATTR_LIST_MAX], value[XATTR_SIZE_MAX];
	struct stat st;
	if (fchown(tmpfd, old.st_uid, old.st_gid) != 0)
		return errno;
	// What the folder gave the new file (a default ACL) and the old one
	// lacks goes first; value holds the new file's names meanwhile.
	ssize_t n = listattrs(outfd, list), m = listattrs(tmpfd, value);
	if (n < 0 || m < 0)
		return errno;
	for (const char *a = value; a < value + m; a += strlen(a) + 1)
		if (!listed(list, n, a) && fremovexattr(tmpfd, a) != 0)
			return errno;
	// Writing takes away set-ID bits and a file capability.
	stripped = (old.st_mode & (S_ISUID | S_ISGID)) ||
		   listed(list, n, "security.capability");
	for (const char *a = list; a < list + n; a += strlen(a) + 1) {
		ssize_t k = getattr(a, value);
		if (k < 0 ||
		    fsetxattr(tmpfd, a, value, static_cast<size_t>(k), 0) != 0)
			return errno;
	}
	if (fchmod(tmpfd, old.st_mode & 07777) != 0 || fstat(tmpfd, &st) != 0)
		return errno;
	// A set-group-ID bit the run may not give is dropped silently.
	return st.st_uid == old.st_uid && st.st_gid == old.st_gid &&
		       st.st_mode == old.st_mode
		   ? 0
		   : EPERM;
}

// A file that a new one can replace: its folder found, open to new files
// and to renames, and the new file given all the old one's identity.
static bool
replaceable(const char *path)
{
	if (findfolder(path) && !appendonly() && maketmp() == 0 &&
	    copyidentity() == 0)
		return true;
	droptmp();
	return false;
}

// Signals that end a run by default wait while a file changes. The faults
// stay deliverable, and signals the caller ignored or blocked are left as
// they were; so are SIGPIPE and SIGXFSZ, ignored so that a closed pipe or a
// size limit fails a write instead.
static void
holdsignals()
{
	static const int notheld[] = {
	    SIGSEGV, SIGBUS,   SIGFPE,	SIGILL,	 SIGTRAP, SIGSYS,
	    SIGABRT, SIGCHLD,  SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU,
	    SIGURG,  SIGWINCH, SIGPIPE, SIGXFSZ,
	};
	sigset_t before;
	(void)sigfillset(&held);
	for (int s : notheld)
		(void)sigdelset(&held, s);
	(void)sigprocmask(SIG_BLOCK, &held, &before);
	for (int s = 1; s < NSIG; s++)
		if (sigismember(&before, s) == 1)
			(void)sigdelset(&held, s);
}

// Takes back what the run made: its new file, and a file made through a
// dangling link.
static void
undo()
{
	struct stat st;
	droptmp();
	if (made && dirfd >= 0 &&
	    fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    same(st, old))
		(void)unlinkat(dirfd, name, 0);
	made = false;
}

// A signal held meanwhile ends the run here, before the output changes, as
// it would have a moment earlier. EINTR only if it did not end it.
static int
interrupted()
{
	sigset_t p;
	(void)sigpending(&p);
	for (int s = 1; s < NSIG; s++)
		if (sigismember(&held, s) == 1 && sigismember(&p, s) == 1) {
			undo();
			(void)sigprocmask(SIG_UNBLOCK, &held, nullptr);
			return EINTR;
		}
	return 0;
}

// Room for the new content from offset at, and leave to grow that far,
// before its first byte changes: a full disk or a size limit then leaves
// the file as it was. A file system that can't reserve is written all the
// same.
static int
reserve(int fd, off_t at)
{
	struct rlimit r;
	auto end = static_cast<uint64_t>(at) + size;
	if (getrlimit(RLIMIT_FSIZE, &r) == 0 && r.rlim_cur != RLIM_INFINITY &&
	    end > r.rlim_cur)
		return EFBIG;
	if (size > 0 &&
	    fallocate(fd, FALLOC_FL_KEEP_SIZE, at, static_cast<off_t>(size)) &&
	    (errno == ENOSPC || errno == EDQUOT || errno == EFBIG))
		return errno;
	return interrupted();
}

// Standard output or error, when it is open on the output file itself.
static int
streamof()
{
	struct stat st;
	for (int fd = 1; fd <= 2; fd++)
		if (fstat(fd, &st) == 0 && same(st, old))
			return fd;
	return -1;
}

// Where the new content goes when the output is, or is to be, a regular
// file.
static int
choose(const char *path, uint64_t (*newsize)())
{
	holdsignals();
	if (outfd < 0) {
		how = create;
		int err = maketmp();
		tofd = tmpfd;
		return err;
	}
	int fd = streamof();
	if (fd < 0 && replaceable(path)) {
		how = replace; // written through the stream that kicks
		return 0;
	}
	size = newsize();
	if (fd >= 0) {
		how = instream;
		tofd = fd;
		auto at = fcntl(fd, F_GETFL) & O_APPEND
			      ? old.st_size
			      : lseek(fd, 0, SEEK_CUR);
		return reserve(fd, at);
	}
	how = inplace;
	tofd = outfd;
	return reserve(outfd, 0);
}

// The new file takes the output's name; a signal held meanwhile ends the
// run before it does. What the writing took away is given again.
static int
commit()
{
	int err = how == replace && stripped ? copyidentity() : 0;
	if (err || (err = interrupted()))
		return err;
	if (!tmpname[0] && how == create &&
	    linkat(AT_FDCWD, fdpath(tmpfd), dirfd, name, AT_SYMLINK_FOLLOW) ==
		0)
		return 0;
	if (!tmpname[0] && (err = nametmp(true)))
		return err;
	if (renameat(dirfd, tmpname, dirfd, name) != 0)
		return errno;
	tmpname[0] = '\0'; // the output's name now
	return 0;
}

static void
release()
{
	for (int *fd : {&outfd, &dirfd, &tmpfd}) {
		if (*fd >= 0)
			(void)close(*fd);
		*fd = -1;
	}
	made = false;
}

// A file renamed over another is flushed to the disk before the rename
// returns, so that a power cut can't leave it empty. Handing each MiB over
// as soon as it is written lets most of that flush run beside the writing:
// a 4 MiB listing took 0.87 of the time here, the raw slice 0.93. A new
// file is not flushed at its rename, and is left alone.
constexpr size_t kick = 1 << 20;
static size_t unkicked; // bytes written since the last hand-over

// The write of the stream that takes a replacement: the number of bytes
// written, 0 with errno set if none could be.
static ssize_t
writekicked(void *, const char *p, size_t n)
{
	size_t done = 0;
	while (done < n) {
		size_t k =
		    n - done < kick - unkicked ? n - done : kick - unkicked;
		ssize_t w = write(tmpfd, p + done, k);
		if (w < 0)
			break;
		done += static_cast<size_t>(w);
		unkicked += static_cast<size_t>(w);
		if (unkicked == kick) {
			(void)sync_file_range(tmpfd, 0, 0,
					      SYNC_FILE_RANGE_WRITE);
			unkicked = 0;
		}
	}
	return static_cast<ssize_t>(done);
}

// The writers hand over large blocks: a stream buffer would only copy them.
static int
wrap(FILE **f)
{
	static const cookie_io_functions_t kicked = {nullptr, writekicked,
						     nullptr, nullptr};
	int fd = how == replace ? -1 : fcntl(tofd, F_DUPFD_CLOEXEC, 0);
	unkicked = 0;
	*f = how == replace ? fopencookie(nullptr, "wb", kicked)
	     : fd < 0	    ? nullptr
			    : fdopen(fd, "wb");
	if (!*f) {
		int err = errno;
		if (fd >= 0)
			(void)close(fd);
		return err;
	}
	(void)setvbuf(*f, nullptr, _IONBF, 0);
	return 0;
}

int
openoutput(const char *path, uint64_t (*newsize)(), FILE **f)
{
	how = direct;
	int err = openpath(path);
	tofd = outfd;
	if (!err && (outfd < 0 || S_ISREG(old.st_mode)))
		err = choose(path, newsize);
	if (!err)
		err = wrap(f);
	if (err) {
		undo();
		release();
	}
	return err;
}

int
closeoutput(FILE *f, int werr)
{
	int err = werr;
	if (fclose(f) != 0 && !err)
		err = errno;
	if (!err && how == inplace &&
	    ftruncate(outfd, static_cast<off_t>(size)) != 0)
		err = errno;
	if (!err && (how == replace || how == create))
		err = commit();
	if (err)
		undo();
	release();
	return err;
}
