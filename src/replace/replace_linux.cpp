// The Linux steps of replacing the output. The new file is unnamed until
// whole, and named through /proc; the output's folder is found from the
// open file itself, so a link swapped or a folder renamed during the run
// changes nothing; a replacement keeps all the old file's identity
// (identity_linux.cpp) and the case of its name; pseudo-files are written
// as they are; room is reserved, on btrfs too; and the new file is handed
// to the disk as it is written.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "replace/identity.h"
#include "replace/unix.h"

static bool proc; // /proc/self/fd has named an open file in this run

// The name under which the kernel reopens or links an open file.
static const char *
fdpath(int fd)
{
	static char p[32];
	(void)snprintf(p, sizeof p, "/proc/self/fd/%d", fd);
	return p;
}

// The file system of fd is one of kinds.
template <size_t n>
static bool
kindof(int fd, const unsigned long (&kinds)[n])
{
	struct statfs s;
	if (fstatfs(fd, &s) != 0)
		return false;
	for (unsigned long k : kinds)
		if (static_cast<unsigned long>(s.f_type) == k)
			return true;
	return false;
}

// procfs, sysfs and their kin keep no bytes: each write is an order to
// the kernel, taken as it comes.
bool
pseudofile()
{
	static const unsigned long kinds[] = {
	    PROC_SUPER_MAGIC,	 SYSFS_MAGIC,	   DEBUGFS_MAGIC,
	    TRACEFS_MAGIC,	 SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC,
	    CGROUP2_SUPER_MAGIC, EFIVARFS_MAGIC,   BPF_FS_MAGIC,
	    PSTOREFS_MAGIC,	 BINFMTFS_MAGIC,   SELINUX_MAGIC,
	    0x62656570, // configfs
	    0x65735543, // fusectl
	};
	return kindof(o.fd, kinds);
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
// resolved, or from the path as given where that can't be had or opened (a
// path too long for /proc, no /proc, a folder on the way the user may not
// search). The name found there must still be the very file opened, not a
// link to it.
static bool
findfolder()
{
	static char real[PATH_MAX];
	struct stat st;
	ssize_t n = readlink(fdpath(o.fd), real, sizeof real);
	bool resolved = n > 0 && static_cast<size_t>(n) < sizeof real;
	proc = n > 0;
	if (resolved)
		real[n] = '\0';
	if ((!resolved || splitpath(real) != 0) && splitpath(o.path) != 0)
		return false;
	if (fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
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

// The new file, unnamed where the file system allows, so that nothing is
// left if the run dies, and named through /proc once whole (looked for
// unless it has named the output already); else named from the start.
static int
maketmp(mode_t mode)
{
	o.tmp = openat(o.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
	if (o.tmp >= 0 && (proc || access(fdpath(o.tmp), F_OK) == 0))
		return 0;
	if (o.tmp >= 0)
		(void)close(o.tmp);
	else if (errno != EOPNOTSUPP && errno != EISDIR)
		return errno;
	o.tmp = -1;
	return nametmp(createtmp, mode);
}

// A new output gets mode as the kernel gives it to any new file: less the
// umask, or as the folder's default ACL says.
int
makenew()
{
	return maketmp(0666);
}

// A replacement is made 0600, shut to others until it has the old file's
// identity.
bool
replaceable()
{
	return findfolder() && !appendonly() && !mountroot() &&
	       maketmp(0600) == 0 &&
	       copyidentity(o.fd, o.old, o.tmp, &o.again) == 0;
}

// Runs take turns at a lock of the output's open file description, which
// no flock(1) meets: a caller's lock, shared or exclusive, is neither
// waited for nor changed, and two runs under it still take turns. Another
// program's fcntl lock holds a run up too.
int
turn()
{
	return taketurn(F_OFD_SETLK, F_OFD_SETLKW);
}

// Room set aside from the offset where the new content starts, the file's
// length kept. btrfs writes an overwrite to new blocks and frees the old
// ones only after, and fallocate sets none aside for it: there the free
// space must hold all of the new content too.
int
reserve()
{
	static const unsigned long copyonwrite[] = {BTRFS_SUPER_MAGIC};
	if (kindof(o.to, copyonwrite) && !fits(o.to, o.size, 0))
		return ENOSPC; // asked before the room set aside takes its part
	return fallocate(o.to, FALLOC_FL_KEEP_SIZE, o.at,
			 static_cast<off_t>(o.size)) == 0
		   ? 0
		   : errno;
}

// The unnamed new file under o.tmpname.
static int
linktmp(mode_t)
{
	return linkat(AT_FDCWD, fdpath(o.tmp), o.dir, o.tmpname,
		      AT_SYMLINK_FOLLOW);
}

// What the writing took away is given again, and a signal held meanwhile
// ends the run before the name changes. A new output is linked to its
// name, which fails where a file took it meanwhile: that file, once
// claimed, is replaced as any other. A replacement is named in its folder
// first, and renamed.
int
commit()
{
	int err = o.again ? copyidentity(o.fd, o.old, o.tmp, &o.again) : 0;
	if (err || (err = interrupted()))
		return err;
	if (o.fd < 0) {
		err = o.tmpname[0] ? linknamed()
		      : linkat(AT_FDCWD, fdpath(o.tmp), o.dir, o.name,
			       AT_SYMLINK_FOLLOW) == 0
			  ? 0
			  : errno;
		if (err == 0 || (err == EEXIST && (err = claim())))
			return err;
	}
	if (!o.tmpname[0] && (err = nametmp(linktmp, 0)))
		return err;
	return renametmp();
}

// A file renamed over another is flushed to the disk before the rename
// returns, so that a power cut can't leave it empty. Handing each MiB of a
// new file over as soon as it is written lets most of that flush run
// beside the writing: a 4 MiB listing took 0.86 of the time here.
constexpr size_t kick = 1 << 20;
static size_t unkicked; // bytes written since the last hand-over

// The write of the stream the writers write to: the number of bytes
// written, 0 with errno set if none could be.
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

FILE *
writer()
{
	static const cookie_io_functions_t out = {nullptr, writeout, nullptr,
						  nullptr};
	unkicked = 0;
	return fopencookie(nullptr, "wb", out);
}

int
endwriter(FILE *f)
{
	return fflush(f);
}
