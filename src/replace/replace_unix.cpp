// Replacing the output on Unix systems. The path is opened once, as any
// program opens a file for writing, and from then on the run works from
// descriptors. The way the new content goes is chosen once, from what the
// output is, and closeoutput follows it. This file alone holds the run's
// state; each system's file gives steps that take what they need (see
// unix.h). doc/replacing.md tells why each way is taken.
#include "replace/replace.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "replace/unix.h"

// The ways the new content reaches the output.
enum way {
	asitis,	 // a device, FIFO or pseudo-file: written as it is
	stream,	 // the file of standard output or error: after what it holds
	create,	 // a new output: a new file, named once whole
	replace, // a new file, which takes the output's name once whole
	inplace, // written over, with room reserved and turns taken
};

// The output from its opening to its close.
static struct output {
	way how = asitis;
	const char *path = nullptr; // as the caller gave it
	int fd = -1;		    // the output as opened; none for a new one
	int dir = -1;		    // the folder that takes the new file
	int tmp = -1;		    // the new file
	sink s;			    // where the writes go
	off_t was = -1;		    // the length to give back, if grown
	bool again = false;	    // writing takes away part of the identity
	struct stat old = {};	    // the output as opened
	uint64_t size = 0;	    // the new content's length, as counted
	char name[NAME_MAX + 1] = {}; // the output's name in dir
	char tmpname[24] = {};	      // the new file's name there, if any
	sigset_t held = {};	      // the signals the run holds back
} o;

// The words of the tool's own reasons, for reason().
static char why[PATH_MAX + 64];

static bool
same(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the output's folder holds the file of status st under name
// itself, not a link to it.
static bool
holds(const char *name, const struct stat &st)
{
	struct stat at;
	return fstatat(o.dir, name, &at, AT_SYMLINK_NOFOLLOW) == 0 &&
	       same(at, st);
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
	for (int s = 1; s < 128; s++)
		if (sigismember(&before, s) == 1)
			(void)sigdelset(&o.held, s);
	for (int s : kept)
		(void)sigdelset(&o.held, s);
	(void)sigprocmask(SIG_BLOCK, &o.held, nullptr);
}

// Lets the held signals go for a wait that changes nothing, or (go false)
// takes them back after it.
static void
letgo(bool go = true)
{
	(void)sigprocmask(go ? SIG_UNBLOCK : SIG_BLOCK, &o.held, nullptr);
}

// Takes back what the run made before its end: its new file, and room it
// added to a file to be written in place.
static void
undo()
{
	if (o.tmpname[0])
		(void)unlinkat(o.dir, o.tmpname, 0);
	o.tmpname[0] = '\0';
	if (o.tmp >= 0)
		(void)close(o.tmp);
	o.tmp = -1;
	if (o.was >= 0)
		(void)!ftruncate(o.fd, o.was); // nothing more to do if not
	o.was = -1;
}

// A held signal waiting that would end the run ends it here, before the
// output changes, as it would have a moment earlier, once what the run
// made is taken back; one the caller ignored does not count. Returns EINTR
// only if the signal did not end the run, else 0.
static int
interrupted()
{
	sigset_t p;
	struct sigaction sa;
	(void)sigpending(&p);
	for (int s = 1; s < 128; s++)
		if (sigismember(&p, s) == 1 && sigismember(&o.held, s) == 1 &&
		    sigaction(s, nullptr, &sa) == 0 &&
		    sa.sa_handler != SIG_IGN) {
			undo();
			letgo();
			return EINTR;
		}
	return 0;
}

// Opens path for writing as fopen(path, "wb") would, but keeping its bytes
// and making nothing: a new output is named only once whole. The open
// waits, with the signals let go, for a FIFO's reader or a lease's break:
// it changes nothing, so a signal may end it. Another user's file, FIFO or
// device is opened a second time as fopen opens it, with O_CREAT, so that
// the kernel's rules for such a file in a sticky folder apply (Linux's
// fs.protected_regular and fs.protected_fifos). ENOENT where path names
// no file.
static int
openpath(const char *path, int flags = 0)
{
	const int wr = O_WRONLY | O_NOCTTY | O_CLOEXEC | flags;
	letgo();
	o.fd = open(path, wr, 0666);
	letgo(false);
	if (o.fd < 0 || fstat(o.fd, &o.old) != 0)
		return errno;
	if (flags || o.old.st_uid == geteuid())
		return 0;
	int fd = open(path, wr | O_CREAT, 0666);
	if (fd < 0)
		return errno;
	(void)close(o.fd);
	o.fd = fd;
	return fstat(o.fd, &o.old) != 0 ? errno : 0;
}

// A folder is opened to work in, not to read: one that others may write
// to but not list still takes the output.
#if defined(O_PATH)
constexpr int search = O_PATH;
#elif defined(O_SEARCH)
constexpr int search = O_SEARCH;
#else
constexpr int search = O_RDONLY;
#endif

// Opens the folder of path p into o.dir and copies p's last part to
// o.name. Returns 0 or an errno value.
static int
splitpath(const char *p)
{
	static char folder[PATH_MAX];
	const char *slash = strrchr(p, '/');
	const char *base = slash ? slash + 1 : p;
	size_t n = strlen(base);
	size_t k = !slash || slash == p ? 1 : static_cast<size_t>(slash - p);
	if (n == 0)
		return *p ? EISDIR : ENOENT; // "out/" can only name a folder
	if (n > NAME_MAX || k >= sizeof folder)
		return ENAMETOOLONG;
	memcpy(o.name, base, n + 1);
	memcpy(folder, slash ? p : ".", k);
	folder[k] = '\0';
	if (o.dir >= 0)
		(void)close(o.dir);
	o.dir = open(folder, search | O_DIRECTORY | O_CLOEXEC);
	if (o.dir < 0 && errno == ENOENT)
		(void)snprintf(why, sizeof why,
			       "the folder '%s' does not exist", folder);
	return o.dir >= 0 ? 0 : errno == ENOENT ? ENOFOLDER : errno;
}

// Where path names no file: its folder and the name the new file takes
// there once whole. A link to a missing file is the kernel's to follow, as
// any program's open would: an open with O_CREAT makes the file it leads
// to, with every protection the kernel applies, dated to the epoch at once
// so that a build makes it again should the run end before replacing it;
// from then on it is an output like any other.
static int
absent(const char *path)
{
	static const struct timespec epoch[2] = {};
	struct stat st;
	int err = splitpath(path);
	if (err || fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return err;
	if ((err = openpath(path, O_CREAT)) == 0 && S_ISLNK(st.st_mode) &&
	    S_ISREG(o.old.st_mode) && o.old.st_size == 0)
		(void)futimens(o.fd, epoch);
	return err;
}

// The name that another file took while the run made a new output:
// another run's new output, to be replaced as the shell would, or a link,
// which the kernel follows with its protections. Opens it as the output,
// and returns 0 where the name holds that very file, else EEXIST or the
// open's errno value.
static int
claim()
{
	int err = openpath(o.path);
	if (err)
		return err == ENOENT ? EEXIST : err;
	return S_ISREG(o.old.st_mode) && holds(o.name, o.old) ? 0 : EEXIST;
}

// A lock of all of fd of the given type, by the fcntl command cmd: 0 or
// the errno value.
static int
lock(int fd, short type, int cmd)
{
	struct flock all = {};
	all.l_type = type;
	return fcntl(fd, cmd, &all) == 0 ? 0 : errno;
}

// Each run holds a lock of its named new file while it lives. The files
// of runs that ended before naming theirs, which no run holds, go before a
// run names its own; the sweep's lock keeps a run from taking one of them
// for its own meanwhile, and one is removed only where its name still
// holds the file locked. True where the folder kept one of the run's own
// (append-only): each new file would stay there too.
static bool
sweep()
{
	bool kept = false;
	int fd = openat(o.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
	if (!d && fd >= 0)
		(void)close(fd);
	for (struct dirent *e; d && (e = readdir(d));) {
		if (strncmp(e->d_name, ".loadprep-", 10) != 0 ||
		    strlen(e->d_name) != 18)
			continue;
		struct stat st;
		int t = openat(o.dir, e->d_name,
			       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
		if (t >= 0 && fstat(t, &st) == 0 && S_ISREG(st.st_mode) &&
		    lock(t, F_RDLCK, lockcmd(false)) == 0 &&
		    holds(e->d_name, st) &&
		    unlinkat(o.dir, e->d_name, 0) != 0 && errno == EPERM)
			kept |= st.st_uid == geteuid();
		if (t >= 0)
			(void)close(t);
	}
	if (d)
		(void)closedir(d);
	return kept;
}

// The new file, made under o.tmpname and held: where a sweep holds it
// first, or took it away, the name counts as taken.
static int
createtmp(mode_t mode)
{
	struct stat st;
	o.tmp = openat(o.dir, o.tmpname, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
		       mode);
	if (o.tmp < 0)
		return -1;
	int err = lock(o.tmp, F_WRLCK, lockcmd(false));
	if (err != EAGAIN && err != EACCES && fstat(o.tmp, &st) == 0 &&
	    holds(o.tmpname, st))
		return 0;
	(void)close(o.tmp);
	o.tmp = -1;
	errno = EEXIST;
	return -1;
}

// The unnamed new file under o.tmpname.
static int
linktmp(mode_t)
{
	return linkat(AT_FDCWD, fdpath(o.tmp), o.dir, o.tmpname,
		      AT_SYMLINK_FOLLOW);
}

// Names the new file in o.dir under a short name of the run's own,
// o.tmpname, new for each try: make(mode) makes it under that name, or
// fails with EEXIST where the name is taken. Returns 0 or an errno value.
static int
nametmp(int (*make)(mode_t mode), mode_t mode)
{
	static uint32_t r;
	if (r == 0) {
		struct timespec t;
		(void)clock_gettime(CLOCK_REALTIME, &t);
		r = static_cast<uint32_t>(t.tv_nsec) ^
		    static_cast<uint32_t>(getpid()) << 16;
	}
	for (int tries = 0; tries < 100; tries++) {
		r = r * 1664525 + 1013904223;
		(void)snprintf(o.tmpname, sizeof o.tmpname, ".loadprep-%08x",
			       r);
		if (make(mode) >= 0)
			return 0;
		if (errno != EEXIST)
			break;
	}
	o.tmpname[0] = '\0';
	return errno;
}

// The new file in o.dir, made with mode: unnamed where the system makes
// such a file, so that nothing is left if the run dies, and held before
// it is named; else named from the start, once the leftovers of runs that
// died are swept away.
static int
maketmp(mode_t mode)
{
	if ((o.tmp = unnamed(o.dir, mode)) < 0 && errno != EOPNOTSUPP)
		return errno;
	if (o.tmp < 0) {
		// A folder that keeps what the sweep asked it to let go
		// would keep the new file's name too: the output is then
		// written in place.
		if (sweep() && o.how == replace)
			return EPERM;
		return nametmp(createtmp, mode);
	}
	(void)lock(o.tmp, F_WRLCK, lockcmd(false));
	return 0;
}

// A new output's file, with mode as any new file gets it: less the umask,
// or as the folder's default ACL says.
static int
makenew()
{
	o.how = create;
	return maketmp(0666);
}

// The new file o.tmpname takes the output's name, the old one let go
// first: exFAT through FUSE fails a rename over a file held open under a
// name of another case, and then fails all. Returns 0 or an errno value.
static int
renametmp()
{
	if (o.fd >= 0)
		(void)close(o.fd);
	o.fd = -1;
	if (renameat(o.dir, o.tmpname, o.dir, o.name) != 0)
		return errno;
	o.tmpname[0] = '\0'; // the output's name now
	return 0;
}

// The new file takes a new output's name where it is still free, and lets
// go of its own. Returns 0, EEXIST where a file took the name meanwhile,
// or another errno value (a folder that takes no second link).
static int
linknew()
{
	if (!o.tmpname[0])
		return linkat(AT_FDCWD, fdpath(o.tmp), o.dir, o.name,
			      AT_SYMLINK_FOLLOW) == 0
			   ? 0
			   : errno;
	if (linkat(o.dir, o.tmpname, o.dir, o.name, 0) != 0)
		return errno;
	(void)unlinkat(o.dir, o.tmpname, 0);
	o.tmpname[0] = '\0';
	return 0;
}

// EFBIG if a file end bytes long passes the size limit, else 0.
static int
capped(uint64_t end)
{
	struct rlimit r;
	return getrlimit(RLIMIT_FSIZE, &r) == 0 &&
		       r.rlim_cur != RLIM_INFINITY && end > r.rlim_cur
		   ? EFBIG
		   : 0;
}

// A file system that counts no blocks at all (ramfs) has room as far as
// anyone can tell: the writes are tried, and their own failures reported.
bool
fits(int fd, uint64_t end, uint64_t have)
{
	struct statvfs v;
	if (fstatvfs(fd, &v) != 0 || v.f_blocks == 0)
		return true;
	uint64_t grow =
	    end > have ? end - have + end / 256 + 4 * v.f_frsize : 0;
	auto room = (geteuid() == 0 ? v.f_bfree : v.f_bavail) * v.f_frsize;
	return grow <= room;
}

// The run's turn to write the output in place: a lock of all of it, at
// once, or after a second of tries, or then waiting, after saying so on
// standard error. The held signals are let go meanwhile: the run has
// changed nothing yet. A file system that keeps no locks holds no turn
// up. Returns 0 or an errno value.
static int
turn()
{
	int err = lock(o.fd, F_WRLCK, lockcmd(false));
	if (err != EAGAIN && err != EACCES)
		return 0;
	letgo();
	for (long waited = 0, ms = 1; err && waited < 1000;
	     waited += ms, ms = ms < 100 ? 2 * ms : ms) {
		struct timespec pause = {0, ms * 1000000};
		(void)nanosleep(&pause, nullptr);
		err = lock(o.fd, F_WRLCK, lockcmd(false));
	}
	if (err) {
		(void)fprintf(stderr,
			      "Waiting for '%s': another program has it "
			      "locked\n",
			      o.path);
		err = lock(o.fd, F_WRLCK, lockcmd(true));
	}
	letgo(false);
	return err;
}

// Room for the new content before its first byte changes, so that a full
// disk or a size limit leaves the file as it was. Where the system sets
// none aside, the free space must hold what the file needs.
static int
room()
{
	auto end = static_cast<uint64_t>(o.s.at) + o.size;
	int err = capped(end);
	if (err || o.size == 0)
		return err;
	err = reserve(o.s.fd, o.s.at, o.size,
		      o.how == inplace ? &o.was : nullptr);
	if (err == 0 || err == ENOSPC || err == EDQUOT || err == EFBIG)
		return err;
	return fits(o.s.fd, end, static_cast<uint64_t>(o.old.st_blocks) * 512)
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

// Another run replaced the output since it was opened: the name it was
// found under holds another file now, or none (Linux names a file renamed
// over "out (deleted)"), and the one opened is no longer the output. A
// link there leads to it as before.
static bool
moved()
{
	struct stat st;
	if (o.dir < 0)
		return false;
	if (fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT;
	return S_ISREG(st.st_mode) && !same(st, o.old);
}

// The folder that holds the open output: from the path the kernel
// resolved, where it tells it, or from the path as given where that can't
// be had or opened (a path too long, no /proc, a folder on the way the
// user may not search). The name found there must still be the very file
// opened, not a link to it.
static bool
folderof()
{
	static char real[PATH_MAX];
	const char *p = fdpath(o.fd);
	ssize_t n = p ? readlink(p, real, sizeof real) : -1;
	bool resolved = n > 0 && static_cast<size_t>(n) < sizeof real;
	if (resolved)
		real[n] = '\0';
	if ((!resolved || splitpath(real) != 0) && splitpath(o.path) != 0)
		return false;
	if (!holds(o.name, o.old))
		return false;
	storedname(o.dir, o.name);
	return true;
}

// The way that writes over the open output: the run's turn, then room for
// the new content; EMOVED where another run replaced it meanwhile.
static int
goinplace()
{
	o.how = inplace;
	o.s = {o.fd, 0, false, 0};
	int err = turn();
	if (!err && moved())
		err = EMOVED;
	return err ? err : room();
}

// The way the new content reaches an output that exists, from what it is;
// EMOVED where another run replaced the output meanwhile, before the run
// or while it waited its turn. A replacement is made 0600, shut to others
// until it has the old file's identity.
static int
choose()
{
	if (!S_ISREG(o.old.st_mode) || pseudofile(o.fd)) {
		o.how = asitis;
		o.s.fd = o.fd;
		letgo();
		return 0;
	}
	if ((o.s.fd = streamof()) >= 0) { // after what it holds, as meant
		o.how = stream;
		o.s.at = fcntl(o.s.fd, F_GETFL) & O_APPEND
			     ? o.old.st_size
			     : lseek(o.s.fd, 0, SEEK_CUR);
		int err = room();
		return err ? err : interrupted();
	}
	o.how = replace;
	if (folderof() && !pinned(o.dir, o.fd) && maketmp(0600) == 0 &&
	    copyidentity(o.fd, o.old, o.tmp, &o.again) == 0)
		return 0;
	undo();
	int err = goinplace();
	return err ? err : interrupted();
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

// The output opened and its way chosen: chosen again, a few times, where
// another run replaces it meanwhile.
static int
opened(const char *path, uint64_t size)
{
	int err = EMOVED;
	(void)snprintf(why, sizeof why,
		       "other programs replaced it again and again meanwhile");
	for (int tries = 0; err == EMOVED && tries < 8; tries++) {
		undo();
		release();
		o.path = path;
		o.size = size;
		err = openpath(path);
		if (err == ENOENT)
			err = absent(path);
		if (!err)
			err = o.fd < 0 ? makenew() : choose();
	}
	return err;
}

int
openoutput(const char *path, uint64_t size, FILE **f)
{
	hold();
	int err = opened(path, size);
	if (o.how == create || o.how == replace)
		o.s = {o.tmp, 0, true, 0};
	if (!err && !(*f = writer(&o.s)))
		err = errno;
	if (!err) // the writers hand over large blocks, which a buffer copies
		(void)setvbuf(*f, nullptr, _IONBF, 0);
	if (err) {
		undo();
		release();
	}
	return err;
}

// The length the run counted ahead, for which it found room, must be the
// one it wrote.
static int
counted()
{
	if (o.s.written == o.size)
		return 0;
	(void)snprintf(why, sizeof why,
		       "wrote %llx bytes where %llx were counted; the tool is "
		       "at fault",
		       static_cast<unsigned long long>(o.s.written),
		       static_cast<unsigned long long>(o.size));
	return ECOUNT;
}

// An overwrite ends where its writing did, and keeps that length; the name
// must still hold the file written: a rename takes no turn, and one may
// have taken the name as the run wrote.
static int
cut()
{
	if (ftruncate(o.fd, static_cast<off_t>(o.s.written)) != 0)
		return errno;
	o.was = -1;
	int err = counted();
	if (err || !moved())
		return err;
	(void)snprintf(why, sizeof why,
		       "another program replaced it as it was written in "
		       "place: the new content is in the file it replaced");
	return EMOVED;
}

// A file mounted on its name takes no rename over it (EBUSY), and a folder
// that lets no name go takes none either (EPERM), neither of which POSIX
// tells ahead: the whole new file is then copied over the output in place,
// in the run's turn and with room set aside, as any output written in
// place. The output is opened again from its folder, following no link and
// waiting for no FIFO, and written only if it is still the file first
// opened. The new file goes after, or, where the folder keeps it, its
// bytes do.
static int
overwrite(int err)
{
	static char chunk[1 << 16];
	struct stat st;
	o.fd =
	    openat(o.dir, o.name,
		   O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (o.fd < 0 || fstat(o.fd, &st) != 0 || !same(st, o.old))
		return err;
	if ((err = goinplace()))
		return err;
	for (ssize_t n = 1; !err && n > 0;) {
		auto at = static_cast<off_t>(o.s.written);
		errno = EIO; // a short write says nothing
		n = pread(o.tmp, chunk, sizeof chunk, at);
		if (n < 0 ||
		    pwrite(o.fd, chunk, static_cast<size_t>(n), at) != n)
			err = errno;
		else
			o.s.written += static_cast<uint64_t>(n);
	}
	if (err || (err = cut()))
		return err;
	if (unlinkat(o.dir, o.tmpname, 0) != 0)
		(void)!ftruncate(o.tmp, 0);
	o.tmpname[0] = '\0';
	return 0;
}

// The whole new file takes the output's name, once what writing took away
// is given again, and a signal held meanwhile ends the run first. A new
// output is linked to its name, which fails where a file took it
// meanwhile: that file, once claimed, is replaced as any other, and so is
// a name in a folder that takes no second link. A replacement is named in
// its folder first, and renamed.
static int
commit()
{
	int err = o.again ? copyidentity(o.fd, o.old, o.tmp, &o.again) : 0;
	if (err || (err = interrupted()))
		return err;
	if (o.how == create &&
	    ((err = linknew()) == 0 || (err == EEXIST && (err = claim()))))
		return err;
	if (!o.tmpname[0] && (err = nametmp(linktmp, 0)))
		return err;
	err = renametmp();
	return err == EBUSY || err == EPERM ? overwrite(err) : err;
}

// The new content put in place by the way chosen, before the writer's
// stream closes: the portable unit's locks go with it.
static int
finish()
{
	switch (o.how) {
	case asitis:
		return 0;
	case stream:
		return counted();
	case inplace:
		return cut();
	case create:
	case replace:
		return commit();
	}
	return 0;
}

int
closeoutput(FILE *f, int werr)
{
	int err = werr;
	if (endwriter(f, &o.s) != 0 && !err)
		err = errno;
	if (!err)
		err = finish();
	if (fclose(f) != 0 && !err)
		err = errno;
	if (err)
		undo();
	release();
	return err;
}

const char *
reason(int err)
{
	return err == ECOUNT || err == ENOFOLDER || err == EMOVED
		   ? why
		   : strerror(err);
}
