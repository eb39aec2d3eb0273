// The listing's full lines spelled 16 bytes a step on x86 processors with
// AVX: every byte's two digits at once, then two table shuffles close up
// the high digits of bytes under 16. The plain way in listing.cpp spells
// the same bytes a byte at a time; this one takes a third of the time.
#include "listing/spell.h"

#include <algorithm>
#include <array>
#include <bit>
#include <immintrin.h>
#if __has_include(<sys/platform/x86.h>) && !defined(__clang__)
#include <sys/platform/x86.h>
#endif

static constexpr char digits[] = "0123456789abcdef";

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

// The instructions are the processor's three-operand (AVX) forms, which
// spare the copies the two-operand ones need.
__attribute__((target("avx"))) char *
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
		o = spell8(o, _mm_unpackhi_epi8(hi, lo), small >> 8);
		*o++ = '\r';
		*o++ = '\n';
	}
	return o;
}

// A lane's count goes up by one for each byte under 16 in it, for up to
// 255 steps, before it would wrap, and then the lanes are summed. The
// last bytes short of a step are counted one by one.
__attribute__((target("avx"))) uint64_t
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
	for (; i < n; i++)
		small += p[i] < 16;
	return n - small;
}

// The C library's loader has asked the processor already: asking again
// costs a trap to the hypervisor in a virtual machine, some microseconds,
// which a short run would notice. Elsewhere (clang, whose C++ can't read
// that header, or another C library) the compiler's runtime asks.
bool
vectorready()
{
#if __has_include(<sys/platform/x86.h>) && !defined(__clang__)
	return CPU_FEATURE_ACTIVE(AVX);
#else
	return __builtin_cpu_supports("avx");
#endif
}
