// The command line and the run sequence.
#pragma once

#include <cstdint>

// A hexadecimal parameter. Never fails: every byte counts as some digit and
// only the last eight digits remain.
uint32_t parsehex(const char *text);

// One whole run on the given arguments, from decoding them to the closed
// output file. Returns the exit status: 0 done, 1 after a failure message,
// 2 for an unusable argument count (nothing printed, no file touched).
int run(int argc, char **argv);

// Readies the standard streams for the report, before any file is opened;
// false if standard output was closed. closeconsole puts back what
// openconsole changed.
bool openconsole();
void closeconsole();
