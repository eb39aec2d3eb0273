// The steps each Unix system gives the replacing unit (replace_unix.cpp),
// which owns the run's state and passes each step what it needs:
// replace_linux.cpp and identity_linux.cpp on Linux, replace_posix.cpp
// (POSIX alone) elsewhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

// Where the writers' bytes go: fd, from offset at; each MiB of a new file
// (kick) is handed to the disk as soon as it is written. written counts
// what went.
struct sink {
	int fd = -1;
	off_t at = 0;
	bool kick = false;
	uint64_t written = 0;
};

// Whether the regular file fd is a pseudo-file, written as it is.
bool pseudofile(int fd);

// The name under which the kernel reaches the open file fd, or null.
const char *fdpath(int fd);

// The folder dir holds name under another case (a FAT card): name becomes
// the name held, so that the replacement keeps it.
void storedname(int dir, char *name);

// Whether a new file in dir can't take the name of fd's file: a folder
// whose names can't be replaced, a file mounted on its name.
bool pinned(int dir, int fd);

// A new file in dir with no name, to be named once whole; -1 with errno
// EOPNOTSUPP where the system makes none, or another errno value.
int unnamed(int dir, mode_t mode);

// Gives the new file to, which the run owns, the identity of the file
// from, whose status is old. Returns 0, or why to can't have all of it.
// Sets *again when writing to will take part of it away (set-ID bits, a
// file capability), to be given again once written.
int copyidentity(int from, const struct stat &old, int to, bool *again);

// The fcntl command that locks for runs' turns: now, or waiting.
int lockcmd(bool wait);

// Sets room aside for size bytes at fd from at; *grown, where given, is
// the length to cut fd back to if the run ends before writing. 0, ENOSPC,
// EDQUOT or EFBIG; any other errno value where the system sets none aside.
int reserve(int fd, off_t at, uint64_t size, off_t *grown);

// The stream the writers write to s, or null with errno set; and its end,
// which flushes it and counts s->written. The stream is closed only once
// the new content is in place.
FILE *writer(sink *s);
int endwriter(FILE *f, sink *s);

// Whether fd's file system has free room for a file end bytes long that
// holds have bytes of room now, with some for the blocks that map it.
bool fits(int fd, uint64_t end, uint64_t have);
