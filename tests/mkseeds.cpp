// Writes the end-to-end rows into a folder as the fuzzer's seed corpus,
// leaving out inputs larger than the fuzzer's length limit.
#include <cstdio>

#include "fuzzinput.h"
#include "rows.h"

int
main(int argc, char *argv[])
{
	if (argc != 3)
		return 2;
	size_t maxlen = std::stoul(argv[2]);
	int n = 0;
	for (const auto &r : rows) {
		fuzzcase c;
		c.argc = static_cast<int>(r.args.size()) + 1;
		c.samepath = r.args.size() > 1 && r.args[0] == r.args[1];
		for (size_t a = 2; a < r.args.size(); a++)
			c.params.push_back(r.args[a]);
		c.file = r.has.empty() ? "" : r.has[0].data;
		std::string s = encodefuzz(c);
		if (s.size() > maxlen)
			continue;
		if (!savefile(
			std::string(argv[1]) + "/row" + std::to_string(n++), s))
			return 1;
	}
	printf("%d seeds\n", n);
	return 0;
}
