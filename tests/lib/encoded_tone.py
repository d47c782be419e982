"""A steady tone encoded by ffmpeg the way a far end sends it: one payload
per 20 ms packet, as Opus (48 kHz stereo), G.722 (16 kHz) or G.711 µ-law
(8 kHz). The payload type numbers and RTP clock rates are those an offer
gives them."""

import subprocess

# codec: (payload type, RTP clock rate, SDP rtpmap)
CODECS = {
    "opus": (96, 48000, "opus/48000/2"),
    "g722": (9, 8000, "G722/8000"),
    "pcmu": (0, 8000, "PCMU/8000"),
}

# ffmpeg's encoder, sample rate, channels and output format of each codec.
_FFMPEG = {
    "opus": ["-c:a", "libopus", "-ar", "48000", "-ac", "2", "-b:a", "64k", "-frame_duration", "20",
             "-application", "audio", "-f", "ogg"],
    "g722": ["-c:a", "g722", "-ar", "16000", "-ac", "1", "-f", "g722"],
    "pcmu": ["-c:a", "pcm_mulaw", "-ar", "8000", "-ac", "1", "-f", "mulaw"],
}

# Bytes of 20 ms of the codecs whose payload is a fixed rate.
_FRAME_BYTES = {"g722": 160, "pcmu": 160}


def frames(codec, freq, level, seconds):
    """The 20 ms payloads of a sine of freq Hz lasting seconds, encoded as
    codec; level is its peak in 16-bit sample units."""
    sine = "%.6f*sin(2*PI*%g*t)" % (level / 32768.0, freq)
    # The tone on each of the codec's channels, none mixed down or up.
    channels = 2 if codec == "opus" else 1
    source = "aevalsrc=%s:s=48000:d=%g" % ("|".join([sine] * channels), seconds)
    out = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", source,
                          *_FFMPEG[codec], "-"], capture_output=True, check=True).stdout
    if codec == "opus":
        return ogg_packets(out)[2:]    # after the identification and comment headers
    size = _FRAME_BYTES[codec]
    return [out[i:i + size] for i in range(0, len(out) - size + 1, size)]


def ogg_packets(data):
    """The packets of an Ogg stream of one logical bitstream, in order."""
    packets, partial, pos = [], b"", 0
    while pos < len(data):
        if data[pos:pos + 4] != b"OggS":
            raise ValueError("no Ogg page at byte %d" % pos)
        count = data[pos + 26]
        lacing = data[pos + 27:pos + 27 + count]
        pos += 27 + count
        for size in lacing:
            partial += data[pos:pos + size]
            pos += size
            if size < 255:
                packets.append(partial)
                partial = b""
    return packets


def sdp_formats(codecs):
    """The m= line's payload types and the rtpmap lines of the codecs."""
    pts = " ".join(str(CODECS[c][0]) for c in codecs)
    maps = "".join("a=rtpmap:%d %s\r\n" % (CODECS[c][0], CODECS[c][2]) for c in codecs)
    return pts, maps

