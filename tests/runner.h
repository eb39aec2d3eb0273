// Runs the tool as its users do, in a fresh folder, and reads back what it
// did: console, exit status and every file in the folder afterwards.
#pragma once

#include <map>
#include <string>
#include <vector>

constexpr int nobody = 65534; // the ordinary user, and its group

// A hard or bind-mounted link's data names its file. A filler takes all
// room left on a scratch mount but the bytes its data gives in decimal; its
// data is not checked. A sparse file is a hole as long as its data gives in
// decimal.
enum kind {
	isfile,
	isfolder,
	isfifo,
	islink,
	ishardlink,
	isbound,
	isfiller,
	issparse
};

// A folder entry: a file's bytes, a FIFO's bytes, or a link's target. Its
// name may lead into a folder made before it.
struct entry {
	std::string name;
	std::string data = {};
	kind k = isfile;
	unsigned mode = 0;	// permission bits, if set or checked
	int uid = -1, gid = -1; // owner and group, if set or checked
	std::map<std::string, std::string> attrs = {}; // extended attributes,
						       // ACLs among them
	int flags = 0;	     // attribute flags, as chattr sets them (FS_*_FL)
	unsigned projid = 0; // project, as chattr -p sets it
};

// What another program holds on the output while the tool runs: locks of
// both kinds (flock, and fcntl as the portable unit's runs take turns), or
// a read lease, which the kernel breaks after a second.
enum holdby { nohold, otherlock, readlease };

// What a row needs of the build and the machine that runs it, each once;
// user and noproc are also how the tool is run.
enum need : unsigned {
	posix = 1,	 // links, FIFOs, modes, devices, signals, size caps
	linuxonly = 2,	 // what only the Linux replacing unit keeps or sees
	root = 4,	 // other owners, mounts, root's flags and attributes
	user = 8,	 // run as nobody, who owns the folder
	noproc = 16,	 // run where no /proc is mounted
	traced = 32,	 // a command in front of the tool
	native = 64,	 // the tool run with no emulator in front
	protect = 128,	 // the kernel's protection of links and files in
			 // sticky folders
	kernel = 256,	 // kernel rules FUSE lacks: set-ID, ACLs
	cow = 512,	 // a copy-on-write file system
	ahead = 1024,	 // room that can be asked ahead, as a quota can't
	caseless = 2048, // a folder that finds names in any case
	links = 4096,	 // a folder that holds links
};

// One run: arguments, the folder before, the console, the exit status, and
// the folder after.
struct row {
	const char *name;
	unsigned needs = 0;
	std::vector<std::string> args;
	std::vector<entry> has = {}; // the folder before
	std::string says; // the console after the Add=, Skp=, Chp= lines,
			  // unless it starts with them
	std::vector<entry> then = {};	   // the folder after: new or changed
					   // entries, the rest as before
	int exit = 0;			   // the exit status
	long cap = 0;			   // cap on the size of files written
	std::string winsays = {};	   // where the Windows runtime words a
					   // reason otherwise
	std::vector<std::string> via = {}; // a command the tool runs under
	holdby hold = nohold;
	std::string errors = {}; // standard error
};

struct outcome {
	std::string console, errors;
	int status = -1;
	std::map<std::string, entry> files;
	bool unheld = false; // the file system can't hold the folder before
};

// The command that runs the tool, from LOADPREP_CMD (words split on
// spaces, for an emulator in front), else the program built alongside.
std::vector<std::string> toolcommand();

// True when that command runs the Windows program.
bool windowstool();

// Runs the tool as the row says, in a new folder holding the before
// entries, under umask 022.
outcome runtool(const row &r);

// A new folder for a test's runs, under LOADPREP_TESTDIR or /tmp.
std::string newfolder(const char *what);
