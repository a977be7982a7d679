#!/bin/sh
# Runs Ombrix in the foreground on the given folders: ./run.sh FOLDER...
#
# Installs what is missing, builds a release tree, prepares the service home
# ($DLNAHOME when set, else ./var in this checkout) with the diff tool placed
# in it as the executable "diff", and runs "Ombrix 4 FOLDER..." until Ctrl-C.
# With no folder it catalogues a small demo library that it makes with ffmpeg
# under the service home. OMBRIX_LOG_LEVEL (0-6, default 4) sets the log
# threshold; JOBS the build's parallel jobs.
set -eu

# Folders and DLNAHOME may be given relative to where the user stands; make
# them absolute before changing into the checkout.
here=$PWD
absolute() {
    case $1 in
        /*) printf '%s\n' "$1" ;;
        *) printf '%s\n' "$here/$1" ;;
    esac
}
n=$#
while [ "$n" -gt 0 ]; do
    folder=$(absolute "$1")
    shift
    set -- "$@" "$folder"
    n=$((n - 1))
done

cd "$(dirname "$0")"
checkout=$PWD

./scripts/install-deps.sh

build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DOMBRIX_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target Ombrix >/dev/null

if [ -n "${DLNAHOME:-}" ]; then
    home=$(absolute "$DLNAHOME")
else
    home=$checkout/var
fi
mkdir -p "$home/nstemp"

# The service compares snapshots with "$DLNAHOME/diff", which must write the
# normal diff format; GNU diff does.
diff_tool=$(command -v diff)
if ! "$diff_tool" --version 2>/dev/null | grep -q GNU; then
    echo "warning: $diff_tool is not GNU diff; changes may go unnoticed" >&2
fi
ln -sf "$diff_tool" "$home/diff"

# A few songs with tags, two photos and a short video, made once.
make_demo() {
    demo=$1
    music="$demo/Music/The Ombrix Trio/Morning Light"
    mkdir -p "$music" "$demo/Photos" "$demo/Videos"
    echo "Making a demo library in $demo"
    track=1
    for title in Sunrise Daybreak Noon; do
        ffmpeg -nostdin -hide_banner -loglevel error -y \
            -f lavfi -i "sine=frequency=$((220 * track)):duration=5" \
            -metadata title="$title" -metadata artist="The Ombrix Trio" \
            -metadata album="Morning Light" -metadata genre="Ambient" \
            -metadata track="$track" -b:a 128k "$music/0$track $title.mp3"
        track=$((track + 1))
    done
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "sine=frequency=330:duration=4" \
        -metadata title="Evening" -metadata artist="Solo Voice" \
        -metadata album="Night Songs" -metadata genre="Folk" "$demo/Music/Evening.flac"
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc=size=1024x768" -frames:v 1 "$demo/Photos/Test Card.jpg"
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "mandelbrot=size=640x480" -frames:v 1 "$demo/Photos/Mandelbrot.png"
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc=size=720x576:rate=25:duration=4" \
        -f lavfi -i "sine=frequency=440:duration=4" \
        -c:v mpeg2video -b:v 2M -c:a mp2 -b:a 192k -shortest "$demo/Videos/Test Pattern.mpg"
}

if [ "$#" -eq 0 ]; then
    if [ ! -d "$home/demo" ]; then
        make_demo "$home/demo"
    fi
    set -- "$home/demo"
fi

for folder in "$@"; do
    [ -d "$folder" ] || echo "warning: $folder is not a directory; Ombrix will leave it out" >&2
done

db=$home/nstemp/daskor.db
log=$home/nstemp/Ombrix.log
show_where() {
    cat <<EOF

Catalogue: $db
Log:       $log
Look at it with:
  sqlite3 -header -column '$db' 'select ID, PARENT_ID, TYPE, PATH from OBJECTS order by ID;'
  sqlite3 -header -column '$db' 'select o.FILE_NAME, d.A_ARTIST, d.A_ALBUM, d.A_GENRE, d.AV_DURATION, d.IV_WIDTH, d.IV_HEIGHT, o.DETAILS from OBJECTS o join FILEDETAIL d on d.ID = o.ID;'
  sqlite3 -header -column '$db' 'select * from ALBUMMAP; select * from ARTISTMAP; select * from GENREMAP;'
EOF
}

show_where
echo
echo "Running Ombrix on: $*"
echo "It checks the folders every 15 seconds (files changed in the last minutes"
echo "are watched for a few seconds first). Press Ctrl-C to stop."

# Ctrl-C is for Ombrix, which stops in order; the script goes on to the summary.
trap ':' INT TERM
status=0
DLNAHOME=$home "$build/Ombrix" "${OMBRIX_LOG_LEVEL:-4}" "$@" || status=$?
trap - INT TERM
echo
echo "Ombrix stopped (status $status). Catalogued objects:"
sqlite3 "$db" 'select TYPE, PATH from OBJECTS order by ID;' 2>/dev/null || true
show_where
exit "$status"
