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

#include "replace/unix.h"

const char *
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
pseudofile(int fd)
{
	static const unsigned long kinds[] = {
	    PROC_SUPER_MAGIC,	 SYSFS_MAGIC,	   DEBUGFS_MAGIC,
	    TRACEFS_MAGIC,	 SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC,
	    CGROUP2_SUPER_MAGIC, EFIVARFS_MAGIC,   BPF_FS_MAGIC,
	    PSTOREFS_MAGIC,	 BINFMTFS_MAGIC,   SELINUX_MAGIC,
	    0x62656570, // configfs
	    0x65735543, // fusectl
	};
	return kindof(fd, kinds);
}

// A folder that finds names whatever their case (FAT and exFAT cards, a
// casefolded folder) may hold the output as Game.LST when game.lst was
// typed. Only where the name with its case swapped finds a file too is the
// folder read to see which name it holds.
void
storedname(int dir, char *name)
{
	char swapped[NAME_MAX + 1];
	alignas(struct dirent64) char buf[4096];
	struct stat st;
	bool letters = false;
	for (size_t i = 0; i <= strlen(name); i++) {
		char c = name[i];
		bool up = c >= 'A' && c <= 'Z', low = c >= 'a' && c <= 'z';
		letters |= up || low;
		swapped[i] = static_cast<char>(up ? c + 32 : low ? c - 32 : c);
	}
	if (!letters || fstatat(dir, swapped, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return;
	int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	char held[NAME_MAX + 1] = {};
	bool typed = false;
	for (long n;
	     !typed && fd >= 0 && (n = getdents64(fd, buf, sizeof buf)) > 0;)
		for (long i = 0; i < n && !typed;) {
			auto *d = reinterpret_cast<struct dirent64 *>(buf + i);
			typed = strcmp(d->d_name, name) == 0;
			if (!typed && strcasecmp(d->d_name, name) == 0)
				strcpy(held, d->d_name);
			i += d->d_reclen;
		}
	if (fd >= 0)
		(void)close(fd);
	if (!typed && held[0])
		strcpy(name, held);
}

// An append-only folder, and a file mounted on its name, as containers
// mount single files.
bool
pinned(int dir, int fd)
{
	int flags = 0;
	struct statx sx;
	int d = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (d >= 0) {
		(void)ioctl(d, FS_IOC_GETFLAGS, &flags);
		(void)close(d);
	}
	return (flags & FS_APPEND_FL) ||
	       (statx(fd, "", AT_EMPTY_PATH, 0, &sx) == 0 &&
		(sx.stx_attributes & STATX_ATTR_MOUNT_ROOT));
}

// Named through /proc once whole: none where /proc can't name it.
int
unnamed(int dir, mode_t mode)
{
	int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
	if (fd >= 0 && access(fdpath(fd), F_OK) == 0)
		return fd;
	if (fd >= 0)
		(void)close(fd);
	if (fd >= 0 || errno == EISDIR)
		errno = EOPNOTSUPP;
	return -1;
}

// Runs take turns at a lock of the output's open file description, which
// no flock(1) meets: a caller's lock, shared or exclusive, is neither
// waited for nor changed, and two runs under it still take turns. Another
// program's fcntl lock holds a run up too.
int
lockcmd(bool wait)
{
	return wait ? F_OFD_SETLKW : F_OFD_SETLK;
}

// Room set aside from the offset where the new content starts, the file's
// length kept. btrfs writes an overwrite to new blocks and frees the old
// ones only after, and fallocate sets none aside for it: there the free
// space must hold all of the new content too.
int
reserve(int fd, off_t at, uint64_t size, off_t *)
{
	static const unsigned long copyonwrite[] = {BTRFS_SUPER_MAGIC};
	if (kindof(fd, copyonwrite) && !fits(fd, size, 0))
		return ENOSPC; // asked before the room set aside takes its part
	return fallocate(fd, FALLOC_FL_KEEP_SIZE, at,
			 static_cast<off_t>(size)) == 0
		   ? 0
		   : errno;
}

// A file renamed over another is flushed to the disk before the rename
// returns, so that a power cut can't leave it empty. Handing each MiB of a
// new file over as soon as it is written lets most of that flush run
// beside the writing: a 4 MiB listing took 0.86 of the time here.
constexpr size_t kick = 1 << 20;

// The write of the stream the writers write to: the number of bytes
// written, 0 with errno set if none could be.
static ssize_t
writeout(void *c, const char *p, size_t n)
{
	auto *s = static_cast<sink *>(c);
	size_t done = 0;
	while (done < n) {
		size_t left = kick - static_cast<size_t>(s->written % kick);
		ssize_t w =
		    write(s->fd, p + done, n - done < left ? n - done : left);
		if (w < 0)
			break;
		done += static_cast<size_t>(w);
		s->written += static_cast<uint64_t>(w);
		if (s->kick && s->written % kick == 0)
			(void)sync_file_range(s->fd, 0, 0,
					      SYNC_FILE_RANGE_WRITE);
	}
	return static_cast<ssize_t>(done);
}

FILE *
writer(sink *s)
{
	static const cookie_io_functions_t out = {nullptr, writeout, nullptr,
						  nullptr};
	return fopencookie(s, "wb", out);
}

int
endwriter(FILE *f, sink *)
{
	return fflush(f);
}
