// The identity of a file, copied onto its replacement. Everything a user
// can see of the old file goes onto the new one, or the new one is not
// used: a replacement that came out different would be a silent change.
#include "replace/unix.h"

#include <cerrno>
#include <cstring>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

// The attribute flags that chattr sets and lsattr shows.
constexpr int userflags = FS_FL_USER_MODIFIABLE | FS_NOCOW_FL |
			  FS_JOURNAL_DATA_FL | FS_NOCOMP_FL | FS_DAX_FL |
			  FS_PROJINHERIT_FL;

static int
flagsof(int fd)
{
	int flags = 0;
	return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : 0;
}

// The flags and the project go on while the new file is empty and still
// the run's: some flags take only an empty file, and a project only its
// owner or root may set. A file system may drop what it was given without
// a word, so each is read back.
static int
copyflags(int from, int to)
{
	int want = flagsof(from) & userflags, now = flagsof(to);
	if ((now & userflags) != want) {
		now = (now & ~userflags) | want;
		if (ioctl(to, FS_IOC_SETFLAGS, &now) != 0 ||
		    (flagsof(to) & userflags) != want)
			return EPERM;
	}
	struct fsxattr a = {}, b = {};
	if (ioctl(from, FS_IOC_FSGETXATTR, &a) != 0 || a.fsx_projid == 0)
		return 0;
	if (ioctl(to, FS_IOC_FSGETXATTR, &b) != 0)
		return EPERM;
	b.fsx_projid = a.fsx_projid;
	if (ioctl(to, FS_IOC_FSSETXATTR, &b) != 0 ||
	    ioctl(to, FS_IOC_FSGETXATTR, &b) != 0)
		return EPERM;
	return b.fsx_projid == a.fsx_projid ? 0 : EPERM;
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

// What the folder gave the new file (a default ACL) and the old one lacks
// goes first, then every attribute of the old file is copied.
static int
copyattrs(int from, int to, bool *capable)
{
	static char list[XATTR_LIST_MAX], value[XATTR_SIZE_MAX];
	ssize_t n = listattrs(from, list), m = listattrs(to, value);
	if (n < 0 || m < 0)
		return errno;
	for (const char *a = value; a < value + m; a += strlen(a) + 1)
		if (!listed(list, n, a) && fremovexattr(to, a) != 0)
			return errno;
	*capable = listed(list, n, "security.capability");
	for (const char *a = list; a < list + n; a += strlen(a) + 1) {
		ssize_t k = fgetxattr(from, a, nullptr, 0); // sized as above
		if (k > 0)
			k = fgetxattr(from, a, value, static_cast<size_t>(k));
		if (k < 0 ||
		    fsetxattr(to, a, value, static_cast<size_t>(k), 0) != 0)
			return errno;
	}
	return 0;
}

int
copyidentity(int from, const struct stat &old, int to, bool *again)
{
	struct stat st;
	bool capable = false;
	int err = copyflags(from, to);
	if (err || fchown(to, old.st_uid, old.st_gid) != 0)
		return err ? err : errno;
	if ((err = copyattrs(from, to, &capable)))
		return err;
	// Writing takes away set-ID bits and a file capability.
	*again = (old.st_mode & (S_ISUID | S_ISGID)) || capable;
	if (fchmod(to, old.st_mode & 07777) != 0 || fstat(to, &st) != 0)
		return errno;
	return st.st_uid == old.st_uid && st.st_gid == old.st_gid &&
		       st.st_mode == old.st_mode
		   ? 0
		   : EPERM;
}
