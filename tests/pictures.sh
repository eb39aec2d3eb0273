#!/bin/sh
# The picture conversion judged by two tools nobody here wrote. ImageMagick
# makes real picture files in each flavour users meet (headers of 12, 40
# and 124 bytes: pixels at 1a, 36 and 8a), and ffmpeg's bit-exact
# conversion to 5-6-5 must give the very bytes the tool gives; turned back
# into a picture by ffmpeg, the result must be the source reduced to 5-6-5,
# upright. A picture 320 pixels wide, or of 32 bits a pixel, is refused.
# Skipped (status 77) where the tools are missing, but not in CI.
# Usage: tests/pictures.sh [emulator...] /path/to/loadprep
set -eu
tool=$*
if ! convert -version 2>/dev/null | grep -q ImageMagick || ! command -v ffmpeg >/dev/null; then
	echo "pictures: skipped: needs ImageMagick and ffmpeg (apt-get install imagemagick ffmpeg)"
	[ -z "${CI:-}" ] || exit 1
	exit 77
fi
dir=$(mktemp -d /tmp/loadprep-pictures-XXXXXX)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

fail() {
	echo "pictures: FAILED: $*"
	exit 1
}

# A picture's pixels, one a line, each channel cut to its 5-6-5 bits.
reduced() {
	ffmpeg -v error -i "$1" -f rawvideo -pix_fmt rgb24 - | od -An -v -tu1 -w3 |
		awk '{ print int($1 / 8), int($2 / 4), int($3 / 8) }'
}

n=0
for source in "-seed 7 plasma:fractal" gradient:red-blue rose: logo:; do
	n=$((n + 1))
	convert -size 256x192 $source -resize '256x192!' -type truecolor -depth 8 src$n.png
	for flavour in "bmp2 1a" "bmp3 36" "bmp 8a"; do
		set -- $flavour
		pic=$n-$1
		convert src$n.png -type truecolor "$1:$pic.bmp"
		$tool $pic.bmp $pic.img 0 "$2" 0 raw pic >/dev/null || fail "$pic.bmp not converted"
		ffmpeg -v error -i $pic.bmp -sws_flags neighbor+bitexact -f rawvideo -pix_fmt rgb565le $pic.raw
		cmp $pic.img $pic.raw || fail "$pic.bmp: other bytes than ffmpeg's"
		for again in 1 2; do # the preview line as documented, pasted twice
			ffmpeg -v error -y -f rawvideo -pixel_format rgb565le -video_size 256x192 -i $pic.img -frames:v 1 -update 1 $pic.png </dev/null || fail "the preview line, run $again times"
		done
		[ "$(reduced $pic.png)" = "$(reduced $pic.bmp)" ] || fail "$pic.img is not the source picture"
		echo "pictures: $pic.bmp (skp $2) converts as ffmpeg converts it, and back"
	done
done

convert rose: -resize '320x192!' -type truecolor bmp3:wide.bmp
convert rose: -resize '256x192!' -alpha set -type truecoloralpha alpha.bmp
for refused in "wide.bmp 36 320 pixels wide" "alpha.bmp 8a 32 bits a pixel"; do
	set -- $refused
	file=$1 skp=$2
	shift 2
	out=$($tool $file refused.img 0 "$skp" 0 raw pic) && fail "$file converted"
	echo "$out" | grep -q "^Can't Convert '$file': $*; " || fail "$file: $out"
	echo "pictures: $file refused: $*"
done
