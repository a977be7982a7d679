#!/bin/bash
# Makes the media files the tests read, once per run, into the folder $1 of
# the build tree (CTest runs this as the fixture MakeMedia before the tests).
# Every file is made here with ffmpeg from its generators; nothing comes
# from files of unknown origin. Files whose bytes matter byte by byte are
# built by the tests themselves.
#
# The folder is kept while this script is unchanged, so a second run in the
# same tree makes nothing.
# shellcheck disable=SC2046
set -eu
out=$1
stamp=$(cksum <"$0")
[ "$(cat "$out/.stamp" 2>/dev/null)" = "$stamp" ] && exit 0
rm -rf "$out" "$out.part"
mkdir -p "$out.part"

# A stereo tone of exactly 2 s, one still frame of a size (RGB, so an odd
# size is not rounded), a clip of ten frames with as much silence. frame and
# clip print ffmpeg arguments, which are meant to be split into words (hence
# the file-wide SC2046 exception at the top).
tone=(-f lavfi -i sine=f=440:d=2:r=44100 -ac 2)
tags=(-metadata title=Song -metadata artist=Björk -metadata album=Record -metadata genre=Rock)
frame() { echo "-f lavfi -i color=c=gray:s=$1,format=rgb24 -frames:v 1"; }
clip() { echo "-f lavfi -i testsrc=d=0.4:r=25:s=$1 -f lavfi -i anullsrc=r=8000:cl=mono -t 0.4 -shortest"; }

# Runs one ffmpeg per file, as many at a time as there are processors.
names=()
make() {
  local name=$1
  shift
  names+=("$name")
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  ffmpeg -nostdin -hide_banner -loglevel error -y "$@" "$out.part/tmp.$name" &&
    mv "$out.part/tmp.$name" "$out.part/$name" &
}

make tagged.mp3 "${tone[@]}" "${tags[@]}"
make bare.mp3 "${tone[@]}" -map_metadata -1 -id3v2_version 0
make encoder-only.mp3 "${tone[@]}" -map_metadata -1
# MPEG-2 Layer III at 22.05 kHz, MPEG-2.5 Layer III at 8 kHz.
for rate in 22050 8000; do make "rate$rate.mp3" -f lavfi -i sine=f=440:d=2:r=$rate -ac 2; done
make tagged.flac "${tone[@]}" "${tags[@]}"
make tagged.ogg "${tone[@]}" "${tags[@]}" -c:a libvorbis
make wav.wav "${tone[@]}"
make raw.pcm "${tone[@]}" -f s16le
make bare.wma "${tone[@]}" -c:a wmav2 -map_metadata -1
for rate in 192k 256k 320k; do make "rate$rate.wma" "${tone[@]}" -c:a wmav2 -b:a $rate; done
make long.wma -f lavfi -i anullsrc=r=44100:cl=mono -t 62.5 -c:a wmav2 -metadata title=Halo \
  -metadata artist=Beyoncé -metadata "album=I Am" -metadata genre=Pop -metadata track=7/12
for size in 48x48 640x480 4097x100; do make "$size.jpg" $(frame $size); done
for size in 120x120 5000x10; do make "$size.png" $(frame $size); done
for ext in bmp gif tif; do make "photo.$ext" $(frame 64x48); done
make ntsc.mpg $(clip 720x480) -c:v mpeg2video -c:a mp2 -f vob
make pal.mpg $(clip 720x576) -c:v mpeg2video -c:a mp2 -f vob
make mpeg1.mpeg $(clip 352x240) -c:v mpeg1video -c:a mp2 -f mpeg
make hd-ts.mpg $(clip 1920x1080) -c:v mpeg2video -c:a mp2 -f mpegts
make sd-ts.mpg $(clip 720x480) -c:v mpeg2video -c:a mp2 -f mpegts
# H.264, whose frame size only the stream gives (a camcorder's recording).
make h264-ts.mpg $(clip 1280x720) -c:v libx264 -preset ultrafast -c:a mp2 -f mpegts
# 192-byte packets, each behind a time stamp.
make sd-m2ts.mpg $(clip 720x480) -c:v mpeg2video -c:a mp2 -f mpegts -mpegts_m2ts_mode 1
# Plain grey for 2 s: the rate stays far below the first WMV bound.
make clip.wmv -f lavfi -i color=c=gray:s=176x144:d=2:r=25 -f lavfi -i anullsrc=r=8000:cl=mono \
  -t 2 -c:v wmv2 -b:v 64k -c:a wmav2 -b:a 32k
for ext in avi mp4 mkv mov; do make "clip.$ext" $(clip 352x240) -c:v mpeg4; done
make clip.rm $(clip 352x240) -c:v rv10 -c:a ac3
wait

for name in "${names[@]}"; do
  [ -s "$out.part/$name" ] || { echo "ffmpeg could not make $name" >&2; exit 1; }
done
echo "$stamp" >"$out.part/.stamp"
mv "$out.part" "$out"
