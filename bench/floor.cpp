// The least a run can cost for an output of n bytes: the input read as the
// tool reads it, then n ready-made bytes (the input's own, over and over)
// written through the tool's own replacing unit in 1 MiB writes. The bench
// times the tool beside it.
// Usage: loadprep_floor input output n
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "buffer/buffer.h"
#include "replace/replace.h"

int
main(int argc, char *argv[])
{
	uint32_t size;
	FILE *f;
	if (argc != 4 || loadinput(argv[1], &size) || size == 0)
		return 2;
	uint64_t n = strtoull(argv[3], nullptr, 10);
	if (openoutput(argv[2], n, &f) != 0)
		return 1;
	bool ok = true;
	for (uint64_t done = 0; ok && done < n;) {
		uint64_t k = n - done < size ? n - done : size;
		k = k < (1 << 20) ? k : (1 << 20);
		ok = fwrite(buf, 1, k, f) == k;
		done += k;
	}
	return closeoutput(f, ok ? 0 : errno) != 0;
}
