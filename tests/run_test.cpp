// The tool end to end: every row of the table runs against a built program
// in a fresh folder. The same table runs against any build of the tool (see
// run.h).
#include <gtest/gtest.h>

#include "rows.h"

namespace
{

// Windows hands a program its arguments through a code page, and has no
// FIFOs, links, devices under /dev or file size caps.
bool
posixonly(const row &r)
{
	for (const auto &a : r.args) {
		if (a.starts_with("/dev/"))
			return true;
		for (unsigned char c : a)
			if (c < 0x20 || c > 0x7e)
				return true;
	}
	for (const auto &e : r.before)
		if (e.k == isfifo || e.k == islink)
			return true;
	return r.maxfile != 0;
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
		if (e.k == isfifo)
			e.data.clear(); // fed to the tool, not kept
		want[e.name] = e;
	}
	for (const auto &e : r.after)
		want[e.name] = e;
	for (const auto &[name, e] : want) {
		SCOPED_TRACE(name);
		auto g = got.find(name);
		ASSERT_TRUE(g != got.end()) << "missing";
		EXPECT_EQ(e.k, g->second.k);
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
		outcome o = runtool(r.args, r.before, r.input, r.maxfile);
		EXPECT_EQ(windows ? crlf(r.console) : r.console, o.console);
		EXPECT_EQ(r.status, o.status);
		if (!windows) { // an emulator may talk on standard error
			EXPECT_EQ("", o.errors);
		}
		expectfiles(r, o.files);
	}
	printf("%zu rows, %d of them left out on Windows\n", std::size(rows),
	       skipped);
}
