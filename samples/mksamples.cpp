// Writes the bundled sample inputs into the folder given as its argument.
#include <cstdio>
#include <string>

#include "samples.h"

static bool
save(const std::string &path, const std::string &data)
{
	FILE *f = fopen(path.c_str(), "wb");
	if (!f)
		return false;
	bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
	return fclose(f) == 0 && ok;
}

int
main(int argc, char *argv[])
{
	if (argc != 2)
		return 2;
	std::string dir = argv[1];
	if (!save(dir + "/sample.bin", sampleprogram()) ||
	    !save(dir + "/sample.bmp", samplebmp())) {
		printf("mksamples: can't write into '%s'\n", argv[1]);
		return 1;
	}
	return 0;
}
