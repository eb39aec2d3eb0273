// Writes the bundled sample inputs into the folder given as its argument.
#include "samples.h"

int
main(int argc, char *argv[])
{
	if (argc != 2)
		return 2;
	std::string dir = argv[1];
	if (!savefile(dir + "/sample.bin", sampleprogram()) ||
	    !savefile(dir + "/sample.bmp", samplebmp())) {
		printf("mksamples: can't write into '%s'\n", argv[1]);
		return 1;
	}
	return 0;
}
