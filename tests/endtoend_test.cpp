// The tool end to end: every row of the table is a test of its own, run
// against a built program in a fresh folder, and so are runs that meet on
// one output. The same tests run against any build of the tool (see
// runner.h).
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/statfs.h>
#include <unistd.h>

#include "rows.h"

namespace
{

void
expectfiles(const row &r, std::map<std::string, entry> got)
{
	// A run's new file has a name of its own: one name stands for any.
	for (auto &[name, e] : std::map(got))
		if (size_t at = name.find(".loadprep-"); at != name.npos) {
			std::string any = name.substr(0, at) + ".loadprep-*";
			EXPECT_FALSE(got.count(any))
			    << "two new files: " << any;
			got[any] = got.extract(name).mapped();
		}
	std::map<std::string, entry> want;
	for (auto e : r.has) {
		if (e.name.find(".loadprep-") != e.name.npos)
			continue; // a killed run's, to be swept away
		if (e.k == isbound || e.k == isfiller || e.k == issparse)
			e.k = isfile; // a file like any other, but for its data
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

// What the folder the rows run in can't do: find a name whatever its case,
// or hold a link (exFAT).
unsigned
folderlacks()
{
	std::string d = newfolder("probe");
	savefile(d + "/Aa", "");
	unsigned l = access((d + "/aA").c_str(), F_OK) ? unsigned{caseless} : 0;
	l |= symlink("Aa", (d + "/l").c_str()) ? unsigned{links} : 0;
	std::filesystem::remove_all(d);
	return l;
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
	    {LOADPREP_PORTABLE, linuxonly},
	    {LOADPREP_SANITIZED, noproc | traced},
	    {toolcommand().size() > 1, native},
	    {geteuid() != 0, root | user | noproc | protect},
	    {!protecting(), protect},
	    {kind == 0x65735546, kernel}, // FUSE_SUPER_MAGIC
	    {kind != 0x9123683e, cow},	  // BTRFS_SUPER_MAGIC
	    {quota, ahead},
	    {true, folderlacks()}};
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
	static const char *const names[] = {"POSIX files",
					    "the Linux unit",
					    "root",
					    "an ordinary user",
					    "no /proc",
					    "a tracer",
					    "no emulator",
					    "fs.protected_*=1",
					    "the kernel's rules",
					    "copy-on-write",
					    "room asked ahead",
					    "a folder blind to case",
					    "a folder that holds links"};
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
	if (o.unheld)
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
	for (size_t i = 0; windows && (i = c.find('\n', i)) != c.npos; i += 2)
		c.insert(i, 1, '\r'); // the Windows console's line ends
	EXPECT_EQ(c, o.console) << o.errors;
	EXPECT_EQ(r.exit, o.status);
	if (!windows) { // an emulator may talk on standard error
		EXPECT_EQ(r.errors, o.errors);
	}
	expectfiles(r, o.files);
}

INSTANTIATE_TEST_SUITE_P(table, endtoend, testing::ValuesIn(rows), testname);
