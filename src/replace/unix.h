// The Unix replacing unit, for its own files alone. replace_unix.cpp
// chooses the way the new content goes and follows it, in POSIX calls;
// each system's file gives the steps its own calls do better:
// replace_linux.cpp on Linux, replace_posix.cpp (POSIX alone) elsewhere.
#pragma once

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

// The ways the new content reaches the output.
enum way {
	asitis,	 // a device, FIFO or pseudo-file: written as it is
	stream,	 // the file of standard output or error: after what it holds
	renamed, // a new file, which takes the output's name once whole
	inplace, // written over, with room reserved and turns taken
};

// The output from its opening to its close.
struct output {
	way how = asitis;
	const char *path = nullptr; // as the caller gave it
	int fd = -1;		    // the output as opened; none for a new one
	int dir = -1;		    // the folder that takes the new file
	int tmp = -1;		    // the new file, renamed
	int to = -1;		    // where the writes go
	off_t at = 0;		    // where they start
	off_t was = -1;		    // its length before room was made, if grown
	bool again = false;	    // writing takes away part of the identity
	struct stat old = {};	    // the output as opened
	uint64_t size = 0;	    // the new content's length, as counted
	uint64_t written = 0;	    // and as written
	char name[NAME_MAX + 1] = {}; // the output's name in dir
	char tmpname[24] = {};	      // the new file's name there, if any
	sigset_t held = {};	      // the signals the run holds back
};
extern output o;

// Each system's steps.

// Whether a regular file is one to write as it is (a pseudo-file).
bool pseudofile();
// Makes the new file for a new output, in o.dir: o.tmp, with mode as any
// new file gets it. Returns 0 or an errno value.
int makenew();
// Makes the new file beside the old output, with the old file's identity,
// where a new file can take the output's name; false where not.
bool replaceable();
// Takes the run's turn to write the output in place. 0 or an errno value.
int turn();
// Sets room aside for o.size bytes at o.to from o.at. 0, ENOSPC, EDQUOT or
// EFBIG; any other errno value where the system sets none aside.
int reserve();
// Gives the whole new file the output's name. 0 or an errno value.
int commit();
// The stream the writers write to, or null with errno set; and its end,
// which flushes it and sets o.written. The stream is closed only after
// the output is cut.
FILE *writer();
int endwriter(FILE *f);

// Their shared steps.

bool same(const struct stat &a, const struct stat &b);

// Lets the held signals go for a wait that changes nothing, or (go false)
// takes them back after it.
void letgo(bool go = true);

// A held signal waiting that would end the run ends it here, before the
// output changes, as it would have a moment earlier, once what the run
// made is taken back; one the caller ignored does not count. Returns EINTR
// only if the signal did not end the run, else 0.
int interrupted();

// Opens the folder of path p into o.dir and copies p's last part to
// o.name. Returns 0 or an errno value.
int splitpath(const char *p);

// A new output's name, free when the run began, that another file took
// meanwhile: another run's new output, to be replaced as the shell would,
// or a link, which the kernel follows with its protections. Opens it as
// the output, and returns 0 where the name holds that very file, else
// EEXIST or the open's errno value.
int claim();

// The named new file o.tmpname takes a new output's name where it is still
// free, and lets go of its own. Returns 0, EEXIST where a file took the
// name meanwhile, or another errno value (a folder that takes no second
// link).
int linknamed();

// Names the new file in o.dir under a short name of the run's own,
// o.tmpname, new for each try: make(mode) makes it under that name, or
// fails with EEXIST where the name is taken. Returns 0 or an errno value.
int nametmp(int (*make)(mode_t mode), mode_t mode);

// Makes o.tmp under o.tmpname with the given mode: nametmp's usual make.
int createtmp(mode_t mode);

// The new file o.tmpname takes the output's name, the old one let go
// first. Returns 0 or an errno value.
int renametmp();

// Whether fd's file system has free room for a file end bytes long that
// holds have bytes of room now, with some for the blocks that map it. One
// that counts no blocks at all (ramfs) has room as far as anyone can tell:
// the writes are tried, and their own failures reported.
bool fits(int fd, uint64_t end, uint64_t have);

// Runs that write one file in place take turns at an fcntl lock of all of
// it: the command now until it takes, for a second, and then wait, after
// saying so on standard error. The held signals are let go meanwhile: the
// run has changed nothing yet. Returns 0 or an errno value.
int taketurn(int now, int wait);
