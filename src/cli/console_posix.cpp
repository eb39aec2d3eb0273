// The standard streams on Unix systems.
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "cli/cli.h"

// A size limit or a closed pipe makes a write fail, to be reported like a
// full disk, not a silent death. A closed standard output or error would
// hand its number to the next file opened and the report would land in the
// output: /dev/null takes its place. Standard input is left as it is, so
// that /dev/stdin on a closed one fails to load.
bool
openconsole()
{
	(void)signal(SIGPIPE, SIG_IGN);
	(void)signal(SIGXFSZ, SIG_IGN);
	bool out = fcntl(1, F_GETFD) != -1;
	for (int fd = 1; fd <= 2; fd++) {
		if (fcntl(fd, F_GETFD) != -1)
			continue;
		int null = open("/dev/null", O_WRONLY);
		if (null >= 0 && null != fd) {
			(void)dup2(null, fd);
			(void)close(null);
		}
	}
	return out;
}

void
closeconsole()
{
}
