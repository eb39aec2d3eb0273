// Replacing the output: opening it for new content and putting that content
// in place once whole, one unit a system.
//
// The output is the file that opening the output path for writing gives:
// the system follows the links, with its protections, and checks the
// permissions. The run changes that file's content only, and only once the
// new content is whole:
// - A new file, or a replacement that can be made the same as the old file
//   in every way a user can see (owner, group, mode, flags, ACL, extended
//   attributes, streams), is written beside it, unnamed where the file
//   system allows, and takes the output's name only once whole.
// - Any other regular file (another user's, one in a folder that takes no
//   new file, one mounted on its name, one another program holds open, the
//   file of the run's own standard output or error) is written in place,
//   once room for the new content has been found, so that a full disk or a
//   size limit leaves it as it was; runs that write one file in place take
//   turns.
// - Devices and FIFOs are written as they are.
// Signals that would end the run wait while a file changes: a killed run
// has left the old output, a run that ends with status 0 the new one.
#pragma once

#include <cstdint>
#include <cstdio>

// Opens the output at path for new content of size bytes, and sets *f to
// the stream that takes it. Returns 0, or the reason the output can't be
// written, for reason() to word.
int openoutput(const char *path, uint64_t size, FILE **f);

// Ends the output after the writer, whose failure is werr (0 for none):
// closes f and puts the new content in place. Returns 0, or the reason the
// output was not written; the old output is then as it was, unless it was
// written in place. A signal held meanwhile ends the run here, before the
// old output changes.
int closeoutput(FILE *f, int werr);

// The reason an output written over came out another length than was
// counted for it: the tool's own fault, never the system's.
constexpr int ECOUNT = 0x10000;

// A reason in the system's own words: an errno value, ECOUNT, or on Windows
// also a system error code, negated.
const char *reason(int err);
