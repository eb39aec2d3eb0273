// Replacing the output on Linux. The path is opened once, as any program
// opens a file for writing, and from then on the run works from
// descriptors: the file's folder is found from the open file itself, so a
// link swapped or a folder renamed during the run changes nothing. The way
// the new content goes is chosen once, from what the output is, and
// closeoutput follows it. doc/replacing.md tells why each way is taken.
#include "replace/replace.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "replace/identity.h"

// The ways the new content reaches the output.
enum way {
	asitis,	 // a device, FIFO or pseudo-file: written as it is
	stream,	 // the file of standard output or error: after what it holds
	renamed, // a new file, which takes the output's name once whole
	inplace, // written over, with room reserved and turns taken
};

// The output from its opening to its close.
struct output {
	way how = asitis;
	const char *path = nullptr; // as the caller gave it
	int fd = -1;		    // the output as opened; none for a new one
	int dir = -1;		    // the folder that takes the new file
	int tmp = -1;		    // the new file, renamed
	int to = -1;		    // where the writes go
	off_t at = 0;		    // where they start
	bool again = false;	    // writing takes away part of the identity
	bool proc = false;	    // /proc/self/fd has named an open file
	struct stat old = {};	    // the output as opened
	uint64_t size = 0;	    // the new content's length, as counted
	uint64_t written = 0;	    // and as written
	char name[NAME_MAX + 1] = {}; // the output's name in dir
	char tmpname[24] = {};	      // the new file's name there, if any
	sigset_t held = {};	      // the signals the run holds back
};
static output o;

// A written length other than the counted one, in reason()'s words.
static char miscount[80];

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

// A name with no file behind it: the new output goes where the name, or
// the end of its chain of links, leads. The open that found nothing has
// followed the links with the kernel's protections; their targets are
// read here only to name the new file, which nothing takes before it is
// whole.
static int
newname(const char *path)
{
	static char p[PATH_MAX], t[PATH_MAX];
	struct stat st;
	if (strlen(path) >= sizeof p)
		return ENAMETOOLONG;
	strcpy(p, path);
	for (int links = 0; lstat(p, &st) == 0; links++) {
		if (!S_ISLNK(st.st_mode))
			return EEXIST; // made meanwhile: not the run's to take
		ssize_t n = readlink(p, t, sizeof t);
		if (n < 0 || links == 40)
			return n < 0 ? errno : ELOOP;
		const char *slash = t[0] == '/' ? nullptr : strrchr(p, '/');
		auto keep = slash ? static_cast<size_t>(slash - p) + 1 : 0;
		if (keep + static_cast<size_t>(n) >= sizeof p)
			return ENAMETOOLONG;
		memcpy(p + keep, t, static_cast<size_t>(n));
		p[keep + static_cast<size_t>(n)] = '\0';
	}
	return errno == ENOENT ? splitpath(p) : errno;
}

// Opens path for writing as fopen(path, "wb") would, but keeping its bytes
// and making nothing: a new output is named only once whole. The open
// waits, with the signals let go, for a FIFO's reader or a lease's break:
// it changes nothing, so a signal may end it. Another user's file is
// opened a second time as fopen opens it, with O_CREAT, so that the
// kernel's rule for such a file in a sticky folder applies
// (fs.protected_regular).
static int
openpath(const char *path)
{
	const int wr = O_WRONLY | O_NOCTTY | O_CLOEXEC;
	letgo();
	o.fd = open(path, wr);
	letgo(false);
	if (o.fd < 0)
		return errno == ENOENT ? newname(path) : errno;
	if (fstat(o.fd, &o.old) != 0)
		return errno;
	if (!S_ISREG(o.old.st_mode) || o.old.st_uid == geteuid())
		return 0;
	int fd = open(path, wr | O_CREAT, 0666);
	if (fd < 0)
		return errno;
	(void)close(o.fd);
	o.fd = fd;
	return fstat(o.fd, &o.old) != 0 ? errno : 0;
}

// procfs, sysfs and their kin keep no bytes: each write is an order to
// the kernel, taken as it comes.
static bool
pseudo(int fd)
{
	static const unsigned long kinds[] = {
	    PROC_SUPER_MAGIC,	 SYSFS_MAGIC,	   DEBUGFS_MAGIC,
	    TRACEFS_MAGIC,	 SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC,
	    CGROUP2_SUPER_MAGIC, EFIVARFS_MAGIC,   BPF_FS_MAGIC,
	    PSTOREFS_MAGIC,	 0x62656570, // configfs
	};
	struct statfs s;
	if (fstatfs(fd, &s) != 0)
		return false;
	for (unsigned long k : kinds)
		if (static_cast<unsigned long>(s.f_type) == k)
			return true;
	return false;
}

// The name under which the folder holds the output. A folder that finds
// names whatever their case (FAT and exFAT cards, a casefolded folder)
// may hold it as Game.LST when game.lst was typed: the replacement keeps
// the case held. Only where the name with its case swapped finds a file
// too is the folder read to see which name it holds.
static void
storedname()
{
	char swapped[NAME_MAX + 1];
	alignas(struct dirent64) char buf[4096];
	struct stat st;
	bool letters = false;
	for (size_t i = 0; i <= strlen(o.name); i++) {
		char c = o.name[i];
		bool up = c >= 'A' && c <= 'Z', low = c >= 'a' && c <= 'z';
		letters |= up || low;
		swapped[i] = static_cast<char>(up ? c + 32 : low ? c - 32 : c);
	}
	if (!letters || fstatat(o.dir, swapped, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return;
	int fd = openat(o.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	char held[NAME_MAX + 1] = {};
	bool typed = false;
	for (long n;
	     !typed && fd >= 0 && (n = getdents64(fd, buf, sizeof buf)) > 0;)
		for (long i = 0; i < n && !typed;) {
			auto *d = reinterpret_cast<struct dirent64 *>(buf + i);
			typed = strcmp(d->d_name, o.name) == 0;
			if (!typed && strcasecmp(d->d_name, o.name) == 0)
				strcpy(held, d->d_name);
			i += d->d_reclen;
		}
	if (fd >= 0)
		(void)close(fd);
	if (!typed && held[0])
		strcpy(o.name, held);
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
	if (splitpath(resolved ? real : path) != 0 ||
	    fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
	    !same(st, o.old))
		return false;
	storedname();
	return true;
}

// A folder whose names can be added to but not replaced or removed.
static bool
appendonly()
{
	int flags = 0;
	int fd = openat(o.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd >= 0) {
		(void)ioctl(fd, FS_IOC_GETFLAGS, &flags);
		(void)close(fd);
	}
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

// Whether a new file can take the output's name: the name is found in its
// folder, which takes new names, and nothing is mounted on it.
static bool
takesnew(const char *path)
{
	return findfolder(path) && !appendonly() && !mountroot();
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
// unless it has named the output already). A new output gets mode as the
// kernel gives it to any new file (less the umask, or as the folder's
// default ACL says); a replacement is made 0600, shut to others until it
// has the old file's identity.
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

// Takes back the new file, the one thing the run makes before its end.
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
	droptmp();
	letgo();
	return EINTR;
}

// Whether the lock on the output is the caller's: held through a
// descriptor of the output that the run was handed, as flock(1) hands its
// own to the command it runs. Taking it again through that descriptor
// succeeds only then.
static bool
callers()
{
	struct rlimit r = {};
	struct stat st;
	(void)getrlimit(RLIMIT_NOFILE, &r);
	for (int fd = 0; fd < 65536 && static_cast<rlim_t>(fd) < r.rlim_cur;
	     fd++)
		if (fd != o.fd && fd != o.dir && fstat(fd, &st) == 0 &&
		    same(st, o.old) && flock(fd, LOCK_EX | LOCK_NB) == 0)
			return true;
	return false;
}

// Runs that write one file in place take turns, as does a caller that
// holds the file locked for the run. One that waits for its turn says so
// after a second, and can still be interrupted: it has changed nothing.
static int
turn()
{
	if (flock(o.fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK ||
	    callers())
		return 0;
	letgo();
	for (long waited = 0, ms = 1; waited < 1000;
	     waited += ms, ms = ms < 100 ? 2 * ms : ms) {
		struct timespec pause = {0, ms * 1000000};
		(void)nanosleep(&pause, nullptr);
		if (flock(o.fd, LOCK_EX | LOCK_NB) == 0) {
			letgo(false);
			return 0;
		}
	}
	fprintf(stderr, "Waiting for '%s': another program has it locked\n",
		o.path);
	int err = flock(o.fd, LOCK_EX) == 0 ? 0 : errno;
	letgo(false);
	return err;
}

// A copy-on-write file system writes an overwrite to new blocks and frees
// the old ones only after, so room held by the file now is no room for
// its new content.
static bool
copyonwrite(int fd)
{
	struct statfs s;
	return fstatfs(fd, &s) == 0 &&
	       static_cast<unsigned long>(s.f_type) == BTRFS_SUPER_MAGIC;
}

// Whether the file system's free space holds the grow bytes the file needs
// beyond what it has, and some for the blocks that map them.
static bool
fits(int fd, uint64_t end, uint64_t have)
{
	struct statvfs v;
	if (fstatvfs(fd, &v) != 0)
		return true;
	uint64_t grow =
	    end > have ? end - have + end / 256 + 4 * v.f_frsize : 0;
	auto room = (geteuid() == 0 ? v.f_bfree : v.f_bavail) * v.f_frsize;
	return grow <= room;
}

// Room for the new content from the offset where it starts, and leave to
// grow that far, before its first byte changes: a full disk or a size
// limit then leaves the file as it was. Where the file system can't
// reserve room, or reserves none for a copy-on-write overwrite, its free
// space must hold what the file needs.
static int
reserve()
{
	struct rlimit r;
	struct stat st;
	auto end = static_cast<uint64_t>(o.at) + o.size;
	if (getrlimit(RLIMIT_FSIZE, &r) == 0 && r.rlim_cur != RLIM_INFINITY &&
	    end > r.rlim_cur)
		return EFBIG;
	if (o.size == 0)
		return 0;
	if (fallocate(o.to, FALLOC_FL_KEEP_SIZE, o.at,
		      static_cast<off_t>(o.size)) == 0)
		return !copyonwrite(o.to) || fits(o.to, o.size, 0) ? 0 : ENOSPC;
	if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
		return errno;
	if (fstat(o.to, &st) != 0)
		return 0;
	return fits(o.to, end, static_cast<uint64_t>(st.st_blocks) * 512)
		   ? 0
		   : ENOSPC;
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
choose()
{
	int s;
	if (o.fd < 0) {
		o.how = renamed;
		return maketmp(0666);
	}
	if (!S_ISREG(o.old.st_mode) || pseudo(o.fd)) {
		o.how = asitis;
		o.to = o.fd;
		letgo();
		return 0;
	}
	if ((s = streamof()) >= 0) { // after what it holds, as the caller meant
		o.how = stream;
		o.to = s;
		o.at = fcntl(s, F_GETFL) & O_APPEND ? o.old.st_size
						    : lseek(s, 0, SEEK_CUR);
		int err = reserve();
		return err ? err : interrupted();
	}
	if (takesnew(o.path) && maketmp(0600) == 0 &&
	    copyidentity(o.fd, o.old, o.tmp, &o.again) == 0) {
		o.how = renamed;
		return 0;
	}
	droptmp();
	o.how = inplace;
	o.to = o.fd;
	int err = turn();
	if (!err)
		err = reserve();
	return err ? err : interrupted();
}

// The new file takes the output's name; a signal held meanwhile ends the
// run before it does. What the writing took away is given again.
static int
commit()
{
	int err = o.again ? copyidentity(o.fd, o.old, o.tmp, &o.again) : 0;
	if (err || (err = interrupted()))
		return err;
	if (!o.tmpname[0] && o.fd < 0 &&
	    linkat(AT_FDCWD, fdpath(o.tmp), o.dir, o.name, AT_SYMLINK_FOLLOW) ==
		0)
		return 0;
	if (!o.tmpname[0] && (err = nametmp(true, 0)))
		return err;
	// The old file is let go first: exFAT through FUSE fails a rename over
	// a file held open under a name of another case, and then fails all.
	if (o.fd >= 0)
		(void)close(o.fd);
	o.fd = -1;
	if (renameat(o.dir, o.tmpname, o.dir, o.name) != 0)
		return errno;
	o.tmpname[0] = '\0'; // the output's name now
	return 0;
}

// An overwrite ends where its writing did, and the length the run counted
// ahead, for which it found room, must be the one it wrote.
static int
cut()
{
	if (o.how == inplace &&
	    ftruncate(o.to, static_cast<off_t>(o.written)) != 0)
		return errno;
	if (o.written == o.size)
		return 0;
	(void)snprintf(miscount, sizeof miscount,
		       "wrote %" PRIx64 " bytes where %" PRIx64
		       " were counted; the tool is at fault",
		       o.written, o.size);
	return ECOUNT;
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
		if (unkicked == kick && o.how == renamed)
			(void)sync_file_range(o.tmp, 0, 0,
					      SYNC_FILE_RANGE_WRITE);
		unkicked %= kick;
	}
	o.written += done;
	return static_cast<ssize_t>(done);
}

int
openoutput(const char *path, uint64_t size, FILE **f)
{
	o.path = path;
	o.size = size;
	hold();
	int err = openpath(path);
	if (!err)
		err = choose();
	if (o.how == renamed)
		o.to = o.tmp;
	static const cookie_io_functions_t out = {nullptr, writeout, nullptr,
						  nullptr};
	unkicked = 0;
	if (!err && !(*f = fopencookie(nullptr, "wb", out)))
		err = errno;
	if (!err)
		(void)setvbuf(*f, nullptr, _IONBF, 0);
	if (err) {
		droptmp();
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
	if (!err && (o.how == inplace || o.how == stream))
		err = cut();
	if (!err && o.how == renamed)
		err = commit();
	if (err)
		droptmp();
	release();
	return err;
}

const char *
reason(int err)
{
	return err == ECOUNT ? miscount : strerror(err);
}
