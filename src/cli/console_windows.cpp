// The console on Windows. The program's manifest makes its arguments and
// the paths it opens UTF-8, so a console is set to show the report in
// UTF-8 for the run and gets its own code page back at the end.
#include <windows.h>

#include "cli/cli.h"

static UINT before; // the console's code page, if the run changed it

// Ctrl-C, Ctrl-Break or a closed console end the run as always, but give
// the console its code page back first.
static BOOL WINAPI
ending(DWORD)
{
	closeconsole();
	return FALSE;
}

bool
openconsole()
{
	DWORD mode;
	if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
	    GetConsoleOutputCP() != CP_UTF8) {
		before = GetConsoleOutputCP();
		(void)SetConsoleCtrlHandler(ending, TRUE);
		(void)SetConsoleOutputCP(CP_UTF8);
	}
	return true;
}

void
closeconsole()
{
	if (before)
		(void)SetConsoleOutputCP(before);
}
