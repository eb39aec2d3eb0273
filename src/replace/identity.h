// The identity a new file needs to pass for the file it replaces, for the
// Linux replacing unit: attribute flags and project, owner, group, mode,
// ACL and extended attributes.
#pragma once

#include <sys/stat.h>

// Gives the new file to, which the run owns, the identity of the file
// from, whose status is old. Returns 0, or why to can't have all of it.
// Sets *again when writing to will take part of it away (set-ID bits, a
// file capability), to be given again once written.
int copyidentity(int from, const struct stat &old, int to, bool *again);
