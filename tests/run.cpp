#include "run.h"

#include "reference.h"
#include "samples.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

std::vector<std::string>
toolcommand()
{
	const char *cmd = getenv("LOADPREP_CMD");
	std::vector<std::string> words;
	std::istringstream in(cmd && *cmd ? cmd : LOADPREP);
	for (std::string w; in >> w;)
		words.push_back(w);
	return words;
}

bool
windowstool()
{
	return toolcommand().back().ends_with(".exe");
}

static std::string
readall(int fd)
{
	std::string s;
	char t[65536];
	ssize_t n;
	while ((n = read(fd, t, sizeof t)) > 0 || (n < 0 && errno == EINTR))
		if (n > 0)
			s.append(t, static_cast<size_t>(n));
	close(fd);
	return s;
}

static void
writeall(int fd, const std::string &s)
{
	for (size_t i = 0; i < s.size();) {
		ssize_t n = write(fd, s.data() + i, s.size() - i);
		if (n <= 0)
			break; // the tool stopped reading
		i += static_cast<size_t>(n);
	}
	close(fd);
}

static void
makeentry(const fs::path &dir, const entry &e)
{
	fs::path p = dir / e.name;
	switch (e.k) {
	case isfile:
		savefile(p, e.data);
		break;
	case isfolder:
		fs::create_directory(p);
		break;
	case isfifo:
		mkfifo(p.c_str(), 0600);
		break;
	case islink:
		fs::create_symlink(e.data, p);
		break;
	}
}

// A FIFO's writer blocks until the tool opens it; if the tool never does,
// the runner opens the other end itself so the feeder can finish.
static void
feedfifo(const fs::path &p, const std::string &data)
{
	int fd = open(p.c_str(), O_WRONLY);
	if (fd >= 0)
		writeall(fd, data);
}

static void
unblockfifo(const fs::path &p)
{
	int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK);
	if (fd >= 0)
		readall(fd);
}

static std::map<std::string, entry>
snapshot(const fs::path &dir)
{
	std::map<std::string, entry> m;
	for (const auto &d : fs::directory_iterator(dir)) {
		entry e{d.path().filename().string(), "", isfile};
		auto st = d.symlink_status().type();
		if (st == fs::file_type::symlink) {
			e.k = islink;
			e.data = fs::read_symlink(d.path()).string();
		} else if (st == fs::file_type::directory) {
			e.k = isfolder;
		} else if (st == fs::file_type::fifo) {
			e.k = isfifo;
		} else {
			e.data = readfile(d.path());
		}
		m[e.name] = e;
	}
	return m;
}

[[noreturn]] static void
child(const fs::path &dir, std::vector<std::string> cmd, int in, int out,
      int err, long maxfile)
{
	signal(SIGPIPE, SIG_DFL);
	dup2(in, 0);
	dup2(out, 1);
	dup2(err, 2);
	if (chdir(dir.c_str()) != 0)
		_exit(127);
	if (maxfile) {
		// A write past the cap then fails as on a full disk, instead
		// of ending the process.
		signal(SIGXFSZ, SIG_IGN);
		rlimit r{static_cast<rlim_t>(maxfile),
			 static_cast<rlim_t>(maxfile)};
		setrlimit(RLIMIT_FSIZE, &r);
	}
	std::vector<char *> argv;
	for (auto &w : cmd)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(127);
}

outcome
runtool(const std::vector<std::string> &args, const std::vector<entry> &before,
	const std::string &input, long maxfile)
{
	signal(SIGPIPE, SIG_IGN); // a tool that stops reading is no crash here
	char tmpl[] = "/tmp/loadprep-run-XXXXXX";
	fs::path dir = mkdtemp(tmpl);
	std::vector<std::thread> feeders;
	for (const auto &e : before)
		makeentry(dir, e);
	for (const auto &e : before)
		if (e.k == isfifo)
			feeders.emplace_back(feedfifo, dir / e.name, e.data);

	std::vector<std::string> cmd = toolcommand();
	cmd.insert(cmd.end(), args.begin(), args.end());
	int in[2], out[2], err[2];
	if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) ||
	    pipe2(err, O_CLOEXEC))
		abort();
	pid_t pid = fork();
	if (pid == 0)
		child(dir, cmd, in[0], out[1], err[1], maxfile);
	close(in[0]);
	close(out[1]);
	close(err[1]);
	std::thread feeder(writeall, in[1], input);

	outcome o;
	o.console = readall(out[0]);
	o.errors = readall(err[0]);
	int ws = 0;
	waitpid(pid, &ws, 0);
	o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	feeder.join();
	for (const auto &e : before)
		if (e.k == isfifo)
			unblockfifo(dir / e.name);
	for (auto &t : feeders)
		t.join();
	o.files = snapshot(dir);
	fs::remove_all(dir);
	return o;
}
