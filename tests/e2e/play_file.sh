#!/usr/bin/env bash
# End to end: the real binary plays a file on SDL's disk audio driver; the captured sound is
# measured with sox (length, frequency and level), and what it would speak is checked. A corrupt file
# gives the failure message and a non-zero exit.
set -euo pipefail
bin="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -hide_banner -loglevel error -f lavfi \
  -i "aevalsrc=0.5*sin(2*PI*1000*t)|0.5*sin(2*PI*1000*t):s=44100:d=2" "$work/tone.flac"

export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/out.raw"
out=$(timeout 20 "$bin" "$work/tone.flac")
echo "$out"
grep -qx "Playing tone.flac (0:02)" <<<"$out" || { echo "FAIL: announcement missing"; exit 1; }

# The sounding part (silence trimmed at both ends) of the left channel, measured by sox.
stats=$(sox -t raw -r 44100 -e floating-point -b 32 -c 2 "$work/out.raw" -n remix 1 \
  silence 1 1 0.1% reverse silence 1 1 0.1% reverse stat 2>&1)
value() { awk -F: -v k="$1" '$1 ~ k {gsub(/ /, "", $2); print $2}' <<<"$stats"; }
secs=$(value "Length"); rms=$(value "RMS +amplitude"); freq=$(value "Rough +frequency")
echo "captured: ${secs} s of sound, about ${freq} Hz, RMS ${rms}"
awk -v f="$freq" 'BEGIN { exit !(f >= 995 && f <= 1005) }' || { echo "FAIL: frequency $freq"; exit 1; }
# A 0.5 peak sine has an RMS of 0.354.
awk -v r="$rms" 'BEGIN { exit !(r > 0.350 && r < 0.357) }' || { echo "FAIL: level $rms"; exit 1; }
awk -v s="$secs" 'BEGIN { exit !(s > 1.99 && s < 2.01) }' || { echo "FAIL: length $secs"; exit 1; }

# A corrupt file: the reason is printed and the exit code is not 0.
head -c 4000 /dev/urandom > "$work/broken.mp3"
set +e
msg=$(timeout 20 "$bin" "$work/broken.mp3" 2>&1)
code=$?
set -e
echo "$msg"
[ "$code" -ne 0 ] || { echo "FAIL: corrupt file exited 0"; exit 1; }
grep -q "Cannot play file:" <<<"$msg" || { echo "FAIL: no failure message"; exit 1; }
echo "e2e play_file: ok"
