/* Holds file NAME open to read and write, as an editor does, sharing it for
 * writing ("rw") or not at all ("none"), until killed; makes NAME.held once
 * it does. Usage: holder NAME rw|none */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int
main(int argc, char *argv[])
{
	char held[MAX_PATH];
	DWORD share = strcmp(argv[argc - 1], "rw")
			  ? 0
			  : FILE_SHARE_READ | FILE_SHARE_WRITE;
	if (argc != 3 ||
	    CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, NULL,
			OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE)
		return 1;
	snprintf(held, sizeof held, "%s.held", argv[1]);
	CloseHandle(
	    CreateFileA(held, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
	Sleep(INFINITE);
}
