// Replacing the output: opening it for new content and putting that content
// in place once whole, one unit a system. The run changes only the content
// of the file that opening the output path for writing gives, and only once
// the new content is whole; doc/replacing.md tells how each unit keeps to
// that, and what can still happen.
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

// The reasons that are the tool's own, beside the system's: an output
// written over came out another length than was counted for it (the
// tool's fault, never the system's); the output's folder does not exist;
// other programs kept replacing the output while the run chose its way.
constexpr int ECOUNT = 0x10000;
constexpr int ENOFOLDER = 0x10001;
constexpr int EMOVED = 0x10002;

// A reason in the user's words: an errno value, one of the tool's own, or
// on Windows also a system error code, negated.
const char *reason(int err);
