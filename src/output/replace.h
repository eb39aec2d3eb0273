// Replacing the output.
//
// The output is the file that opening the output path for writing gives:
// the system follows the links, with its protections, and checks the
// permissions. The run changes that file's content only, and only once the
// new content is whole:
// - A new file, or a replacement that can be made the same as the old file
//   in every way a user can see (owner, group, mode, ACL, extended
//   attributes, streams), is written beside it, unnamed where the file
//   system allows, and takes the output's name only once whole.
// - Any other regular file (another user's, one in a folder that takes no
//   new file, the file of the run's own standard output or error) is
//   written in place, once room for the new content has been reserved, so
//   that a full disk or a size limit leaves it as it was.
// - Devices and FIFOs are written as they are.
// Signals that would end the run wait while a file changes: a killed run
// has left the old output, a run that ends with status 0 the new one.
#pragma once

#include <cstdint>
#include <cstdio>

// Opens the output at path and sets *f to the stream that takes the new
// content. newsize gives the new content's length; it is asked only for a
// file written in place. Returns 0, or the errno value that says why the
// output can't be written.
int openoutput(const char *path, uint64_t (*newsize)(), FILE **f);

// Ends the output after the writer, whose failure is werr (0 for none):
// closes f and puts the new content in place. Returns 0, or the reason the
// output was not written; the old output is then as it was, unless it was
// written in place. A signal held meanwhile ends the run here, before the
// old output changes.
int closeoutput(FILE *f, int werr);
