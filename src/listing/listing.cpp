#include "listing/listing.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#ifdef __linux__
#include <sys/mman.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#if defined(__GLIBC__) && !defined(__clang__)
#include <sys/platform/x86.h>
#endif
#endif

#include "buffer/buffer.h"

static constexpr char digits[] = "0123456789abcdef";

// "%x " of each byte value in its first three chars, the length (2 or 3) in
// the fourth: a byte is spelled by one 4-char store and a step of that
// length, and the extra chars are overwritten by the next ones.
static constexpr auto hexbyte = [] {
	std::array<std::array<char, 4>, 256> t{};
	for (size_t i = 0; i < 256; i++) {
		auto &e = t[i];
		size_t n = 0;
		if (i > 15)
			e[n++] = digits[i >> 4];
		e[n++] = digits[i & 15];
		e[n++] = ' ';
		e[3] = static_cast<char>(n);
	}
	return t;
}();

// Lines gather here and reach the stream in 1 MiB writes: every write
// costs the file system a fixed price, and 13 writes of a 4 MiB listing
// cost less than 52 of 256 KiB. The slack past the block takes the whole
// stores of the last line spelled, up to 64 bytes.
constexpr size_t block = 1 << 20;

// The longest line: "0" and 8 digits, ": ", 16 times "ff ", CR LF.
constexpr size_t linemax = 11 + 16 * 3 + 2;

#ifdef __linux__
// A large listing is spelled into a huge page, where the system allows
// one: one page fault instead of 256, each dear in a virtual machine. A
// small one keeps small pages, since its first byte would cost a zeroed
// 2 MiB.
alignas(0x200000) static char blk[0x200000];

static void
advise(uint32_t len)
{
	if (len >= 0x80000)
		(void)madvise(blk, sizeof blk, MADV_HUGEPAGE);
}
#else
static char blk[block + 64];

static void
advise(uint32_t)
{
}
#endif

bool
writebinary(FILE *f, uint32_t skp, uint32_t len)
{
	return fwrite(buf + skp, 1, len, f) == len;
}

// The bit shift of the highest hex digit of add that is not a leading zero.
static int
topshift(uint32_t add)
{
	int shift = 28;
	while (shift > 0 && (add >> shift) == 0)
		shift -= 4;
	return shift;
}

static char *
putaddr(char *o, uint32_t add)
{
	int shift = topshift(add);
	*o++ = '0';
	for (; shift >= 0; shift -= 4)
		*o++ = digits[(add >> shift) & 15];
	*o++ = ':';
	*o++ = ' ';
	return o;
}

// One byte: a 4-char store, then a step by the length in its fourth char,
// taken from the same load.
static inline char *
putbyte(char *o, unsigned char b)
{
	uint32_t w;
	memcpy(&w, hexbyte[b].data(), 4);
	memcpy(o, &w, 4);
	return o + (std::endian::native == std::endian::little ? w >> 24
							       : w & 0xff);
}

static char *
putbytes(char *o, const unsigned char *p, uint32_t n)
{
	for (uint32_t i = 0; i < n; i++)
		o = putbyte(o, p[i]);
	return o;
}

static char *
endline(char *o)
{
	*o++ = '\r';
	*o++ = '\n';
	return o;
}

// k full lines without a label, the plain way: a fixed count of bytes
// lets the compiler unroll them.
static char *
linesplain(char *o, const unsigned char *p, uint32_t k)
{
	for (; k > 0; k--, p += 16) {
		*o++ = ':';
		*o++ = ' ';
		for (int i = 0; i < 16; i++)
			o = putbyte(o, p[i]);
		o = endline(o);
	}
	return o;
}

// The bytes above 15 among the n at p, the plain way.
static uint64_t
bigplain(const unsigned char *p, uint32_t n)
{
	uint64_t big = 0;
	for (uint32_t i = 0; i < n; i++)
		big += p[i] > 15;
	return big;
}

// A way of spelling a listing's full lines and counting its length, by
// how many bytes a step it takes in.
struct path {
	unsigned width;
	char *(*lines)(char *, const unsigned char *, uint32_t);
	uint64_t (*big)(const unsigned char *, uint32_t);
};

#if defined(__x86_64__) || defined(__i386__)
// Eight bytes' digit pairs, high digit first, spelled by one table row:
// which of the eight are under 16, and so lose their high digit, picks the
// row. A row's shuffles take each kept digit from the pairs into the first
// 16 and the next 8 chars, and leave a zero where a space goes.
struct spelling {
	std::array<uint8_t, 16> first, next;
};
static_assert(sizeof(spelling) == 32, "a row is two shuffles");

static constexpr auto spellings = [] {
	std::array<spelling, 256> t{};
	for (size_t k = 0; k < 256; k++) {
		std::array<uint8_t, 32> src{};
		src.fill(0x80); // a zero: a space, or past the end
		size_t n = 0;
		for (uint8_t i = 0; i < 8; i++, n++) {
			if (!(k >> i & 1))
				src[n++] = static_cast<uint8_t>(2 * i);
			src[n++] = static_cast<uint8_t>(2 * i + 1);
		}
		std::copy_n(src.begin(), 16, t[k].first.begin());
		std::copy_n(src.begin() + 16, 16, t[k].next.begin());
	}
	return t;
}();

// The length of each row's spelling: 3 chars a byte, 2 under 16.
static constexpr auto spelled = [] {
	std::array<uint8_t, 256> t{};
	for (size_t k = 0; k < 256; k++)
		t[k] = static_cast<uint8_t>(24 - std::popcount(k));
	return t;
}();

// Every digit is above a space, and so the zeros of a shuffle become
// spaces and the digits stay.
__attribute__((target("avx"))) static char *
spell8(char *o, __m128i pairs, unsigned k)
{
	const __m128i space = _mm_set1_epi8(' ');
	const auto *row = reinterpret_cast<const __m128i *>(&spellings[k]);
	_mm_storeu_si128(
	    reinterpret_cast<__m128i *>(o),
	    _mm_max_epu8(_mm_shuffle_epi8(pairs, _mm_loadu_si128(row)), space));
	_mm_storeu_si128(
	    reinterpret_cast<__m128i *>(o + 16),
	    _mm_max_epu8(_mm_shuffle_epi8(pairs, _mm_loadu_si128(row + 1)),
			 space));
	return o + spelled[k];
}

// k full lines without a label, 16 bytes a step: every byte's two digits
// at once, then the eight-byte rows close them up. The instructions are
// the processor's three-operand (AVX) forms, which spare the copies the
// two-operand ones need.
__attribute__((target("avx"))) static char *
linesvector(char *o, const unsigned char *p, uint32_t k)
{
	const __m128i hex =
	    _mm_loadu_si128(reinterpret_cast<const __m128i *>(digits));
	const __m128i low = _mm_set1_epi8(15);
	for (; k > 0; k--, p += 16) {
		__m128i v =
		    _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
		__m128i hi = _mm_shuffle_epi8(
		    hex, _mm_and_si128(_mm_srli_epi16(v, 4), low));
		__m128i lo = _mm_shuffle_epi8(hex, _mm_and_si128(v, low));
		auto small =
		    static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
			_mm_andnot_si128(low, v), _mm_setzero_si128())));
		*o++ = ':';
		*o++ = ' ';
		o = spell8(o, _mm_unpacklo_epi8(hi, lo), small & 255);
		o = endline(spell8(o, _mm_unpackhi_epi8(hi, lo), small >> 8));
	}
	return o;
}

// The bytes above 15 among the n at p, 16 a step: a lane's count goes up
// by one for each byte under 16 in it, for up to 255 steps, and then the
// lanes are summed.
__attribute__((target("avx"))) static uint64_t
bigvector(const unsigned char *p, uint32_t n)
{
	const __m128i high = _mm_set1_epi8(static_cast<char>(0xf0));
	uint64_t small = 0;
	uint32_t i = 0;
	while (i + 16 <= n) {
		__m128i lanes = _mm_setzero_si128();
		for (int k = 0; k < 255 && i + 16 <= n; k++, i += 16) {
			__m128i v = _mm_loadu_si128(
			    reinterpret_cast<const __m128i *>(p + i));
			lanes = _mm_sub_epi8(
			    lanes, _mm_cmpeq_epi8(_mm_and_si128(v, high),
						  _mm_setzero_si128()));
		}
		__m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
		small += static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) +
			 static_cast<uint32_t>(
			     _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
	}
	return i - small + bigplain(p + i, n - i);
}

#ifdef __x86_64__
// The 64-byte path is for 64-bit programs only: a 32-bit one has a quarter
// of the registers for it, and the 32-bit Windows program is tested under
// an emulator that has no AVX-512.

// A lookup takes an index's low six bits: the digits four times over
// spell the low four whatever the two above them hold.
static constexpr auto widedigits = [] {
	std::array<char, 64> t{};
	for (size_t i = 0; i < 64; i++)
		t[i] = digits[i & 15];
	return t;
}();

// One line's 64 places, the 52 it uses in order: ": ", each byte's high
// digit, low digit and space, CR LF. Which byte's digits each place takes,
// what a place that is not a digit holds, and which places are digits.
static constexpr auto wideplaces = [] {
	std::array<uint8_t, 64> t{};
	for (uint8_t i = 0; i < 16; i++)
		t[2 + 3 * i] = t[3 + 3 * i] = i;
	return t;
}();

static constexpr auto wideframe = [] {
	std::array<char, 64> t{};
	t[0] = ':';
	for (size_t i = 0; i < 16; i++)
		t[1 + 3 * i] = ' ';
	t[49] = ' ';
	t[50] = '\r';
	t[51] = '\n';
	return t;
}();

constexpr uint64_t highdigits = [] {
	uint64_t m = 0;
	for (int i = 0; i < 16; i++)
		m |= uint64_t{1} << (2 + 3 * i);
	return m;
}();
constexpr uint64_t lowdigits = highdigits << 1;
constexpr uint64_t lineplaces = (1ull << 52) - 1;

// k full lines without a label, a line a step with 64-byte registers: each
// byte goes to its two digit places, the high ones shifted down, all are
// spelled by one table lookup into the frame of the line, and one compress
// closes up the high digits of bytes under 16 and the places past the end.
__attribute__((
    target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt"))) static char *
lineswide(char *o, const unsigned char *p, uint32_t k)
{
	const __m512i places = _mm512_loadu_si512(wideplaces.data());
	const __m512i frame = _mm512_loadu_si512(wideframe.data());
	const __m512i hex = _mm512_loadu_si512(widedigits.data());
	const __m512i high = _mm512_set1_epi8(static_cast<char>(0xf0));
	for (; k > 0; k--, p += 16) {
		__m512i v = _mm512_maskz_permutexvar_epi8(
		    ~__mmask64{0}, places,
		    _mm512_zextsi128_si512(
			_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))));
		__m512i nibbles = _mm512_mask_blend_epi8(
		    highdigits, v, _mm512_srli_epi16(v, 4));
		__m512i line = _mm512_mask_permutexvar_epi8(
		    frame, highdigits | lowdigits, nibbles, hex);
		__mmask64 keep =
		    _mm512_mask_test_epi8_mask(highdigits, v, high) |
		    (lineplaces & ~highdigits);
		_mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, line));
		o += std::popcount(keep);
	}
	return o;
}

// The bytes above 15 among the n at p, 64 a step, the last step's load
// masked to the bytes that are there.
__attribute__((target("avx512f,avx512bw,popcnt"))) static uint64_t
bigwide(const unsigned char *p, uint32_t n)
{
	const __m512i high = _mm512_set1_epi8(static_cast<char>(0xf0));
	uint64_t big = 0;
	uint32_t i = 0;
	for (; i + 64 <= n; i += 64)
		big += static_cast<unsigned>(std::popcount(
		    _mm512_test_epi8_mask(_mm512_loadu_si512(p + i), high)));
	__mmask64 rest = (1ull << (n - i)) - 1;
	return big + static_cast<unsigned>(std::popcount(_mm512_test_epi8_mask(
			 _mm512_maskz_loadu_epi8(rest, p + i), high)));
}
#endif

#if defined(__GLIBC__) && !defined(__clang__)
// The C library's loader has asked the processor already: asking again
// costs a trap to the hypervisor per question in a virtual machine, some
// microseconds each, which a short run would notice. (clang's C++ can't
// read the C library's header, and asks again.)
#define cpuhas(a, b) CPU_FEATURE_ACTIVE(a)
#else
#define cpuhas(a, b) __builtin_cpu_supports(b)
#endif
#endif

// The widest step this processor takes: 64-byte registers with a byte
// compress, else 16-byte ones in three-operand form, else a byte.
static unsigned
widest()
{
#ifdef __x86_64__
	if (cpuhas(AVX512BW, "avx512bw") && cpuhas(AVX512_VBMI, "avx512vbmi") &&
	    cpuhas(AVX512_VBMI2, "avx512vbmi2") && cpuhas(POPCNT, "popcnt"))
		return 64;
#endif
#if defined(__x86_64__) || defined(__i386__)
	if (cpuhas(AVX, "avx"))
		return 16;
#endif
	return 1;
}

static const path paths[] = {
#ifdef __x86_64__
    {64, lineswide, bigwide},
#endif
#if defined(__x86_64__) || defined(__i386__)
    {16, linesvector, bigvector},
#endif
    {1, linesplain, bigplain},
};

// The widest a step may be; a test narrows it.
static unsigned most = 64;

static const path *
widestupto(unsigned width)
{
	const path *p = paths;
	while (p->width > width || p->width > widest())
		p++;
	return p;
}

unsigned
listingwidth(unsigned width)
{
	most = width;
	return widestupto(most)->width;
}

static bool
flush(FILE *f, char *end)
{
	auto n = static_cast<size_t>(end - blk);
	return fwrite(blk, 1, n, f) == n;
}

bool
writelisting(FILE *f, uint32_t skp, uint32_t len, uint32_t add)
{
	const unsigned char *p = buf + skp;
	char *o = blk;
	const path *use = widestupto(most);
	advise(len);

	// The first line and every line that starts on a 4 KiB boundary of
	// the target carry the address of their first byte; they, and a short
	// last line, are spelled one at a time, the full lines between them
	// all at once. Lines start on such a boundary only if the first starts
	// on a 16-byte one.
	for (bool first = true; len > 0; first = false) {
		uint32_t n = len < 16 ? len : 16;
		if (first || (add & 0xfff) == 0) {
			o = putaddr(o, add);
		} else {
			*o++ = ':';
			*o++ = ' ';
		}
		o = endline(putbytes(o, p, n));
		p += n;
		add += n;
		len -= n;
		uint32_t k = len / 16;
		if ((add & 15) == 0)
			k = std::min(k, ((0x1000 - add) & 0xfff) / 16);
		k = std::min(
		    k, static_cast<uint32_t>(
			   static_cast<size_t>(blk + block - o) / linemax));
		o = use->lines(o, p, k);
		p += size_t{16} * k;
		add += 16 * k;
		len -= 16 * k;
		if (o > blk + block - linemax) {
			if (!flush(f, o))
				return false;
			o = blk;
		}
	}
	return flush(f, o);
}

uint64_t
listinglen(uint32_t skp, uint32_t len, uint32_t add)
{
	// Every byte takes a digit and a space, and one more digit from 16
	// on; every line ": " and CR LF, and a label "0" and its digits more.
	if (len == 0)
		return 0;
	uint64_t n = 2 * uint64_t{len} + 4 * ((uint64_t{len} + 15) / 16) +
		     widestupto(most)->big(buf + skp, len) + 2 +
		     static_cast<unsigned>(topshift(add)) / 4;
	// Later lines start on a 4 KiB boundary only if the first line starts
	// on a 16-byte one.
	for (uint64_t at = 0x1000 - (add & 0xfff); (add & 15) == 0 && at < len;
	     at += 0x1000)
		n += 2 + static_cast<unsigned>(
			     topshift(add + static_cast<uint32_t>(at))) /
			     4;
	return n;
}
