#include "runner.h"

#include "reference.h"
#include "samples.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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

// Runs f in dir: paths below it may be longer than any path from the root
// can be.
template <class F>
static void
inside(const std::string &dir, F f)
{
	int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (home < 0 || chdir(dir.c_str()) != 0)
		abort();
	f();
	if (fchdir(home) != 0)
		abort();
	close(home);
}

// The attribute flags a user sets; append-only and immutable ask for root.
constexpr int userflags =
    FS_FL_USER_MODIFIABLE | FS_NOCOW_FL | FS_NOCOMP_FL | FS_DAX_FL;

// Sets or, with a null on, reads p's attribute flags.
static int
flagsof(const fs::path &p, const int *on = nullptr)
{
	int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
	int flags = 0, got = 0;
	ioctl(fd, FS_IOC_GETFLAGS, &flags);
	flags = (flags & ~userflags) | (on ? *on : 0);
	if (on)
		ioctl(fd, FS_IOC_SETFLAGS, &flags);
	ioctl(fd, FS_IOC_GETFLAGS, &got);
	close(fd);
	return got & userflags;
}

// Sets or, with a zero on, reads p's project.
static unsigned
projectof(const fs::path &p, unsigned on = 0)
{
	int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
	fsxattr a = {};
	ioctl(fd, FS_IOC_FSGETXATTR, &a);
	a.fsx_projid = on ? on : a.fsx_projid;
	if (on)
		ioctl(fd, FS_IOC_FSSETXATTR, &a);
	bool read = ioctl(fd, FS_IOC_FSGETXATTR, &a) == 0;
	close(fd);
	return read ? a.fsx_projid : 0;
}

// Takes all the room left on p's file system but leave bytes, and has the
// file system count what it freed. Room is taken by fallocate first, where
// the file system has it: written blocks may come with room set aside past
// the end, which closing the file gives back.
static void
fill(const fs::path &p, const std::string &leave)
{
	const std::string zeros(1 << 20, '\0');
	int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	off_t end = 0, keep = std::stol("0" + leave);
	for (off_t n = off_t{1} << 30; n >= 4096; n /= 2)
		while (fallocate(fd, 0, end, n) == 0)
			end += n;
	lseek(fd, end, SEEK_SET);
	while (write(fd, zeros.data(), zeros.size()) > 0)
		;
	end = lseek(fd, 0, SEEK_END);
	if (ftruncate(fd, end > keep ? end - keep : 0) == 0)
		syncfs(fd);
	close(fd);
}

static bool
modeheld(const fs::path &p, unsigned mode)
{
	struct stat st;
	return chmod(p.c_str(), mode) == 0 && lstat(p.c_str(), &st) == 0 &&
	       (st.st_mode & 07777) == mode;
}

// Makes e in dir, owned by owner unless e says. False if it can't be made
// as e asks here: flags the file system lacks, a filler off a scratch mount.
static bool
makeentry(const std::string &dir, const entry &e, int owner)
{
	fs::path p = fs::path(dir) / e.name;
	std::error_code none;
	struct statfs sf = {};
	switch (e.k) {
	case isfile: // a name that finds another in any case is no new file
		if (access(p.c_str(), F_OK) == 0 || !savefile(p, e.data))
			return false;
		break;
	case isfolder:
		fs::create_directory(p, none); // a path too long fails below
		break;
	case isfifo:
		if (mkfifo(p.c_str(), 0600) != 0)
			return false;
		break;
	case islink:
		fs::create_symlink(e.data, p, none);
		break;
	case ishardlink:
		fs::create_hard_link(fs::path(dir) / e.data, p, none);
		break;
	case isbound:
		savefile(p, "");
		mount((fs::path(dir) / e.data).c_str(), p.c_str(), nullptr,
		      MS_BIND, nullptr);
		break;
	case issparse: // where holes cost no room
		if (!savefile(p, "") || truncate(p.c_str(), std::stoll(e.data)))
			return false;
		break;
	case isfiller: // only on the scratch mounts of tests/mounts.sh that
		       // fill up: ramfs takes all the memory there is
		if (!getenv("LOADPREP_TESTDIR") || statfs(dir.c_str(), &sf) ||
		    static_cast<unsigned long>(sf.f_type) ==
			0x858458f6) // ramfs
			return false;
		fill(p, e.data);
		break;
	}
	// A file system without links, FIFOs, owners or modes (exFAT) can't
	// hold the entry as the row asks: a mode must take, and another too.
	int uid = e.uid >= 0 ? e.uid : owner;
	if (lchown(p.c_str(), static_cast<uid_t>(uid),
		   static_cast<gid_t>(e.gid >= 0 ? e.gid : uid)) != 0 ||
	    (e.mode && (!modeheld(p, e.mode ^ 1) || !modeheld(p, e.mode))))
		return false;
	for (const auto &[name, value] : e.attrs)
		if (lsetxattr(p.c_str(), name.c_str(), value.data(),
			      value.size(), 0) != 0)
			return false;
	return (!e.flags || flagsof(p, &e.flags) == e.flags) &&
	       (!e.projid || projectof(p, e.projid) == e.projid);
}

// A folder entry as it is, read from its path relative to the working
// folder.
static entry
readentry(const fs::directory_entry &d)
{
	entry e{d.path().lexically_relative(".").string(), "", isfile};
	auto st = d.symlink_status();
	e.mode = static_cast<unsigned>(st.permissions());
	struct stat ls;
	lstat(d.path().c_str(), &ls);
	e.uid = static_cast<int>(ls.st_uid);
	e.gid = static_cast<int>(ls.st_gid);
	char names[4096], value[4096];
	ssize_t n = llistxattr(d.path().c_str(), names, sizeof names);
	for (char *a = names; a < names + n; a += strlen(a) + 1) {
		if (std::string_view(a).starts_with("trusted.SGI_ACL_"))
			continue; // xfs's own copy of the ACL
		ssize_t k = lgetxattr(d.path().c_str(), a, value, sizeof value);
		e.attrs[a].assign(value, static_cast<size_t>(k));
	}
	if (st.type() != fs::file_type::symlink) {
		e.flags = flagsof(d.path());
		e.projid = projectof(d.path());
	}
	if (st.type() == fs::file_type::symlink) {
		e.k = islink;
		e.data = fs::read_symlink(d.path()).string();
	} else if (st.type() == fs::file_type::directory) {
		e.k = isfolder;
	} else if (st.type() == fs::file_type::fifo) {
		e.k = isfifo;
	} else {
		e.data = ls.st_size < (1 << 26) ? readfile(d.path())
						: std::to_string(ls.st_size);
	}
	return e;
}

// Every entry below dir, named by its path from there.
static std::map<std::string, entry>
snapshot(const std::string &dir)
{
	std::map<std::string, entry> m;
	inside(dir, [&m] {
		for (const auto &d : fs::recursive_directory_iterator("."))
			m[d.path().lexically_relative(".").string()] =
			    readentry(d);
	});
	return m;
}

// The folder and all in it.
static void
removeall(const std::string &dir)
{
	inside(dir, [] {
		for (const auto &d : fs::directory_iterator("."))
			fs::remove_all(d.path());
	});
	rmdir(dir.c_str());
}

// The tool in dir, its standard streams on the given descriptors, capped, as
// nobody or without /proc as the row says. It handles size caps and signals
// itself: everything else is left as a shell would leave it.
[[noreturn]] static void
child(const std::string &dir, std::vector<std::string> cmd, int in, int out,
      int err, const row &how)
{
	for (int s : {SIGPIPE, SIGHUP, SIGINT})
		signal(s, SIG_DFL);
	setpgid(0, 0); // a group of its own, with whatever runs in front of it
	sigset_t all;
	sigfillset(&all);
	sigprocmask(SIG_UNBLOCK, &all, nullptr);
	int fds[] = {in, out, err};
	for (int fd = 0; fd < 3; fd++)
		dup2(fds[fd], fd);
	if (chdir(dir.c_str()) != 0)
		_exit(127);
	umask(022);
	if (how.cap) {
		rlimit r{static_cast<rlim_t>(how.cap),
			 static_cast<rlim_t>(how.cap)};
		setrlimit(RLIMIT_FSIZE, &r);
	}
	if ((how.needs & noproc) &&
	    (unshare(CLONE_NEWNS) ||
	     mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
	     umount2("/proc", MNT_DETACH)))
		_exit(127);
	// The build folder may be closed to an ordinary user: the tool is
	// opened before the run becomes one, and an emulator or tracer in
	// front reads it through the descriptor.
	bool asuser = how.needs & user;
	int exe = asuser ? open(cmd[0].c_str(), O_RDONLY | O_CLOEXEC) : -1;
	std::string &tool = cmd[how.via.size() + toolcommand().size() - 1];
	if (asuser && &tool != &cmd[0])
		tool = "/proc/self/fd/" +
		       std::to_string(open(tool.c_str(), O_RDONLY));
	if (asuser && (exe < 0 || setgroups(0, nullptr) || setgid(nobody) ||
		       setuid(nobody)))
		_exit(127);
	std::vector<char *> argv;
	for (auto &w : cmd)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	asuser ? fexecve(exe, argv.data(), environ)
	       : execvp(argv[0], argv.data());
	_exit(127);
}

static std::vector<std::string>
command(const std::vector<std::string> &args, std::vector<std::string> cmd = {})
{
	std::vector<std::string> tool = toolcommand();
	cmd.insert(cmd.end(), tool.begin(), tool.end());
	cmd.insert(cmd.end(), args.begin(), args.end());
	return cmd;
}

std::string
newfolder(const char *what)
{
	const char *base = getenv("LOADPREP_TESTDIR");
	std::string t = std::string(base && *base ? base : "/tmp") +
			"/loadprep-" + what + "-XXXXXX";
	return mkdtemp(t.data()) ? t : "";
}

// The time a lease's break is given, as found, to put back: the one row
// that holds a lease gives it a second.
static int leasebreak = 45;

// Holds the output at path as the row says, until closed.
static int
holdoutput(const std::string &path, holdby how)
{
	int fd = open(path.c_str(),
		      (how == readlease ? O_RDONLY : O_RDWR) | O_CLOEXEC);
	struct flock all = {};
	all.l_type = F_WRLCK;
	if (how == readlease) {
		signal(SIGIO, SIG_IGN); // the kernel's word that it breaks
		std::ifstream("/proc/sys/fs/lease-break-time") >> leasebreak;
		std::ofstream("/proc/sys/fs/lease-break-time") << 1;
		fcntl(fd, F_SETLEASE, F_RDLCK);
	} else {
		flock(fd, LOCK_EX);
		fcntl(fd, F_SETLK, &all);
	}
	return fd;
}

outcome
runtool(const row &r)
{
	signal(SIGPIPE, SIG_IGN); // a tool that stops reading is no crash here
	outcome o;
	std::string dir = newfolder("run");
	int owner = r.needs & user ? nobody : -1;
	o.unheld = owner >= 0 && chown(dir.c_str(), static_cast<uid_t>(owner),
				       static_cast<gid_t>(owner)) != 0;
	inside(dir, [&r, &o, owner] {
		for (const auto &e : r.has)
			o.unheld |= !makeentry(".", e, owner);
	});
	int held = r.hold ? holdoutput(dir + "/" + r.args[1], r.hold) : -1;

	int in[2], out[2], err[2];
	if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) ||
	    pipe2(err, O_CLOEXEC))
		abort();
	pid_t pid = fork();
	if (pid == 0)
		child(dir, command(r.args, r.via), in[0], out[1], err[1], r);
	for (int fd : {in[0], in[1], out[1], err[1]}) // no input but its end
		close(fd);
	pid_t guard = fork(); // a run that hangs is killed after a minute
	if (guard == 0) {
		sleep(60);
		kill(-pid, SIGKILL);
		_exit(0);
	}

	o.console = readall(out[0]);
	o.errors = readall(err[0]);
	kill(guard, SIGKILL);
	waitpid(guard, nullptr, 0);
	int ws = 0;
	waitpid(pid, &ws, 0);
	o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	close(held);
	if (r.hold == readlease)
		std::ofstream("/proc/sys/fs/lease-break-time") << leasebreak;
	o.files = snapshot(dir);
	const int none = 0;
	for (const auto &e : r.has) {
		if (e.flags)
			flagsof(fs::path(dir) / e.name, &none);
		if (e.k == isbound)
			umount2((fs::path(dir) / e.name).c_str(), MNT_DETACH);
	}
	removeall(dir);
	return o;
}
