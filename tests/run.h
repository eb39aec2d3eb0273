// Runs the tool as its users do, in a fresh folder, and reads back what it
// did: console, exit status and every file in the folder afterwards.
#pragma once

#include <map>
#include <string>
#include <vector>

enum kind { isfile, isfolder, isfifo, islink };

// A folder entry: a file's bytes, a FIFO's bytes fed by the runner, or a
// link's target.
struct entry {
	std::string name;
	std::string data;
	kind k = isfile;
};

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
outcome runtool(const std::vector<std::string> &args,
		const std::vector<entry> &before, const std::string &input,
		long maxfile);
