// Counts the instructions a command runs in user mode, by stepping it one
// instruction at a time on this machine's own processor. A system call is
// one instruction; a repeated string instruction is one a repeat.
// Usage: loadprep_steps command [argument...]
#include <cstdio>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	if (argc < 2)
		return 2;
	pid_t pid = fork();
	if (pid == 0) {
		(void)ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
		execvp(argv[1], argv + 1);
		_exit(127);
	}
	int st;
	unsigned long long n = 0;
	// The first stop is at the exec; each later one is a step.
	while (waitpid(pid, &st, 0) == pid && WIFSTOPPED(st) &&
	       ptrace(PTRACE_SINGLESTEP, pid, nullptr, nullptr) == 0)
		n++;
	printf("%llu\n", n);
	return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : 1;
}
