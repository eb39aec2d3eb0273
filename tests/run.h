// Runs the tool as its users do, in a fresh folder, and reads back what it
// did: console, exit status and every file in the folder afterwards.
#pragma once

#include <map>
#include <string>
#include <vector>

// A FIFO is fed its data by the runner; a dead FIFO's reader opens it and
// leaves at once. A hard link's data names the file it links to.
enum kind { isfile, isfolder, isfifo, islink, ishardlink, isdeadfifo };

// A folder entry: a file's bytes, a FIFO's bytes, or a link's target. Its
// name may lead into a folder made before it.
struct entry {
	std::string name;
	std::string data;
	kind k = isfile;
	unsigned mode = 0; // permission bits, if set or checked
};

// Where the tool's standard output goes: a pipe the runner reads, a full
// device, or nowhere (closed).
enum reportto { topipe, tofull, toclosed };

struct outcome {
	std::string console, errors;
	int status = -1;
	std::map<std::string, entry> files;
};

// The command that runs the tool, from LOADPREP_CMD (words split on
// spaces, for an emulator in front), else the program built alongside.
std::vector<std::string> toolcommand();

// True when that command runs the Windows program.
bool windowstool();

// Runs the tool with args in a new folder holding the before entries,
// stdin fed from input; maxfile, if not 0, caps the size of files it writes.
// The tool runs under umask 022.
outcome runtool(const std::vector<std::string> &args,
		const std::vector<entry> &before, const std::string &input,
		long maxfile, reportto report);

void makeentry(const std::string &dir, const entry &e);

// Every entry below dir, named by its path from there.
std::map<std::string, entry> snapshot(const std::string &dir);

// Starts the tool in dir with its console thrown away, without waiting.
int starttool(const std::string &dir, const std::vector<std::string> &args,
	      long maxfile);

// Waits for it: the exit status, or 128 + the signal that ended it.
int waittool(int pid);
