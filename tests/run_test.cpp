// The tool end to end: every row of the table runs against a built program
// in a fresh folder. The same table runs against any build of the tool (see
// run.h).
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <unistd.h>

#include "rows.h"

namespace
{

// Windows hands a program its arguments through a code page, and has no
// FIFOs, links, permission bits, devices under /dev or file size caps.
bool
posixonly(const row &r)
{
	if (r.maxfile != 0 || r.report != topipe)
		return true;
	for (const auto &a : r.args) {
		if (a.starts_with("/dev/"))
			return true;
		for (unsigned char c : a)
			if (c < 0x20 || c > 0x7e)
				return true;
	}
	for (const auto &list : {r.before, r.after})
		for (const auto &e : list)
			if ((e.k != isfile && e.k != isfolder) || e.mode)
				return true;
	return false;
}

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
expectfiles(const row &r, const std::map<std::string, entry> &got)
{
	std::map<std::string, entry> want;
	for (auto e : r.before) {
		if (e.k == isfifo || e.k == isdeadfifo) {
			e.k = isfifo;
			e.data.clear(); // fed to the tool, not kept
		}
		want[e.name] = e;
	}
	for (const auto &e : r.after)
		want[e.name] = e;
	for (const auto &[name, e] : want) {
		SCOPED_TRACE(name);
		auto g = got.find(name);
		ASSERT_TRUE(g != got.end()) << "missing";
		EXPECT_EQ(e.k, g->second.k);
		if (e.mode) {
			EXPECT_EQ(e.mode, g->second.mode);
		}
		EXPECT_TRUE(e.data == g->second.data)
		    << hexdiff(e.data, g->second.data);
	}
	for (const auto &[name, e] : got)
		EXPECT_TRUE(want.count(name)) << "unexpected file " << name;
}

} // namespace

TEST(endtoend, table)
{
	bool windows = windowstool();
	int skipped = 0;
	for (const auto &r : rows) {
		if (windows && posixonly(r)) {
			skipped++;
			continue;
		}
		SCOPED_TRACE(r.name);
		outcome o =
		    runtool(r.args, r.before, r.input, r.maxfile, r.report);
		const std::string &console =
		    windows && !r.winconsole.empty() ? r.winconsole : r.console;
		EXPECT_EQ(windows ? crlf(console) : console, o.console);
		EXPECT_EQ(r.status, o.status);
		if (!windows) { // an emulator may talk on standard error
			EXPECT_EQ("", o.errors);
		}
		expectfiles(r, o.files);
	}
	printf("%zu rows, %d of them left out on Windows\n", std::size(rows),
	       skipped);
}

// Runs on one output at once, some failing on a size cap, some killed at
// random moments: the output is always the old content or one whole new
// one, and no temporary file is left behind.
TEST(endtoend, racing)
{
	if (windowstool())
		GTEST_SKIP() << "signals and size caps are not the Windows "
				"program's";
	// The listing is over 1 MiB: some runs die while it is handed to disk.
	const std::string in = seq(0x60000), old = "old";
	const std::string lst = reflisting(in, 0);
	char tmpl[] = "/tmp/loadprep-race-XXXXXX";
	std::string dir = mkdtemp(tmpl);
	makeentry(dir, {"in", in});
	makeentry(dir, {"out", old});
	const int sigs[] = {SIGTERM, SIGINT, SIGHUP};
	std::mt19937 rnd(1);
	int killed = 0;

	for (int round = 0; round < 60; round++) {
		int sig = sigs[round % 3];
		bool capped = round % 2;
		SCOPED_TRACE(round);
		int a = starttool(dir, {"in", "out", "0"}, 0);
		int b = starttool(dir, {"in", "out", "0", "0", "0", "r"},
				  capped ? 0x10000 : 0);
		usleep(static_cast<useconds_t>(rnd() % 4000));
		kill(a, sig);
		int sa = waittool(a), sb = waittool(b);
		killed += sa != 0;
		EXPECT_TRUE(sa == 0 || sa == 128 + sig) << sa;
		EXPECT_EQ(capped ? 1 : 0, sb);
		auto files = snapshot(dir);
		EXPECT_EQ(2u, files.size()) << "a temporary file was left";
		const std::string &out = files["out"].data;
		EXPECT_TRUE(out == old || out == lst || out == in)
		    << hexdiff(lst, out);
	}
	printf("%d of 60 listing runs killed\n", killed);
	std::filesystem::remove_all(dir);
}
