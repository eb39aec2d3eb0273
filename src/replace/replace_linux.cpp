// Replacing the output on Linux. The path is opened once, as any program
// opens a file for writing, and from then on the run works from
// descriptors: the file's folder is found from the open file itself, so a
// link swapped or a folder renamed during the run changes nothing.
//
// There are two ways to write. A rename: the new content goes into a new
// file beside the output, which is given the old file's identity and takes
// its name once whole (a new output is the same without the identity). An
// overwrite: the new content goes over the file as opened, from where it
// stands, with room reserved first where it is a regular file. The first
// is taken wherever it keeps everything a user can see of the old file.
#include "replace/replace.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

// The output from its opening to its close.
struct output {
	int fd = -1;	       // the output as opened; none for a new one
	int dir = -1;	       // the folder that takes the new file
	int tmp = -1;	       // the new file: set for a rename
	int to = -1;	       // what an overwrite writes over
	bool cut = false;      // an overwrite cut to the new length at the end
	bool made = false;     // fd is a file the run made through a link
	bool stripped = false; // writing takes away part of the identity
	bool proc = false;     // /proc/self/fd has named an open file
	struct stat old = {};  // the output as opened
	uint64_t size = 0;     // the new content's length
	char name[NAME_MAX + 1] = {}; // the output's name in dir
	char tmpname[24] = {};	      // the new file's name there, if any
	sigset_t held = {};	      // the signals the run holds back
};
static output o;

// The attribute flags that chattr sets and lsattr shows.
constexpr int userflags =
    FS_FL_USER_MODIFIABLE | FS_NOCOW_FL | FS_JOURNAL_DATA_FL;

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

// Signals that would end the run wait while a file changes, so that one
// ends it only before the output changes or after. Those the caller
// blocked stay as they were, and so do those that stop or fault, and
// SIGPIPE and SIGXFSZ, ignored so that a write fails instead. One the
// caller ignored is held too, and still ignored when it is let go: asking
// each signal's action first would cost 64 system calls a run.
static void
hold()
{
	static const int kept[] = {
	    SIGSEGV, SIGBUS,   SIGFPE,	SIGILL,	 SIGTRAP, SIGSYS,
	    SIGABRT, SIGCHLD,  SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU,
	    SIGURG,  SIGWINCH, SIGPIPE, SIGXFSZ,
	};
	sigset_t before;
	(void)sigprocmask(SIG_BLOCK, nullptr, &before);
	(void)sigfillset(&o.held);
	for (int s = 1; s < NSIG; s++)
		if (sigismember(&before, s) == 1)
			(void)sigdelset(&o.held, s);
	for (int s : kept)
		(void)sigdelset(&o.held, s);
	(void)sigprocmask(SIG_BLOCK, &o.held, nullptr);
}

// Lets the held signals go for a wait that changes nothing, or takes them
// back after it.
static void
letgo(bool go = true)
{
	(void)sigprocmask(go ? SIG_UNBLOCK : SIG_BLOCK, &o.held, nullptr);
}

// Opens the folder of path p, and keeps p's last part as the output's name.
static int
splitpath(const char *p)
{
	static char dir[PATH_MAX];
	const char *slash = strrchr(p, '/');
	const char *base = slash ? slash + 1 : p;
	size_t n = strlen(base);
	size_t k = !slash || slash == p ? 1 : static_cast<size_t>(slash - p);
	if (n == 0)
		return *p ? EISDIR : ENOENT; // "out/" can only name a folder
	if (n > NAME_MAX || k >= sizeof dir)
		return ENAMETOOLONG;
	memcpy(o.name, base, n + 1);
	memcpy(dir, slash ? p : ".", k);
	dir[k] = '\0';
	if (o.dir >= 0)
		(void)close(o.dir);
	o.dir = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
	return o.dir < 0 ? errno : 0;
}

// Opens path for writing as fopen(path, "wb") would, but keeping its bytes
// and making nothing yet: a new output is named only once whole. A link
// to a missing file is the exception: the kernel makes its target now, and
// a failed run removes it again. A FIFO with no reader yet is waited for
// with the signals let go, so that an interrupt ends the wait. Another
// user's file is opened a second time as fopen opens it, with O_CREAT, so
// that the kernel's rule for such a file in a sticky folder applies
// (fs.protected_regular).
static int
openpath(const char *path)
{
	const int wr = O_WRONLY | O_NOCTTY | O_CLOEXEC;
	struct stat st;
	o.fd = open(path, wr | O_NONBLOCK);
	if (o.fd < 0 && errno == ENXIO) {
		letgo();
		o.fd = open(path, wr);
		letgo(false);
	}
	if (o.fd < 0 && errno == ENOENT) {
		if (lstat(path, &st) != 0)
			return errno == ENOENT ? splitpath(path) : errno;
		if (!S_ISLNK(st.st_mode))
			return ENOENT;
		o.fd = open(path, wr | O_CREAT, 0666);
		o.made = o.fd >= 0;
	}
	if (o.fd < 0 || fcntl(o.fd, F_SETFL, 0) != 0 ||
	    fstat(o.fd, &o.old) != 0)
		return errno;
	if (!S_ISREG(o.old.st_mode) || o.old.st_uid == geteuid() || o.made)
		return 0;
	int fd = open(path, wr | O_CREAT, 0666);
	if (fd < 0)
		return errno;
	(void)close(o.fd);
	o.fd = fd;
	return fstat(o.fd, &o.old) != 0 ? errno : 0;
}

// The folder that holds the open output: from the path the kernel
// resolved, or from the path as given where /proc can't tell (a path too
// long for it, or no /proc). The name found there must still be the very
// file opened, not a link to it.
static bool
findfolder(const char *path)
{
	static char real[PATH_MAX];
	struct stat st;
	ssize_t n = readlink(fdpath(o.fd), real, sizeof real);
	bool resolved = n > 0 && static_cast<size_t>(n) < sizeof real;
	o.proc = n > 0;
	if (resolved)
		real[n] = '\0';
	return splitpath(resolved ? real : path) == 0 &&
	       fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	       same(st, o.old);
}

static int
flagsof(int fd)
{
	int flags = 0;
	return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : 0;
}

// A folder whose names can be added to but not replaced or removed.
static bool
appendonly()
{
	int fd = openat(o.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	int flags = fd < 0 ? 0 : flagsof(fd);
	if (fd >= 0)
		(void)close(fd);
	return (flags & FS_APPEND_FL) != 0;
}

// A file mounted on its name, as containers mount single files, can't be
// renamed over.
static bool
mountroot()
{
	struct statx sx;
	return statx(o.fd, "", AT_EMPTY_PATH, 0, &sx) == 0 &&
	       (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Names the new file in the folder under a short name of its own, new
// for each try: by making it there with the given mode, or by linking the
// unnamed one once written.
static int
nametmp(bool link, mode_t mode)
{
	static uint32_t r;
	if (r == 0 && getrandom(&r, sizeof r, 0) != sizeof r)
		r = static_cast<uint32_t>(getpid());
	for (int tries = 0; tries < 100; tries++) {
		r = r * 1664525 + 1013904223;
		(void)snprintf(o.tmpname, sizeof o.tmpname, ".loadprep-%08x",
			       r);
		int r2 =
		    link ? linkat(AT_FDCWD, fdpath(o.tmp), o.dir, o.tmpname,
				  AT_SYMLINK_FOLLOW)
			 : (o.tmp = openat(
				o.dir, o.tmpname,
				O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
		if (r2 >= 0)
			return 0;
		if (errno != EEXIST)
			break;
	}
	int err = errno;
	o.tmpname[0] = '\0';
	return err;
}

// The new file, unnamed where the file system allows, so that nothing is
// left if the run dies, and named through /proc once whole (looked for
// unless it has named the output already). A new output
// gets mode as the kernel gives it to any new file (less the umask, or as
// the folder's default ACL says); a replacement is made 0600, shut to
// others until it has the old file's identity.
static int
maketmp(mode_t mode)
{
	o.tmp = openat(o.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
	if (o.tmp >= 0 && (o.proc || access(fdpath(o.tmp), F_OK) == 0))
		return 0;
	if (o.tmp >= 0)
		(void)close(o.tmp);
	else if (errno != EOPNOTSUPP && errno != EISDIR)
		return errno;
	return nametmp(false, mode);
}

static void
droptmp()
{
	if (o.tmpname[0])
		(void)unlinkat(o.dir, o.tmpname, 0);
	o.tmpname[0] = '\0';
	if (o.tmp >= 0)
		(void)close(o.tmp);
	o.tmp = -1;
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

// The old file's attribute flags on the new one, set while the run still
// owns it.
static int
copyflags()
{
	int want = flagsof(o.fd) & userflags, now = flagsof(o.tmp);
	if ((now & userflags) == want)
		return 0;
	now = (now & ~userflags) | want;
	return ioctl(o.tmp, FS_IOC_SETFLAGS, &now) == 0 &&
		       (flagsof(o.tmp) & userflags) == want
		   ? 0
		   : EPERM;
}

// Gives the new file the old one's flags, owner, group, mode, ACL and
// extended attributes: 0, or why it can't have all of them.
static int
copyidentity()
{
	static char list[XATTR_LIST_MAX], value[XATTR_SIZE_MAX];
	struct stat st;
	int err = copyflags();
	if (err || fchown(o.tmp, o.old.st_uid, o.old.st_gid) != 0)
		return err ? err : errno;
	// What the folder gave the new file (a default ACL) and the old one
	// lacks goes first; value holds the new file's names meanwhile.
	ssize_t n = listattrs(o.fd, list), m = listattrs(o.tmp, value);
	if (n < 0 || m < 0)
		return errno;
	for (const char *a = value; a < value + m; a += strlen(a) + 1)
		if (!listed(list, n, a) && fremovexattr(o.tmp, a) != 0)
			return errno;
	// Writing takes away set-ID bits and a file capability.
	o.stripped = (o.old.st_mode & (S_ISUID | S_ISGID)) ||
		     listed(list, n, "security.capability");
	for (const char *a = list; a < list + n; a += strlen(a) + 1) {
		ssize_t k = fgetxattr(o.fd, a, nullptr, 0); // sized as above
		if (k > 0)
			k = fgetxattr(o.fd, a, value, static_cast<size_t>(k));
		if (k < 0 ||
		    fsetxattr(o.tmp, a, value, static_cast<size_t>(k), 0) != 0)
			return errno;
	}
	if (fchmod(o.tmp, o.old.st_mode & 07777) != 0 || fstat(o.tmp, &st))
		return errno;
	// A file system may drop what it was given without a word.
	return st.st_uid == o.old.st_uid && st.st_gid == o.old.st_gid &&
		       st.st_mode == o.old.st_mode
		   ? 0
		   : EPERM;
}

// Takes back what the run made: its new file, and a file made through a
// link.
static void
undo()
{
	struct stat st;
	droptmp();
	if (o.made && o.dir >= 0 &&
	    fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    same(st, o.old))
		(void)unlinkat(o.dir, o.name, 0);
	o.made = false;
}

// A signal held meanwhile ends the run here, before the output changes, as
// it would have a moment earlier; one the caller ignored is let be. EINTR
// only if it did not end it.
static int
interrupted()
{
	sigset_t p;
	struct sigaction sa;
	(void)sigpending(&p);
	(void)sigandset(&p, &p, &o.held);
	for (int s = 1; s < NSIG && !sigisemptyset(&p); s++)
		if (sigismember(&p, s) == 1 &&
		    sigaction(s, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN)
			(void)sigdelset(&p, s);
	if (sigisemptyset(&p))
		return 0;
	undo();
	letgo();
	return EINTR;
}

// Runs that write one file in place take turns. One that waits for its
// turn can still be interrupted: it has changed nothing yet.
static int
lock(int fd)
{
	if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
		return 0;
	letgo();
	int err = flock(fd, LOCK_EX) == 0 ? 0 : errno;
	letgo(false);
	return err;
}

// Room for the new content from offset at, and leave to grow that far,
// before its first byte changes: a full disk or a size limit then leaves
// the file as it was. Where the file system can't reserve room, its free
// space must hold what the file grows by, and some for the blocks that map
// it.
static int
reserve(int fd, off_t at)
{
	struct rlimit r;
	struct statvfs v;
	struct stat st;
	auto end = static_cast<uint64_t>(at) + o.size;
	if (getrlimit(RLIMIT_FSIZE, &r) == 0 && r.rlim_cur != RLIM_INFINITY &&
	    end > r.rlim_cur)
		return EFBIG;
	if (o.size == 0 || fallocate(fd, FALLOC_FL_KEEP_SIZE, at,
				     static_cast<off_t>(o.size)) == 0)
		return 0;
	if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
		return errno;
	if (fstat(fd, &st) != 0 || fstatvfs(fd, &v) != 0)
		return 0;
	auto have = static_cast<uint64_t>(st.st_blocks) * 512;
	uint64_t grow =
	    end > have ? end - have + end / 256 + 4 * v.f_frsize : 0;
	auto room = (geteuid() == 0 ? v.f_bfree : v.f_bavail) * v.f_frsize;
	return grow > room ? ENOSPC : 0;
}

// The new content over the file as opened, from offset at: for what a new
// file can't replace.
static int
overwrite(int fd, off_t at, bool cut)
{
	o.to = fd;
	o.cut = cut;
	int err = cut ? lock(fd) : 0;
	if (!err)
		err = reserve(fd, at);
	return err ? err : interrupted();
}

// Standard output or error, when it is open on the output file itself.
static int
streamof()
{
	struct stat st;
	for (int fd = 1; fd <= 2; fd++)
		if (fstat(fd, &st) == 0 && same(st, o.old))
			return fd;
	return -1;
}

// The way the new content reaches the output, from what the output is.
static int
choose(const char *path)
{
	if (o.fd < 0)
		return maketmp(0666);
	if (!S_ISREG(o.old.st_mode)) { // a device or FIFO, as it is
		letgo();
		o.to = o.fd;
		return 0;
	}
	int s = streamof();
	if (s >= 0) // after what the stream holds, as the caller meant
		return overwrite(s,
				 fcntl(s, F_GETFL) & O_APPEND
				     ? o.old.st_size
				     : lseek(s, 0, SEEK_CUR),
				 false);
	if (findfolder(path) && !appendonly() && !mountroot() &&
	    maketmp(0600) == 0 && copyidentity() == 0)
		return 0;
	droptmp();
	return overwrite(o.fd, 0, true);
}

// The new file takes the output's name; a signal held meanwhile ends the
// run before it does. What the writing took away is given again.
static int
commit()
{
	int err = o.stripped ? copyidentity() : 0;
	if (err || (err = interrupted()))
		return err;
	if (!o.tmpname[0] && o.fd < 0 &&
	    linkat(AT_FDCWD, fdpath(o.tmp), o.dir, o.name, AT_SYMLINK_FOLLOW) ==
		0)
		return 0;
	if (!o.tmpname[0] && (err = nametmp(true, 0)))
		return err;
	if (renameat(o.dir, o.tmpname, o.dir, o.name) != 0)
		return errno;
	o.tmpname[0] = '\0'; // the output's name now
	return 0;
}

// Closes what the run opened. The signals stay held until the run ends.
static void
release()
{
	for (int fd : {o.fd, o.dir, o.tmp})
		if (fd >= 0)
			(void)close(fd);
	sigset_t held = o.held;
	o = output{};
	o.held = held;
}

// A file renamed over another is flushed to the disk before the rename
// returns, so that a power cut can't leave it empty. Handing each MiB of a
// new file over as soon as it is written lets most of that flush run
// beside the writing: a 4 MiB listing took 0.86 of the time here.
constexpr size_t kick = 1 << 20;
static size_t unkicked; // bytes written since the last hand-over

// The write of the stream the writers write to: the number of bytes
// written, 0 with errno set if none could be. The writers hand over large
// blocks, which a stream buffer would only copy.
static ssize_t
writeout(void *, const char *p, size_t n)
{
	size_t done = 0;
	while (done < n) {
		size_t k =
		    n - done < kick - unkicked ? n - done : kick - unkicked;
		ssize_t w = write(o.to, p + done, k);
		if (w < 0)
			break;
		done += static_cast<size_t>(w);
		unkicked += static_cast<size_t>(w);
		if (unkicked == kick && o.to == o.tmp)
			(void)sync_file_range(o.tmp, 0, 0,
					      SYNC_FILE_RANGE_WRITE);
		unkicked %= kick;
	}
	return static_cast<ssize_t>(done);
}

int
openoutput(const char *path, uint64_t size, FILE **f)
{
	o.size = size;
	hold();
	int err = openpath(path);
	if (!err)
		err = choose(path);
	if (o.tmp >= 0)
		o.to = o.tmp;
	static const cookie_io_functions_t out = {nullptr, writeout, nullptr,
						  nullptr};
	unkicked = 0;
	if (!err && !(*f = fopencookie(nullptr, "wb", out)))
		err = errno;
	if (!err)
		(void)setvbuf(*f, nullptr, _IONBF, 0);
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
	if (!err && o.cut && ftruncate(o.to, static_cast<off_t>(o.size)) != 0)
		err = errno;
	if (!err && o.tmp >= 0)
		err = commit();
	if (err)
		undo();
	release();
	return err;
}

const char *
reason(int err)
{
	return strerror(err);
}
