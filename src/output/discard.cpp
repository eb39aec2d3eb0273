#include "output/output.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

// Looked at without following links, so that only a file the tool wrote
// itself goes: never a link, a folder or a device named as the output.
static bool
isregular(const char *path)
{
#ifdef _WIN32
	DWORD a = GetFileAttributesA(path);
	return a != INVALID_FILE_ATTRIBUTES &&
	       !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
		      FILE_ATTRIBUTE_DEVICE));
#else
	struct stat st;
	return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

void
discard(const char *path)
{
	if (isregular(path))
		(void)remove(path); // "Can't Save" follows either way
}
