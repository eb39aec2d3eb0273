// Drives whole runs in process, from argument decoding to the written
// output, and checks what a successful run wrote against the plain models:
// any crash, sanitizer report, leak or wrong output is a finding.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "buffer/buffer.h"
#include "cli/cli.h"
#include "fuzzinput.h"
#include "reference.h"
#include "samples.h"

static std::string inpath, outpath;

// What a complete run without conversion must have written.
static void
check(const fuzzcase &c)
{
	if (c.argc == 8 || c.samepath)
		return;
	uint32_t add = parsehex(c.params[0].c_str());
	uint32_t skp = c.argc > 4 ? parsehex(c.params[1].c_str()) : 0;
	uint32_t chp = c.argc > 5 ? parsehex(c.params[2].c_str()) : 0;
	std::string window = c.file.substr(skp, c.file.size() - skp - chp);
	std::string want = c.argc == 7 ? window : reflisting(window, add);
	if (readfile(outpath) != want)
		abort();
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	char dir[] = "/tmp/loadprep-fuzz-XXXXXX";
	if (!mkdtemp(dir) || !freopen("/dev/null", "w", stdout))
		abort();
	inpath = std::string(dir) + "/in";
	outpath = std::string(dir) + "/out";
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzzcase c = decodefuzz(data, size);
	if (!savefile(inpath, c.file))
		abort();

	std::vector<std::string> args = {"loadprep", inpath,
					 c.samepath ? inpath : outpath};
	args.insert(args.end(), c.params.begin(), c.params.end());
	std::vector<char *> argv;
	for (int a = 0; a < c.argc; a++)
		argv.push_back(args[static_cast<size_t>(a)].data());
	argv.push_back(nullptr);

	memset(buf, 0, sizeof buf); // as a fresh process finds it
	// A run holds back the signals that would end it until it exits; the
	// fuzzer's own timer must go on.
	sigset_t mask;
	sigprocmask(SIG_SETMASK, nullptr, &mask);
	int status = run(c.argc, argv.data());
	sigprocmask(SIG_SETMASK, &mask, nullptr);
	if (status == 0)
		check(c);
	unlink(inpath.c_str());
	unlink(outpath.c_str());
	return 0;
}
