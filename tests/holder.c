/* Holds a file open for reading and writing, as an editor or a viewer
 * does, sharing it for writing ("rw") or not at all ("none"), until killed.
 * Says so by making the file NAME.held. Usage: holder NAME rw|none */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int
main(int argc, char *argv[])
{
	char ready[MAX_PATH];
	DWORD share = strcmp(argv[argc - 1], "rw") == 0
			  ? FILE_SHARE_READ | FILE_SHARE_WRITE
			  : 0;
	HANDLE h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share,
			       NULL, OPEN_EXISTING, 0, NULL);
	if (argc != 3 || h == INVALID_HANDLE_VALUE)
		return 1;
	snprintf(ready, sizeof ready, "%s.held", argv[1]);
	CloseHandle(CreateFileA(ready, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0,
				NULL));
	Sleep(INFINITE);
	return 0;
}
