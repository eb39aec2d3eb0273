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

void
makeentry(const std::string &dir, const entry &e)
{
	fs::path p = fs::path(dir) / e.name;
	switch (e.k) {
	case isfile:
		savefile(p, e.data);
		break;
	case isfolder:
		fs::create_directory(p);
		break;
	case isfifo:
	case isdeadfifo:
		mkfifo(p.c_str(), 0600);
		break;
	case islink:
		fs::create_symlink(e.data, p);
		break;
	case ishardlink:
		fs::create_hard_link(fs::path(dir) / e.data, p);
		break;
	}
	if (e.mode)
		chmod(p.c_str(), e.mode);
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
leavefifo(const fs::path &p)
{
	int fd = open(p.c_str(), O_RDONLY);
	if (fd >= 0)
		close(fd);
}

// Opens the other end of a FIFO without waiting, so that a runner thread
// still waiting for the tool to open it goes on.
static void
unblockfifo(const fs::path &p, kind k)
{
	int fd =
	    open(p.c_str(), (k == isfifo ? O_RDONLY : O_WRONLY) | O_NONBLOCK);
	if (fd >= 0)
		close(fd);
}

std::map<std::string, entry>
snapshot(const std::string &dir)
{
	std::map<std::string, entry> m;
	for (const auto &d : fs::recursive_directory_iterator(dir)) {
		entry e{d.path().lexically_relative(dir).string(), "", isfile};
		auto st = d.symlink_status();
		e.mode = static_cast<unsigned>(st.permissions());
		if (st.type() == fs::file_type::symlink) {
			e.k = islink;
			e.data = fs::read_symlink(d.path()).string();
		} else if (st.type() == fs::file_type::directory) {
			e.k = isfolder;
		} else if (st.type() == fs::file_type::fifo) {
			e.k = isfifo;
		} else {
			e.data = readfile(d.path());
		}
		m[e.name] = e;
	}
	return m;
}

// The tool in dir, its standard streams on the given descriptors (-1:
// closed). It handles size caps and signals itself: everything is left as
// a shell would leave it.
[[noreturn]] static void
child(const std::string &dir, std::vector<std::string> cmd, int in, int out,
      int err, long maxfile)
{
	signal(SIGPIPE, SIG_DFL);
	int fds[] = {in, out, err};
	for (int fd = 0; fd < 3; fd++)
		fds[fd] < 0 ? close(fd) : dup2(fds[fd], fd);
	if (chdir(dir.c_str()) != 0)
		_exit(127);
	umask(022);
	if (maxfile) {
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

static std::vector<std::string>
command(const std::vector<std::string> &args)
{
	std::vector<std::string> cmd = toolcommand();
	cmd.insert(cmd.end(), args.begin(), args.end());
	return cmd;
}

int
starttool(const std::string &dir, const std::vector<std::string> &args,
	  long maxfile)
{
	int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	pid_t pid = fork();
	if (pid == 0)
		child(dir, command(args), null, null, null, maxfile);
	close(null);
	return pid;
}

int
waittool(int pid)
{
	int ws = 0;
	waitpid(pid, &ws, 0);
	return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

outcome
runtool(const std::vector<std::string> &args, const std::vector<entry> &before,
	const std::string &input, long maxfile, reportto report)
{
	signal(SIGPIPE, SIG_IGN); // a tool that stops reading is no crash here
	char tmpl[] = "/tmp/loadprep-run-XXXXXX";
	std::string dir = mkdtemp(tmpl);
	std::vector<std::thread> fifos;
	for (const auto &e : before)
		makeentry(dir, e);
	for (const auto &e : before) {
		if (e.k == isfifo)
			fifos.emplace_back(feedfifo, dir + "/" + e.name,
					   e.data);
		if (e.k == isdeadfifo)
			fifos.emplace_back(leavefifo, dir + "/" + e.name);
	}

	int in[2], out[2], err[2];
	if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) ||
	    pipe2(err, O_CLOEXEC))
		abort();
	int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
	int tostdout = report == topipe ? out[1] : report == tofull ? full : -1;
	pid_t pid = fork();
	if (pid == 0)
		child(dir, command(args), in[0], tostdout, err[1], maxfile);
	close(in[0]);
	close(out[1]);
	close(err[1]);
	close(full);
	std::thread feeder(writeall, in[1], input);

	outcome o;
	o.console = readall(out[0]);
	o.errors = readall(err[0]);
	o.status = waittool(pid);
	feeder.join();
	for (const auto &e : before)
		if (e.k == isfifo || e.k == isdeadfifo)
			unblockfifo(dir + "/" + e.name, e.k);
	for (auto &t : fifos)
		t.join();
	o.files = snapshot(dir);
	fs::remove_all(dir);
	return o;
}
