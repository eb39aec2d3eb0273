// The steps of replacing the output on Unix systems other than Linux, with
// POSIX.1-2008 calls alone. A regular file is renamed over where the run
// can give a new file beside it the old one's owner, group and mode and
// its folder takes new files; any other is written in place, with room
// asked first where the system reserves it. What a system keeps beyond
// owner, group and mode (ACLs, extended attributes, flags) is not seen
// here: a renamed output has none of it. The new file has a name from the
// start, and a run killed before it ends may leave it.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "replace/unix.h"

bool
pseudofile()
{
	return false;
}

int
makenew()
{
	return nametmp(createtmp, 0666);
}

// The new file has the old one's owner, group and mode, and sits in the
// folder that holds the old one: the output's path must name the very file
// opened there, not a link to it. It is made 0600, shut to others until
// then.
bool
replaceable()
{
	struct stat st;
	return splitpath(o.path) == 0 &&
	       fstatat(o.dir, o.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	       same(st, o.old) && nametmp(createtmp, 0600) == 0 &&
	       fchown(o.tmp, o.old.st_uid, o.old.st_gid) == 0 &&
	       fchmod(o.tmp, o.old.st_mode & 07777) == 0 &&
	       fstat(o.tmp, &st) == 0 && st.st_uid == o.old.st_uid &&
	       st.st_gid == o.old.st_gid && st.st_mode == o.old.st_mode;
}

// Runs take turns at an fcntl lock, which the process holds until the
// last of its descriptors of the file closes: the writer's is closed only
// after the cut.
int
turn()
{
	return taketurn(F_SETLK, F_SETLKW);
}

// posix_fallocate makes the file longer, so it is asked only for a file
// written over from its start, not for a stream that appends; the file is
// cut back if the run ends before writing. Nothing in POSIX tells whether
// the file system writes an overwrite to new blocks and frees the old ones
// only after (btrfs, ZFS), and there it sets nothing aside for one: the
// free space must hold all of the new content too.
int
reserve()
{
	if (!fits(o.to, o.size, 0))
		return ENOSPC; // asked before posix_fallocate takes its part
	int err = 0;
#if _POSIX_ADVISORY_INFO > 0
	if (o.how == inplace)
		err = posix_fallocate(o.to, 0, static_cast<off_t>(o.size));
	if (err == 0 && o.how == inplace &&
	    o.size > static_cast<uint64_t>(o.old.st_size))
		o.was = o.old.st_size;
#endif
	return err == ENOSPC || err == EDQUOT || err == EFBIG ? err : 0;
}

// Writing takes away set-ID bits, which are given again; a signal held
// meanwhile ends the run before the name changes. A new output is linked
// to its name, which fails where a file took it meanwhile: that file, once
// claimed, is replaced as any other, and so is a name in a folder that
// takes no second link.
int
commit()
{
	int err = o.fd >= 0 && (o.old.st_mode & (S_ISUID | S_ISGID)) &&
			  fchmod(o.tmp, o.old.st_mode & 07777) != 0
		      ? errno
		      : 0;
	if (err || (err = interrupted()))
		return err;
	if (o.fd < 0 &&
	    ((err = linknamed()) == 0 || (err == EEXIST && (err = claim()))))
		return err;
	return renametmp();
}

// A stream of its own on the output, closed apart from it.
FILE *
writer()
{
	int fd = dup(o.to);
	FILE *f = fd < 0 ? nullptr : fdopen(fd, "wb");
	if (!f && fd >= 0)
		(void)close(fd);
	return f;
}

int
endwriter(FILE *f)
{
	int err = fflush(f);
	off_t end = ftello(f);
	o.written = end > o.at ? static_cast<uint64_t>(end - o.at) : 0;
	return err;
}
