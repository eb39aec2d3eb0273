// Replacing the output on Unix systems. The path is opened once, as any
// program opens a file for writing, and from then on the run works from
// descriptors. The way the new content goes is chosen once, from what the
// output is, and closeoutput follows it; each system's file gives the
// steps its own calls do better (see unix.h). doc/replacing.md tells why
// each way is taken.
#include "replace/replace.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "replace/unix.h"

output o;

// The words of the tool's own reasons, for reason().
static char why[PATH_MAX + 64];

bool
same(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

void
letgo(bool go)
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

int
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

int
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

int
claim()
{
	struct stat st;
	int err = openpath(o.path);
	if (err)
		return err == ENOENT ? EEXIST : err;
	return fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		       S_ISREG(st.st_mode) && same(st, o.old)
		   ? 0
		   : EEXIST;
}

int
linknamed()
{
	if (linkat(o.dir, o.tmpname, o.dir, o.name, 0) != 0)
		return errno;
	(void)unlinkat(o.dir, o.tmpname, 0);
	o.tmpname[0] = '\0';
	return 0;
}

// A new file under o.tmpname: made there with the given mode.
int
createtmp(mode_t mode)
{
	o.tmp = openat(o.dir, o.tmpname,
		       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
	return o.tmp;
}

int
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

// exFAT through FUSE fails a rename over a file held open under a name of
// another case, and then fails all: the old file is let go first.
int
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

bool
fits(int fd, uint64_t end, uint64_t have)
{
	struct statvfs v;
	if (fstatvfs(fd, &v) != 0 || v.f_blocks == 0) // no room to count
		return true;
	uint64_t grow =
	    end > have ? end - have + end / 256 + 4 * v.f_frsize : 0;
	auto room = (geteuid() == 0 ? v.f_bfree : v.f_bavail) * v.f_frsize;
	return grow <= room;
}

// A lock of all of the output, for writing, by the fcntl command cmd. An
// error other than another's lock (a file system that keeps no locks)
// takes nothing, and holds no turn up either.
static int
lockall(int cmd)
{
	struct flock all = {};
	all.l_type = F_WRLCK;
	return fcntl(o.fd, cmd, &all) == 0 ||
		       (errno != EACCES && errno != EAGAIN)
		   ? 0
		   : errno;
}

int
taketurn(int now, int wait)
{
	if (lockall(now) == 0)
		return 0;
	letgo();
	int err = EAGAIN;
	for (long waited = 0, ms = 1; err && waited < 1000;
	     waited += ms, ms = ms < 100 ? 2 * ms : ms) {
		struct timespec pause = {0, ms * 1000000};
		(void)nanosleep(&pause, nullptr);
		err = lockall(now);
	}
	if (err) {
		(void)fprintf(stderr,
			      "Waiting for '%s': another program has it "
			      "locked\n",
			      o.path);
		err = lockall(wait);
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
	auto end = static_cast<uint64_t>(o.at) + o.size;
	int err = capped(end);
	if (err || o.size == 0)
		return err;
	err = reserve();
	if (err == 0 || err == ENOSPC || err == EDQUOT || err == EFBIG)
		return err;
	return fits(o.to, end, static_cast<uint64_t>(o.old.st_blocks) * 512)
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

// The way the new content reaches the output, from what the output is;
// EMOVED where another run replaced the output meanwhile, before the run
// or while it waited its turn.
static int
choose()
{
	int s, err;
	if (o.fd < 0) {
		o.how = renamed;
		return makenew();
	}
	if (!S_ISREG(o.old.st_mode) || pseudofile()) {
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
		err = room();
		return err ? err : interrupted();
	}
	if (replaceable()) {
		o.how = renamed;
		return 0;
	}
	undo();
	o.how = inplace;
	o.to = o.fd;
	err = turn();
	if (!err && moved())
		err = EMOVED;
	if (!err)
		err = room();
	return err ? err : interrupted();
}

// An overwrite ends where its writing did, and the length the run counted
// ahead, for which it found room, must be the one it wrote.
static int
cut()
{
	if (o.how == inplace &&
	    ftruncate(o.to, static_cast<off_t>(o.written)) != 0)
		return errno;
	o.was = -1; // the length is the new content's now, to keep
	if (o.written == o.size)
		return 0;
	(void)snprintf(why, sizeof why,
		       "wrote %llx bytes where %llx were counted; the tool is "
		       "at fault",
		       static_cast<unsigned long long>(o.written),
		       static_cast<unsigned long long>(o.size));
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
			err = choose();
	}
	return err;
}

int
openoutput(const char *path, uint64_t size, FILE **f)
{
	hold();
	int err = opened(path, size);
	if (o.how == renamed)
		o.to = o.tmp;
	if (!err && !(*f = writer()))
		err = errno;
	if (!err) // the writers hand over large blocks, which a buffer copies
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
	if (endwriter(f) != 0 && !err)
		err = errno;
	if (!err && (o.how == inplace || o.how == stream))
		err = cut();
	// A rename takes no turn: one may have taken the name as the run wrote.
	if (!err && o.how == inplace && moved()) {
		(void)snprintf(why, sizeof why,
			       "another program replaced it as it was written "
			       "in place: the new content is in the file it "
			       "replaced");
		err = EMOVED;
	}
	if (fclose(f) != 0 && !err)
		err = errno;
	if (!err && o.how == renamed)
		err = commit();
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
