/* Holds NAME open to read and write, shared for writing (rw), shared and
 * locked whole as a run writing it locks it (lock), or not shared (none),
 * until killed, and makes HELD then. Usage: holder NAME rw|lock|none HELD */
#include <windows.h>

int
main(int argc, char *argv[])
{
	OVERLAPPED all = {0};
	DWORD share = argc == 4 && argv[2][0] != 'n'
			  ? FILE_SHARE_READ | FILE_SHARE_WRITE
			  : 0;
	HANDLE h = argc != 4
		       ? INVALID_HANDLE_VALUE
		       : CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE,
				     share, NULL, OPEN_EXISTING, 0, NULL);
	if (h == INVALID_HANDLE_VALUE ||
	    (argv[2][0] == 'l' && !LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0,
					      MAXDWORD, MAXDWORD, &all)))
		return 1;
	CloseHandle(
	    CreateFileA(argv[3], GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
	Sleep(INFINITE);
}
