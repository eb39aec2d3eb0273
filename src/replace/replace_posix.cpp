// The steps of replacing the output on Unix systems other than Linux, with
// POSIX.1-2008 calls alone. A regular file is renamed over where the run
// can give a new file beside it the old one's owner, group and mode and
// its folder takes new files; any other is written in place, with room
// asked first where the system reserves it. What a system keeps beyond
// owner, group and mode (ACLs, extended attributes, flags) is not seen
// here: a renamed output has none of it. The new file has a name from the
// start; one a killed run leaves is swept away by a later run.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "replace/unix.h"

// POSIX tells none of these: no pseudo-file, no name for an open file, no
// other case of a name, no folder flags or mounts.
bool
pseudofile(int)
{
	return false;
}

const char *
fdpath(int)
{
	return nullptr;
}

void
storedname(int, char *)
{
}

bool
pinned(int, int)
{
	return false;
}

int
unnamed(int, mode_t)
{
	errno = EOPNOTSUPP;
	return -1;
}

// The new file has the old one's owner, group and mode, read back; the
// set-ID bits, which writing takes away, are given again once written.
int
copyidentity(int, const struct stat &old, int to, bool *again)
{
	struct stat st;
	*again = (old.st_mode & (S_ISUID | S_ISGID)) != 0;
	if (fchown(to, old.st_uid, old.st_gid) != 0 ||
	    fchmod(to, old.st_mode & 07777) != 0 || fstat(to, &st) != 0)
		return errno;
	return st.st_uid == old.st_uid && st.st_gid == old.st_gid &&
		       st.st_mode == old.st_mode
		   ? 0
		   : EPERM;
}

// A process's fcntl lock goes with the last of its descriptors of the
// file: the writer's is closed only once the new content is in place.
int
lockcmd(bool wait)
{
	return wait ? F_SETLKW : F_SETLK;
}

// posix_fallocate makes the file longer, so it is asked only for a file
// written over from its start, not for a stream that appends; the file is
// cut back if the run ends before writing. Nothing in POSIX tells whether
// the file system writes an overwrite to new blocks and frees the old ones
// only after (btrfs, ZFS), and there it sets nothing aside for one: the
// free space must hold all of the new content too.
int
reserve(int fd, off_t, uint64_t size, off_t *grown)
{
	struct stat st;
	if (!fits(fd, size, 0))
		return ENOSPC; // asked before posix_fallocate takes its part
	int err = 0;
#if _POSIX_ADVISORY_INFO > 0
	if (grown && fstat(fd, &st) == 0 &&
	    (err = posix_fallocate(fd, 0, static_cast<off_t>(size))) == 0 &&
	    size > static_cast<uint64_t>(st.st_size))
		*grown = st.st_size;
#endif
	return err == ENOSPC || err == EDQUOT || err == EFBIG ? err : 0;
}

// A stream of its own on the output, closed apart from it.
FILE *
writer(sink *s)
{
	int fd = dup(s->fd);
	FILE *f = fd < 0 ? nullptr : fdopen(fd, "wb");
	if (!f && fd >= 0)
		(void)close(fd);
	return f;
}

// A new file is on the disk before it is named: its writer closes only
// after, and a write error that a close would report comes here instead.
int
endwriter(FILE *f, sink *s)
{
	int err = fflush(f);
	off_t end = ftello(f);
	s->written = end > s->at ? static_cast<uint64_t>(end - s->at) : 0;
	return err ? err : s->kick ? fsync(fileno(f)) : 0;
}
