// The tool end to end: every row of the table is a test of its own, run
// against a built program in a fresh folder, and so are runs that meet on
// one output. The same tests run against any build of the tool (see
// runner.h).
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "rows.h"

namespace
{

std::string
crlf(const std::string &s)
{
	std::string t;
	for (char c : s) {
		if (c == '\n')
			t += '\r';
		t += c;
	}
	return t;
}

void
expectfiles(const row &r, std::map<std::string, entry> got)
{
	// A run's new file has a name of its own: one name stands for any.
	for (auto &[name, e] : std::map(got))
		if (size_t at = name.find(".loadprep-");
		    at != std::string::npos)
			got[name.substr(0, at) + ".loadprep-*"] =
			    got.extract(name).mapped();
	std::map<std::string, entry> want;
	for (auto e : r.has) {
		if (e.name.starts_with(".loadprep-"))
			continue; // a killed run's, to be swept away
		if (e.k == isfifo || e.k == isdeadfifo || e.k == islatefifo) {
			e.k = isfifo;
			e.data.clear(); // fed to the tool, not kept
		}
		if (e.k == isbound || e.k == isfiller || e.k == issparse ||
		    e.k == islatefile)
			e.k = isfile; // a file like any other, but for its data
		if (e.k == islatelink)
			e.k = islink;
		want[e.name] = e;
	}
	for (const auto &e : r.then)
		want[e.name] = e;
	for (const auto &[name, e] : want) {
		SCOPED_TRACE(name);
		auto g = got.find(name);
		ASSERT_TRUE(g != got.end()) << "missing";
		EXPECT_EQ(e.k, g->second.k);
		if (e.mode) {
			EXPECT_EQ(e.mode, g->second.mode);
		}
		if (e.uid >= 0) {
			EXPECT_EQ(e.uid, g->second.uid);
			EXPECT_EQ(e.gid >= 0 ? e.gid : e.uid, g->second.gid);
		}
		EXPECT_EQ(e.attrs, g->second.attrs);
		EXPECT_EQ(e.flags, g->second.flags);
		EXPECT_EQ(e.projid, g->second.projid);
		if (name != "filler") {
			EXPECT_TRUE(e.data == g->second.data)
			    << hexdiff(e.data, g->second.data);
		}
	}
	for (const auto &[name, e] : got)
		EXPECT_TRUE(want.count(name)) << "unexpected file " << name;
}

// What a stock system with systemd sets: the kernel then refuses to follow
// another user's link, or open another user's file or FIFO for writing, in
// a sticky world-writable folder.
bool
protecting()
{
	int links = 0, files = 0, fifos = 0;
	std::ifstream("/proc/sys/fs/protected_symlinks") >> links;
	std::ifstream("/proc/sys/fs/protected_regular") >> files;
	std::ifstream("/proc/sys/fs/protected_fifos") >> fifos;
	return links && files && fifos;
}

#ifdef LOADPREP_PORTABLE
constexpr bool portable = true;
#else
constexpr bool portable = false;
#endif
#ifdef __SANITIZE_ADDRESS__
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// Whether the folder the rows run in finds a name whatever its case.
bool
blindtocase()
{
	std::string d = newfolder("case");
	savefile(d + "/Aa", "");
	bool found = access((d + "/aA").c_str(), F_OK) == 0;
	std::filesystem::remove_all(d);
	return found;
}

// What this build and machine can't give a row, stated once: Windows has
// none of it but a folder's way with case; the portable unit sees no more
// of a file than POSIX shows; sanitizers need /proc and no tracer; an
// emulator run as another user reads the tool in /proc.
unsigned
lacking()
{
	const char *dir = getenv("LOADPREP_TESTDIR");
	struct statfs sf = {};
	statfs(dir ? dir : "/tmp", &sf);
	auto kind = static_cast<unsigned long>(sf.f_type);
	const std::pair<bool, unsigned> lacks[] = {
	    {windowstool(), ~unsigned{caseless}},
	    {portable, linuxonly},
	    {sanitized, noproc | traced},
	    {toolcommand().size() > 1, native},
	    {geteuid() != 0, root | user | noproc | protect},
	    {!protecting(), protect},
	    {kind == 0x65735546, kernel}, // FUSE_SUPER_MAGIC
	    {kind != 0x9123683e, cow},	  // BTRFS_SUPER_MAGIC
	    {quota, ahead},
	    {!blindtocase(), caseless}};
	unsigned l = 0;
	for (auto [lacked, what] : lacks)
		l |= lacked ? what : 0;
	return l;
}

// The first of the row's needs this run lacks, by name, or null.
const char *
lacks(unsigned needs)
{
	static const unsigned l = lacking();
	static const char *const names[] = {
	    "POSIX files",	"the Linux unit",   "root",
	    "an ordinary user", "no /proc",	    "a tracer",
	    "no emulator",	"fs.protected_*=1", "the kernel's rules",
	    "copy-on-write",	"room asked ahead", "a folder blind to case"};
	for (unsigned i = 0; i < std::size(names); i++)
		if (needs & l & (1u << i))
			return names[i];
	return nullptr;
}

// A row's name as a test's: letters and digits, each other run an
// underscore.
std::string
testname(const testing::TestParamInfo<row> &i)
{
	std::string n;
	for (const char *c = i.param.name; *c; c++)
		if (isalnum(static_cast<unsigned char>(*c)))
			n += *c;
		else if (!n.empty() && n.back() != '_')
			n += '_';
	while (n.ends_with('_'))
		n.pop_back();
	return n;
}

} // namespace

struct endtoend : testing::TestWithParam<row> {
};

// A row shows as its name.
void
PrintTo(const row &r, std::ostream *os)
{
	*os << r.name;
}

TEST_P(endtoend, row)
{
	const row &r = GetParam();
	bool windows = windowstool();
	if (const char *why = lacks(r.needs))
		GTEST_SKIP() << "needs " << why;
	outcome o = runtool(r);
	if (o.unheld || o.unlate)
		GTEST_SKIP()
		    << "can't be set up here (flags, links, a disk to fill)";
	// The first three lines follow from plain hex arguments if left out.
	std::string c = windows && !r.winsays.empty() ? r.winsays : r.says;
	if (!c.empty() && !c.starts_with("Add=")) {
		std::string h = refheader(r.args);
		EXPECT_FALSE(h.empty())
		    << "a row with other numbers spells them";
		c = h + c;
	}
	EXPECT_EQ(windows ? crlf(c) : c, o.console) << o.errors;
	EXPECT_EQ(r.exit, o.status);
	if (!windows) { // an emulator may talk on standard error
		EXPECT_EQ(r.errors, o.errors);
	}
	expectfiles(r, o.files);
}

INSTANTIATE_TEST_SUITE_P(table, endtoend, testing::ValuesIn(rows), testname);

// Runs on one output at once, some failing on a size cap, some killed at
// random moments by each signal that ends a run, the output's folder now
// and then moved away and back meanwhile. The output is the old content
// unless a run finished, and then what a finished run wrote: a run killed
// by a signal it could hold left the old output. No temporary file is
// left, on a file system with unnamed files.
TEST(together, racing)
{
	if (windowstool())
		GTEST_SKIP() << "signals and size caps are not the Windows "
				"program's";
	const std::string in = seq(0x60000), old = "old";
	const std::string lst = reflisting(in, 0);
	std::string dir = newfolder("race");
	makeentry(dir, {"in", in});
	makeentry(dir, {"sub", "", isfolder});
	const int sigs[] = {SIGTERM, SIGINT,  SIGHUP,	SIGQUIT,
			    SIGUSR1, SIGUSR2, SIGALRM,	SIGVTALRM,
			    SIGPROF, SIGPWR,  SIGRTMIN, SIGKILL};
	const int nsigs = std::size(sigs);
	std::mt19937 rnd(1);
	int killed = 0, leftovers = 0;

	for (int round = 0; round < 5 * nsigs; round++) {
		int sig = sigs[round % nsigs];
		bool capped = round / nsigs % 2;
		SCOPED_TRACE(testing::Message()
			     << "round " << round << " signal " << sig);
		savefile(dir + "/sub/out", old);
		int a = starttool(dir, {"in", "sub/out", "0"}, 0);
		int b = starttool(dir, {"in", "sub/out", "0", "0", "0", "r"},
				  capped ? 0x10000 : 0);
		usleep(static_cast<useconds_t>(rnd() % 12000));
		if (round % 3 == 0) {
			rename((dir + "/sub").c_str(),
			       (dir + "/moved").c_str());
			rename((dir + "/moved").c_str(),
			       (dir + "/sub").c_str());
		}
		kill(a, sig);
		int sa = waittool(a), sb = waittool(b);
		killed += sa != 0;
		EXPECT_TRUE(sa == 0 || sa == 128 + sig) << sa;
		EXPECT_EQ(capped ? 1 : 0, sb);
		// SIGKILL can't wait: it may end a run after its rename.
		std::vector<std::string> may;
		if (sa == 0 || sig == SIGKILL)
			may.push_back(lst);
		if (sb == 0)
			may.push_back(in);
		if (sa != 0 && sb != 0)
			may.push_back(old);
		auto files = snapshot(dir);
		// SIGKILL in the moment between naming the whole new file and
		// renaming it leaves it under its own name: whole, never part,
		// but where the tool has no unnamed files.
		std::erase_if(files, [&](const auto &f) {
			bool named = sig == SIGKILL &&
				     (portable || f.second.data == lst) &&
				     f.first.starts_with("sub/.loadprep-");
			if (named && unlink((dir + "/" + f.first).c_str()) == 0)
				leftovers++;
			return named;
		});
		EXPECT_EQ(3u, files.size()) << "a temporary file was left";
		const std::string &out = files["sub/out"].data;
		EXPECT_TRUE(std::find(may.begin(), may.end(), out) != may.end())
		    << "status " << sa << " and " << sb << ", "
		    << hexdiff(lst, out);
	}
	printf("%d of %d listing runs killed, %d new outputs left named by "
	       "SIGKILL\n",
	       killed, 5 * nsigs, leftovers);
	std::filesystem::remove_all(dir);
}

// Two runs at once, HUP and INT ignored and sent at random moments: both
// end with status 0, and the output is one's whole; bound ones take turns.
TEST(together, turns)
{
	if (windowstool())
		GTEST_SKIP() << "signals are not the Windows program's";
	const std::string in = seq(0x200000), lst = reflisting(in, 0);
	std::string dir = newfolder("turns");
	makeentry(dir, {"in", in});
	makeentry(dir, {"src", "old"});
	makeentry(dir, {"bound", "src", isbound});
	std::mt19937 rnd(2);
	for (int round = 0; round < 30; round++) {
		SCOPED_TRACE(testing::Message() << "round " << round);
		std::string out = round % 2 ? "bound" : "plain";
		int a = starttool(dir, {"in", out, "0"}, 0, true),
		    b = starttool(dir, {"in", out, "0", "0", "0", "r"}, 0,
				  true);
		usleep(static_cast<useconds_t>(rnd() % 10000));
		kill(a, round % 4 < 2 ? SIGHUP : SIGINT);
		kill(b, round % 4 < 2 ? SIGINT : SIGHUP);
		EXPECT_EQ(0, waittool(a));
		EXPECT_EQ(0, waittool(b));
		std::string got = readfile(dir + "/" + out);
		EXPECT_TRUE(got == lst || got == in) << hexdiff(lst, got);
	}
	umount2((dir + "/bound").c_str(), MNT_DETACH);
	std::filesystem::remove_all(dir);
}
