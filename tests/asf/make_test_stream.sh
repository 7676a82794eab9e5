#!/usr/bin/env bash
# Records a live-style ASF stream (WMV2 video + WMA v2 audio, asfmux streamable) to a file.
# Usage: make_test_stream.sh OUT SECONDS [KEY_SECONDS PACKET_SIZE]
# Encoder settings are the 768 kbps profile's: 704 kbps 320x240 30 fps video, 64 kbps
# 44.1 kHz stereo audio. The picture is a moving test card with a patch of noise, so the
# encoder really spends about the profile's bit rate (a still card compresses to far less).
# identity single-segment: the encoder's output otherwise carries timestamps from 1000 hours on.
set -euo pipefail
out=$1 seconds=$2 keysec=${3:-3} psize=${4:-4800}
frames=$((seconds * 30))
blocks=$((seconds * 44100 / 1024 + 1))
caps="video/x-raw,width=320,height=240,framerate=30/1"
gst-launch-1.0 -q \
  compositor name=picture ! "$caps" ! videoconvert \
  ! avenc_wmv2 bitrate=704000 gop-size=$((keysec * 30)) ! identity single-segment=true ! queue ! mux. \
  videotestsrc num-buffers="$frames" pattern=smpte horizontal-speed=4 ! "$caps" ! picture.sink_0 \
  videotestsrc num-buffers="$frames" pattern=snow ! "video/x-raw,width=76,height=76,framerate=30/1" ! picture.sink_1 \
  audiotestsrc num-buffers="$blocks" samplesperbuffer=1024 wave=ticks \
  ! "audio/x-raw,rate=44100,channels=2" ! audioconvert ! avenc_wmav2 bitrate=64000 ! queue ! mux. \
  asfmux name=mux streamable=true packet-size="$psize" ! filesink location="$out"
