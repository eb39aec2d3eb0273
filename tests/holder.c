/* Holds NAME open to read and write, shared for writing (rw) or not (none),
 * until killed, and makes HELD then. Usage: holder NAME rw|none HELD */
#include <windows.h>

int
main(int argc, char *argv[])
{
	DWORD share = argc == 4 && argv[2][0] == 'r'
			  ? FILE_SHARE_READ | FILE_SHARE_WRITE
			  : 0;
	if (argc != 4 ||
	    CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, NULL,
			OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE)
		return 1;
	CloseHandle(
	    CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
	Sleep(INFINITE);
}
