#!/usr/bin/env python3
"""Generates the bundled demo: demo/*.wav and demo/demo.ktb.

Plain Python 3, standard library only (no numpy).  Every sound is synthesised here from a
fixed random seed, so a run always writes the same bytes:

  drums   kick, snare, closed and open hi-hat, high and low tom, crash (stereo)
  guitar  strummed chords by Karplus-Strong plucked strings with a little drive
  bass    plucked notes, stored as mono IMA ADPCM WAVs (encoded here)
  pads    detuned saw chords, stored as stereo IMA ADPCM WAVs
  others  bells (FM, 22050 Hz), lead notes, claps, shaker, tambourine, cowbell, rim,
          snap, chord stab, riser, reverse cymbal, boom

The chart is a song in A minor: intro, verse, verse with lead, a bridge in 3/4 (bar length
0.75), and a faster chorus (tempo change), written as patterns per section.  After writing,
the script measures each IMA ADPCM sound against its source (through the encoder's own
decoding), then checks the chart with the viewer's own code: ktbdump reads it as the viewer
does (lengths, tempos, note counts, a sound for every note), and ktbrender loads every sound
with the viewer's loader and renders the whole chart to a WAV file to check levels.  Both are
run from build/x64 through tools/winerun.sh (brought up to date first; KTB_BUILD_DIR names
another build folder).

    python3 tools/make_demo.py [--out DIR] [--mix /tmp/demo_mix.wav] [--no-mix]
"""

import math
import os
import random
import shutil
import struct
import subprocess
import sys
from array import array
from fractions import Fraction

SR = 44100
TWO_PI = 2.0 * math.pi


def midi_hz(m):
    return 440.0 * 2.0 ** ((m - 69) / 12.0)


# ---------------------------------------------------------------------------
# Small DSP kit on Python lists
# ---------------------------------------------------------------------------

def zeros(seconds, rate=SR):
    return [0.0] * int(seconds * rate)


def noise(n, rng):
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


def lowpass1(x, fc, rate=SR):
    a = math.exp(-TWO_PI * fc / rate)
    b = 1.0 - a
    y = 0.0
    out = [0.0] * len(x)
    for i, v in enumerate(x):
        y = b * v + a * y
        out[i] = y
    return out


def highpass1(x, fc, rate=SR):
    lp = lowpass1(x, fc, rate)
    return [a - b for a, b in zip(x, lp)]


def biquad(x, kind, f0, q, rate=SR):
    """RBJ cookbook biquad: kind 'lp', 'hp' or 'bp' (constant peak gain)."""
    w = TWO_PI * f0 / rate
    cw, sw = math.cos(w), math.sin(w)
    alpha = sw / (2.0 * q)
    if kind == 'lp':
        b0, b1, b2 = (1 - cw) / 2, 1 - cw, (1 - cw) / 2
    elif kind == 'hp':
        b0, b1, b2 = (1 + cw) / 2, -(1 + cw), (1 + cw) / 2
    else:
        b0, b1, b2 = alpha, 0.0, -alpha
    a0, a1, a2 = 1 + alpha, -2 * cw, 1 - alpha
    b0, b1, b2, a1, a2 = b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0
    x1 = x2 = y1 = y2 = 0.0
    out = [0.0] * len(x)
    for i, v in enumerate(x):
        y = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2
        x2, x1 = x1, v
        y2, y1 = y1, y
        out[i] = y
    return out


def sweep_bandpass(x, f_start, f_end, q, rate=SR):
    """Band-pass whose centre glides exponentially from f_start to f_end."""
    n = len(x)
    out = [0.0] * n
    x1 = x2 = y1 = y2 = 0.0
    block = 32
    for s in range(0, n, block):
        f0 = f_start * (f_end / f_start) ** (s / float(n))
        w = TWO_PI * f0 / rate
        cw, sw = math.cos(w), math.sin(w)
        alpha = sw / (2.0 * q)
        a0 = 1 + alpha
        b0, b2 = alpha / a0, -alpha / a0
        a1, a2 = -2 * cw / a0, (1 - alpha) / a0
        for i in range(s, min(n, s + block)):
            v = x[i]
            y = b0 * v + b2 * x2 - a1 * y1 - a2 * y2
            x2, x1 = x1, v
            y2, y1 = y1, y
            out[i] = y
    return out


def mul_env(x, env):
    return [a * b for a, b in zip(x, env)]


def exp_env(n, tau, rate=SR, attack=0.0):
    na = int(attack * rate)
    out = [0.0] * n
    for i in range(n):
        t = i / float(rate)
        a = math.exp(-t / tau)
        if i < na:
            a *= i / float(na)
        out[i] = a
    return out


def fade_edges(x, fade_in=0.001, fade_out=0.02, rate=SR):
    """Short fades so that no sound starts or ends with a click."""
    n = len(x)
    fi = min(n, int(fade_in * rate))
    fo = min(n, int(fade_out * rate))
    for i in range(fi):
        x[i] *= i / float(fi)
    for i in range(fo):
        x[n - 1 - i] *= 0.5 - 0.5 * math.cos(math.pi * i / float(fo))
    return x


def add_into(dst, src, offset=0, gain=1.0):
    n = min(len(src), len(dst) - offset)
    for i in range(n):
        dst[offset + i] += src[i] * gain
    return dst


def normalise(x, peak):
    m = max(abs(v) for v in x) or 1.0
    g = peak / m
    return [v * g for v in x]


def normalise_stereo(l, r, peak):
    m = max(max(abs(v) for v in l), max(abs(v) for v in r)) or 1.0
    g = peak / m
    return [v * g for v in l], [v * g for v in r]


def soft_clip(x, drive):
    k = math.tanh(drive)
    return [math.tanh(drive * v) / k for v in x]


def square_osc(n, freq, rate=SR):
    inc = freq / rate
    ph = 0.0
    out = [0.0] * n
    for i in range(n):
        out[i] = 1.0 if ph < 0.5 else -1.0
        ph += inc
        if ph >= 1.0:
            ph -= 1.0
    return out


# ---------------------------------------------------------------------------
# Drums
# ---------------------------------------------------------------------------

def make_kick(rng):
    n = int(0.45 * SR)
    out = [0.0] * n
    ph = 0.0
    click = highpass1(noise(int(0.006 * SR), rng), 2000.0)
    for i in range(n):
        t = i / float(SR)
        f = 46.0 + 120.0 * math.exp(-t / 0.035)
        ph += TWO_PI * f / SR
        amp = math.exp(-t / 0.13)
        v = math.sin(ph) * amp
        if i < len(click):
            v += 0.35 * click[i] * math.exp(-t / 0.0015)
        out[i] = v
    out = soft_clip(out, 1.6)
    return fade_edges(normalise(out, 0.82), 0.0005, 0.03)


def make_snare(rng):
    n = int(0.32 * SR)
    body = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        body[i] = (0.7 * math.sin(TWO_PI * 185.0 * t) + 0.3 * math.sin(TWO_PI * 330.0 * t)) \
            * math.exp(-t / 0.05)
    nz = biquad(noise(n, rng), 'bp', 3200.0, 0.6)
    nz = highpass1(nz, 900.0)
    nz = mul_env(nz, exp_env(n, 0.085))
    out = [0.55 * a + 1.4 * b for a, b in zip(body, nz)]
    out = soft_clip(normalise(out, 1.0), 1.3)
    return fade_edges(normalise(out, 0.6), 0.0005, 0.03)


def metal(n, rng, scale=1.0):
    """Six detuned square waves, the classic analogue cymbal source."""
    freqs = [205.3, 304.4, 369.6, 522.7, 540.0, 800.0]
    out = [0.0] * n
    for f in freqs:
        sq = square_osc(n, f * scale * rng.uniform(0.995, 1.005))
        for i in range(n):
            out[i] += sq[i]
    return out


def make_hihat(rng, decay, length, peak):
    n = int(length * SR)
    src = [0.6 * a + 2.0 * b for a, b in zip(metal(n, rng), noise(n, rng))]
    src = biquad(src, 'bp', 9000.0, 0.8)
    src = highpass1(highpass1(src, 6000.0), 6000.0)
    env = exp_env(n, decay, attack=0.0008)
    return fade_edges(normalise(mul_env(src, env), peak), 0.0005, 0.02)


def make_tom(rng, f_hi, f_lo, peak):
    n = int(0.5 * SR)
    out = [0.0] * n
    ph = 0.0
    nz = lowpass1(noise(n, rng), 3000.0)
    for i in range(n):
        t = i / float(SR)
        f = f_lo + (f_hi - f_lo) * math.exp(-t / 0.09)
        ph += TWO_PI * f / SR
        out[i] = (math.sin(ph) + 0.15 * math.sin(2.0 * ph)) * math.exp(-t / 0.17) \
            + 0.25 * nz[i] * math.exp(-t / 0.02)
    out = soft_clip(out, 1.2)
    return fade_edges(normalise(out, peak), 0.0005, 0.04)


def make_crash(rng):
    n = int(1.5 * SR)
    chans = []
    for c in range(2):
        src = [0.5 * a + 1.5 * b for a, b in zip(metal(n, rng, 1.3 + 0.07 * c), noise(n, rng))]
        src = highpass1(highpass1(src, 3500.0), 2500.0)
        src = biquad(src, 'lp', 12000.0, 0.7)
        env = [0.0] * n
        for i in range(n):
            t = i / float(SR)
            env[i] = 0.75 * math.exp(-t / 0.45) + 0.25 * math.exp(-t / 0.05)
            if i < 60:
                env[i] *= i / 60.0
        chans.append(mul_env(src, env))
    l, r = normalise_stereo(chans[0], chans[1], 0.36)
    return fade_edges(l, 0.0005, 0.15), fade_edges(r, 0.0005, 0.15)


# ---------------------------------------------------------------------------
# Guitar and bass: plucked strings (Karplus-Strong)
# ---------------------------------------------------------------------------

def pluck(freq, n, rng, sustain, brightness, rate=SR):
    period = max(2, int(round(rate / freq)))
    exc = lowpass1(noise(period, rng), brightness, rate)
    mean = sum(exc) / period
    buf = [v - mean for v in exc]
    decay = math.exp(-sustain / freq)
    out = [0.0] * n
    idx = 0
    for i in range(n):
        cur = buf[idx]
        nxt = buf[idx + 1] if idx + 1 < period else buf[0]
        out[i] = cur
        buf[idx] = decay * 0.5 * (cur + nxt)
        idx += 1
        if idx == period:
            idx = 0
    return out


GUITAR_VOICINGS = {
    'am': [45, 52, 57, 60, 64],
    'f': [41, 48, 53, 57, 60, 65],
    'c': [48, 52, 55, 60, 64],
    'g': [43, 47, 50, 55, 59, 67],
    'e': [40, 47, 52, 56, 59, 64],
    'dm': [50, 57, 62, 65],
}


def make_guitar_chord(rng, notes, length=1.0):
    n = int(length * SR)
    out = [0.0] * n
    for k, m in enumerate(notes):
        offset = int(k * 0.011 * SR)            # a down-strum, low string first
        s = pluck(midi_hz(m), n - offset, rng, sustain=2.2, brightness=4500.0)
        add_into(out, s, offset, 1.0 - 0.06 * k)
    out = soft_clip(normalise(out, 1.0), 2.2)  # a crunchy amp
    out = lowpass1(out, 5000.0)
    out = highpass1(out, 90.0)
    return fade_edges(normalise(out, 0.3), 0.0005, 0.15)


def make_guitar_mute(rng):
    n = int(0.22 * SR)
    out = [0.0] * n
    for k, m in enumerate([45, 52, 57]):
        s = pluck(midi_hz(m), n, rng, sustain=30.0, brightness=2500.0)
        add_into(out, s, int(k * 0.004 * SR))
    out = soft_clip(normalise(out, 1.0), 2.0)
    out = lowpass1(lowpass1(out, 1400.0), 1400.0)
    return fade_edges(normalise(out, 0.3), 0.0005, 0.05)


BASS_NOTES = {'a': 33, 'f': 29, 'c': 36, 'g': 31, 'e': 28, 'd': 38}


def make_bass(rng, midi):
    n = int(0.9 * SR)
    f = midi_hz(midi)
    s = pluck(f, n, rng, sustain=0.9, brightness=1800.0)
    body = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        body[i] = math.sin(TWO_PI * f * t) * math.exp(-t / 0.7) * min(1.0, t / 0.004)
    out = [0.6 * a + 0.5 * b for a, b in zip(normalise(s, 1.0), body)]
    out = soft_clip(out, 1.4)
    out = lowpass1(out, 1600.0)
    return fade_edges(normalise(out, 0.4), 0.001, 0.12)


# ---------------------------------------------------------------------------
# Pads, lead, bells and the rest of the sound lanes
# ---------------------------------------------------------------------------

PAD_CHORDS = {
    'am': [45, 57, 60, 64],
    'f': [41, 57, 60, 65],
    'c': [48, 55, 60, 64],
    'g': [43, 55, 59, 62],
    'e': [40, 56, 59, 64],
}


def make_pad(rng, notes, length=2.0):
    n = int(length * SR)
    chans = []
    for side in (-1.0, 1.0):
        out = [0.0] * n
        for m in notes:
            for det in (-8.0, 0.0, 6.0):
                f = midi_hz(m) * 2.0 ** (side * det / 1200.0)
                inc = f / SR
                ph = rng.random()
                for i in range(n):
                    out[i] += 2.0 * ph - 1.0
                    ph += inc
                    if ph >= 1.0:
                        ph -= 1.0
        out = lowpass1(lowpass1(out, 1100.0), 1600.0)
        env = [0.0] * n
        rel = int(0.5 * SR)
        for i in range(n):
            t = i / float(SR)
            a = min(1.0, t / 0.3)
            if i > n - rel:
                a *= 0.5 + 0.5 * math.cos(math.pi * (i - (n - rel)) / float(rel))
            env[i] = a
        chans.append(mul_env(out, env))
    return normalise_stereo(chans[0], chans[1], 0.2)


def make_lead(rng, midi, length=0.5):
    n = int(length * SR)
    f = midi_hz(midi)
    out = [0.0] * n
    ph1 = ph2 = 0.0
    for i in range(n):
        t = i / float(SR)
        vib = 1.0 + 0.004 * math.sin(TWO_PI * 5.5 * t) * min(1.0, max(0.0, (t - 0.12) / 0.1))
        ph1 += f * vib / SR
        ph2 += f * 1.004 * vib / SR
        ph1 -= int(ph1)
        ph2 -= int(ph2)
        out[i] = 0.6 * (2.0 * ph1 - 1.0) + 0.4 * (1.0 if ph2 < 0.5 else -1.0)
    out = lowpass1(lowpass1(out, 2600.0), 3500.0)
    env = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        if t < 0.008:
            a = t / 0.008
        else:
            a = 0.72 + 0.28 * math.exp(-(t - 0.008) / 0.08)
        env[i] = a
    return fade_edges(normalise(mul_env(out, env), 0.24), 0.0005, 0.12)


def make_bell(rng, midi, rate=22050, length=1.2):
    n = int(length * rate)
    f = midi_hz(midi)
    out = [0.0] * n
    for i in range(n):
        t = i / float(rate)
        # An inharmonic modulator ratio gives the bell its clang; 1.4 keeps the strong
        # sidebands of the highest bell below the 11025 Hz limit of a 22050 Hz file.
        index = 1.8 * math.exp(-t / 0.25) + 0.25
        mod = math.sin(TWO_PI * f * 1.4 * t)
        v = math.sin(TWO_PI * f * t + index * mod) * math.exp(-t / 0.45)
        v += 0.25 * math.sin(TWO_PI * f * 2.0 * t) * math.exp(-t / 0.2)
        out[i] = v
    return fade_edges(normalise(out, 0.2), 0.0005, 0.1, rate)


def make_clap(rng):
    n = int(0.35 * SR)
    src = biquad(noise(n, rng), 'bp', 1300.0, 1.4)
    env = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        a = 0.0
        for b in (0.0, 0.011, 0.022):
            if t >= b:
                a = max(a, math.exp(-(t - b) / 0.004))
        if t >= 0.033:
            a = max(a, 0.8 * math.exp(-(t - 0.033) / 0.085))
        env[i] = a
    return fade_edges(normalise(mul_env(src, env), 0.32), 0.0005, 0.04)


def make_shaker(rng):
    n = int(0.13 * SR)
    src = highpass1(highpass1(noise(n, rng), 5000.0), 4000.0)
    env = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        env[i] = min(1.0, t / 0.012) * math.exp(-max(0.0, t - 0.012) / 0.03)
    return fade_edges(normalise(mul_env(src, env), 0.11), 0.0005, 0.02)


def make_tambourine(rng):
    n = int(0.25 * SR)
    out = [0.0] * n
    for f in (5200.0, 6650.0, 8100.0, 9350.0):
        ph = rng.random() * TWO_PI
        for i in range(n):
            out[i] += math.sin(ph + TWO_PI * f * i / SR)
    out = [a * (0.6 + 0.4 * math.sin(TWO_PI * 40.0 * i / SR)) + 1.2 * b
           for i, (a, b) in enumerate(zip(out, highpass1(noise(n, rng), 6000.0)))]
    env = exp_env(n, 0.06, attack=0.002)
    return fade_edges(normalise(mul_env(out, env), 0.12), 0.0005, 0.03)


def make_cowbell(rng):
    n = int(0.3 * SR)
    src = [a + b for a, b in zip(square_osc(n, 545.0), square_osc(n, 815.0))]
    src = biquad(src, 'bp', 820.0, 2.5)
    env = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        env[i] = 0.6 * math.exp(-t / 0.012) + 0.4 * math.exp(-t / 0.09)
    return fade_edges(normalise(mul_env(src, env), 0.16), 0.0005, 0.04)


def make_rim(rng):
    n = int(0.09 * SR)
    nz = biquad(noise(n, rng), 'bp', 2200.0, 3.0)
    out = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        out[i] = (math.sin(TWO_PI * 1650.0 * t) * 0.6 + nz[i] * 2.0) * math.exp(-t / 0.01)
    return fade_edges(normalise(out, 0.26), 0.0003, 0.02)


def make_snap(rng):
    n = int(0.14 * SR)
    nz = biquad(noise(n, rng), 'bp', 2600.0, 2.5)
    out = [0.0] * n
    for i in range(n):
        t = i / float(SR)
        out[i] = nz[i] * math.exp(-t / 0.016) + 0.2 * math.sin(TWO_PI * 1100.0 * t) * math.exp(-t / 0.006)
    return fade_edges(normalise(out, 0.22), 0.0003, 0.02)


def make_stab(rng):
    n = int(0.35 * SR)
    out = [0.0] * n
    for m in (57, 60, 64, 69):
        for det in (-0.004, 0.004):
            inc = midi_hz(m) * (1.0 + det) / SR
            ph = rng.random()
            for i in range(n):
                out[i] += 2.0 * ph - 1.0
                ph += inc
                if ph >= 1.0:
                    ph -= 1.0
    out = lowpass1(lowpass1(out, 2400.0), 3000.0)
    env = exp_env(n, 0.11, attack=0.004)
    return fade_edges(normalise(mul_env(out, env), 0.2), 0.0005, 0.05)


def make_riser(rng, rate=22050, length=1.5):
    n = int(length * rate)
    src = sweep_bandpass(noise(n, rng), 250.0, 5000.0, 2.0, rate)
    env = [((i / float(n)) ** 2) for i in range(n)]
    return fade_edges(normalise(mul_env(src, env), 0.2), 0.01, 0.015, rate)


def make_reverse_cymbal(rng, length=1.0):
    n = int(length * SR)
    src = [0.5 * a + 1.5 * b for a, b in zip(metal(n, rng, 1.4), noise(n, rng))]
    src = highpass1(highpass1(src, 4000.0), 3000.0)
    env = [((i / float(n)) ** 3) for i in range(n)]
    return fade_edges(normalise(mul_env(src, env), 0.2), 0.01, 0.012)


def make_boom(rng, rate=22050, length=1.2):
    n = int(length * rate)
    out = [0.0] * n
    ph = 0.0
    nz = lowpass1(noise(n, rng), 400.0, rate)
    for i in range(n):
        t = i / float(rate)
        f = 30.0 + 45.0 * math.exp(-t / 0.12)
        ph += TWO_PI * f / rate
        out[i] = math.sin(ph) * math.exp(-t / 0.45) + 1.5 * nz[i] * math.exp(-t / 0.08)
    out = soft_clip(normalise(out, 1.0), 1.5)
    return fade_edges(normalise(out, 0.3), 0.001, 0.1, rate)


# ---------------------------------------------------------------------------
# WAV writing: 16-bit PCM and IMA ADPCM
# ---------------------------------------------------------------------------

# Every sound is scaled by this before it is written: the viewer plays the sounds at full
# volume and mixes them by plain addition, so the levels above are the mix balance and this
# keeps the busiest moments of the song clear of clipping.
MASTER_GAIN = 0.42


def to_int16(x):
    out = array('h', bytes(2 * len(x)))
    for i, v in enumerate(x):
        s = int(round(v * MASTER_GAIN * 32767.0))
        out[i] = 32767 if s > 32767 else (-32768 if s < -32768 else s)
    return out


def riff(chunks):
    body = b'WAVE'
    for cid, data in chunks:
        body += cid + struct.pack('<I', len(data)) + data
        if len(data) & 1:
            body += b'\0'
    return b'RIFF' + struct.pack('<I', len(body)) + body


def pcm_wav_bytes(channels, rate):
    nch = len(channels)
    ints = [to_int16(c) for c in channels]
    n = len(ints[0])
    inter = array('h', bytes(2 * n * nch))
    for c in range(nch):
        inter[c::nch] = ints[c]
    if sys.byteorder == 'big':
        inter.byteswap()
    fmt = struct.pack('<HHIIHH', 1, nch, rate, rate * 2 * nch, 2 * nch, 16)
    return riff([(b'fmt ', fmt), (b'data', inter.tobytes())])


IMA_INDEX_TABLE = [-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8]
IMA_STEP_TABLE = [
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45,
    50, 55, 60, 66, 73, 80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230,
    253, 279, 307, 337, 371, 408, 449, 494, 544, 598, 658, 724, 796, 876, 963,
    1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499, 2749, 3024, 3327,
    3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442,
    11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794,
    32767]


def ima_decode_nibble(nibble, predictor, index):
    """One IMA ADPCM decoding step: returns (new predictor, new step index)."""
    step = IMA_STEP_TABLE[index]
    diff = step >> 3
    if nibble & 4:
        diff += step
    if nibble & 2:
        diff += step >> 1
    if nibble & 1:
        diff += step >> 2
    if nibble & 8:
        predictor -= diff
    else:
        predictor += diff
    predictor = max(-32768, min(32767, predictor))
    index = max(0, min(88, index + IMA_INDEX_TABLE[nibble]))
    return predictor, index


class ImaEncoder:
    """Microsoft IMA ADPCM encoder state for one channel; `decoded` collects what a decoder
    makes of the codes written."""

    def __init__(self):
        self.pred = 0
        self.index = 0
        self.decoded = []

    def nibble(self, sample):
        step = IMA_STEP_TABLE[self.index]
        diff = sample - self.pred
        code = 0
        if diff < 0:
            code = 8
            diff = -diff
        if diff >= step:
            code |= 4
            diff -= step
        if diff >= step >> 1:
            code |= 2
            diff -= step >> 1
        if diff >= step >> 2:
            code |= 1
        self.pred, self.index = ima_decode_nibble(code, self.pred, self.index)
        self.decoded.append(self.pred)
        return code


def ima_wav_bytes(channels, rate, block_align_per_channel):
    """Encodes float channels as IMA ADPCM (format tag 0x11) in whole blocks.  Returns the
    file's bytes and, per channel, the int16 samples a decoder makes of them."""
    nch = len(channels)
    block_align = block_align_per_channel * nch
    spb = (block_align_per_channel - 4) * 2 + 1
    ints = [to_int16(c) for c in channels]
    frames = len(ints[0])
    nblocks = (frames + spb - 1) // spb
    encs = [ImaEncoder() for _ in range(nch)]
    out = bytearray()
    for b in range(nblocks):
        block = bytearray()
        segs = []
        for c in range(nch):
            seg = list(ints[c][b * spb:(b + 1) * spb])
            seg += [0] * (spb - len(seg))         # the last block is padded with silence
            segs.append(seg)
            encs[c].pred = seg[0]
            encs[c].decoded.append(seg[0])
            block += struct.pack('<hBB', seg[0], encs[c].index, 0)
        codes = [[encs[c].nibble(s) for s in segs[c][1:]] for c in range(nch)]
        if nch == 1:
            cs = codes[0]
            for i in range(0, len(cs), 2):
                block.append(cs[i] | (cs[i + 1] << 4))
        else:
            for g in range(0, spb - 1, 8):
                for c in range(nch):
                    cs = codes[c]
                    for i in range(g, g + 8, 2):
                        block.append(cs[i] | (cs[i + 1] << 4))
        assert len(block) == block_align, (len(block), block_align)
        out += block
    avg = rate * block_align // spb
    fmt = struct.pack('<HHIIHHHH', 0x11, nch, rate, avg, block_align, 4, 2, spb)
    fact = struct.pack('<I', frames)
    blob = riff([(b'fmt ', fmt), (b'fact', fact), (b'data', bytes(out))])
    return blob, [e.decoded[:frames] for e in encs]


# ---------------------------------------------------------------------------
# The sound set
# ---------------------------------------------------------------------------

class Sound:
    def __init__(self, key, fname, channels, rate=SR, ima=None):
        self.key = key                 # name used by the chart writer
        self.fname = fname
        self.channels = channels       # list of float lists
        self.rate = rate
        self.ima = ima                 # None for PCM, else block align per channel
        self.id = None


def build_sounds():
    rng = random.Random(20240611)
    s = []

    def add(key, fname, data, rate=SR, ima=None):
        chans = list(data) if isinstance(data, tuple) else [data]
        s.append(Sound(key, fname, chans, rate, ima))

    # Drums.
    add('kick', 'kick.wav', make_kick(rng))
    add('snare', 'snare.wav', make_snare(rng))
    add('hhc', 'hihat_closed.wav', make_hihat(rng, 0.022, 0.12, 0.22))
    add('hho', 'hihat_open.wav', make_hihat(rng, 0.22, 0.6, 0.2))
    add('tomh', 'tom_high.wav', make_tom(rng, 230.0, 165.0, 0.55))
    add('toml', 'tom_low.wav', make_tom(rng, 140.0, 98.0, 0.6))
    add('crash', 'crash.wav', make_crash(rng))
    # Guitar.
    for name in ('am', 'f', 'c', 'g', 'e', 'dm'):
        add('g_' + name, 'gtr_%s.wav' % name, make_guitar_chord(rng, GUITAR_VOICINGS[name]))
    add('g_mute', 'gtr_mute.wav', make_guitar_mute(rng))
    # Bass: mono IMA ADPCM, 1024-byte blocks (2041 samples).
    for name in ('a', 'f', 'c', 'g', 'e', 'd'):
        add('b_' + name, 'bass_%s.wav' % name, make_bass(rng, BASS_NOTES[name]), ima=1024)
    # Pads: stereo IMA ADPCM, 2 x 1024-byte blocks (2041 samples).
    for name in ('am', 'f', 'c', 'g', 'e'):
        add('pad_' + name, 'pad_%s.wav' % name, make_pad(rng, PAD_CHORDS[name]), ima=1024)
    # Lead notes.
    for name, m in (('a4', 69), ('c5', 72), ('d5', 74), ('e5', 76), ('g5', 79)):
        add('lead_' + name, 'lead_%s.wav' % name, make_lead(rng, m))
    # Bells at 22050 Hz.
    for name, m in (('a5', 81), ('c6', 84), ('d6', 86), ('e6', 88), ('g6', 91)):
        add('bell_' + name, 'bell_%s.wav' % name, make_bell(rng, m), rate=22050)
    # The rest.
    add('clap', 'clap.wav', make_clap(rng))
    add('shaker', 'shaker.wav', make_shaker(rng))
    add('tamb', 'tambourine.wav', make_tambourine(rng))
    add('cowbell', 'cowbell.wav', make_cowbell(rng))
    add('rim', 'rim.wav', make_rim(rng))
    add('snap', 'snap.wav', make_snap(rng))
    add('stab', 'stab_am.wav', make_stab(rng))
    add('riser', 'riser.wav', make_riser(rng), rate=22050)
    add('revcym', 'reverse_cymbal.wav', make_reverse_cymbal(rng))
    add('boom', 'boom.wav', make_boom(rng), rate=22050)
    digits = '0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ'
    for i, snd in enumerate(s, start=1):
        snd.id = '%s%s' % (digits[i // 36], digits[i % 36])
    return s


# ---------------------------------------------------------------------------
# The chart
# ---------------------------------------------------------------------------

CHANNEL_ORDER = ['HH', 'SD', 'BD', 'HT', 'LT', 'CY', 'FI'] + ['G%d' % d for d in range(8)] + \
    ['GW'] + ['B%d' % d for d in range(8)] + ['BW']

# Sound lanes (channel code -> use).  0A and 1B are written with letters.
LANE_PAD, LANE_BELL, LANE_LEAD, LANE_CLAP, LANE_SHAKER = '01', '02', '03', '04', '05'
LANE_COWBELL, LANE_RIM, LANE_BELL2, LANE_STAB, LANE_RISER = '06', '07', '08', '09', '0A'
LANE_BOOM, LANE_SNAP, LANE_REVCYM, LANE_TAMB = '10', '11', '1B', '20'

# Chord value (fret pattern, bits 4 2 1) for each chord of the guitar and the bass.
GUITAR_FRETS = {'am': 6, 'f': 3, 'c': 5, 'g': 2, 'e': 7, 'dm': 1, 'mute': 0}
BASS_FRETS = {'a': 0, 'e': 1, 'd': 2, 'g': 3, 'c': 4, 'f': 6}
BASS_OF = {'am': 'a', 'f': 'f', 'c': 'c', 'g': 'g', 'e': 'e', 'dm': 'd'}
PAD_OF = {'am': 'am', 'f': 'f', 'c': 'c', 'g': 'g', 'e': 'e', 'dm': 'f'}


class ChartWriter:
    def __init__(self, sounds):
        self.ids = dict((s.key, s.id) for s in sounds)
        self.cells = {}         # (measure, channel) -> {Fraction: text}
        self.bar_lengths = {}
        self.steps = {}         # measure -> steps per measure (16 in 4/4, 12 in 3/4)

    def steps_of(self, m):
        return self.steps.get(m, 16)

    def put(self, m, channel, step, text, steps=None):
        pos = Fraction(step, steps or self.steps_of(m))
        assert 0 <= pos < 1
        cell = self.cells.setdefault((m, channel), {})
        assert pos not in cell, (m, channel, step)
        cell[pos] = text

    def note(self, m, channel, step, key):
        self.put(m, channel, step, self.ids[key])

    def guitar(self, m, step, chord, w=False):
        self._string('G', m, step, GUITAR_FRETS[chord], 'g_' + chord, w)

    def bass(self, m, step, note, w=False):
        self._string('B', m, step, BASS_FRETS[note], 'b_' + note, w)

    def _string(self, part, m, step, fret, key, w):
        pos = Fraction(step, self.steps_of(m))
        for d in range(8):                  # one note per position and part
            assert pos not in self.cells.get((m, '%s%d' % (part, d)), {}), (part, m, step)
        self.put(m, '%s%d' % (part, fret), step, self.ids[key])
        if w:
            self.put(m, part + 'W', step, '01')

    def span(self, m, channel, step, value, steps=None):
        self.put(m, 'C' + channel, step, '%02X' % value, steps)

    def lines(self):
        measures = sorted(set(m for m, _ in self.cells) | set(self.bar_lengths))
        sound_channels = sorted(set(ch for _, ch in self.cells
                                    if len(ch) == 2 and ch[0].isdigit()), key=lambda c: int(c, 16))
        span_channels = sorted(set(ch for _, ch in self.cells
                                   if ch.startswith('C') and ch not in CHANNEL_ORDER))
        order = CHANNEL_ORDER + sound_channels + span_channels
        out = []
        for m in measures:
            if m in self.bar_lengths:
                out.append('#%03dBL:%s' % (m, self.bar_lengths[m]))
            if (m, 'TC') in self.cells:
                out.append(self._line(m, 'TC'))
            for ch in order:
                if (m, ch) in self.cells:
                    out.append(self._line(m, ch))
        return out

    def _line(self, m, ch):
        cell = self.cells[(m, ch)]
        n = 1
        for pos in cell:
            n = n * pos.denominator // math.gcd(n, pos.denominator)
        data = ['00'] * n
        for pos, text in cell.items():
            data[pos.numerator * (n // pos.denominator)] = text
        return '#%03d%s:%s' % (m, ch, ''.join(data))


# Chords per measure; measure 18 changes chord half-way.
CHORDS = {0: 'am', 1: 'g', 2: 'am', 3: 'f', 4: 'c', 5: 'g', 6: 'am', 7: 'f', 8: 'c', 9: 'g',
          10: 'dm', 11: 'g', 12: 'e', 13: 'am', 14: 'f', 15: 'c', 16: 'g', 17: 'am', 18: 'f',
          19: 'am'}
BRIDGE = (10, 11, 12)
CHORUS = (13, 14, 15, 16, 17, 18)

LEAD_VERSE = {
    6: [(0, 'e5'), (6, 'd5'), (8, 'c5'), (12, 'a4')],
    7: [(0, 'c5'), (4, 'd5'), (6, 'c5'), (8, 'a4'), (14, 'c5')],
    8: [(0, 'e5'), (4, 'g5'), (8, 'e5'), (12, 'd5')],
    9: [(0, 'd5'), (4, 'c5'), (6, 'd5')],
}
LEAD_CHORUS = {
    13: [(0, 'a4'), (4, 'c5'), (6, 'e5'), (8, 'g5'), (12, 'e5')],
    14: [(0, 'd5'), (4, 'c5'), (8, 'a4'), (12, 'c5')],
    15: [(0, 'e5'), (4, 'e5'), (6, 'g5'), (10, 'e5'), (12, 'd5')],
    16: [(0, 'd5'), (4, 'c5'), (6, 'd5'), (8, 'g5'), (12, 'd5')],
    17: [(0, 'a4'), (4, 'c5'), (6, 'e5'), (8, 'g5'), (12, 'e5')],
    18: [(0, 'd5'), (4, 'c5'), (8, 'd5'), (12, 'e5')],
    19: [(0, 'a4')],
}
BELL_ARPS = {
    'am': ['a5', 'c6', 'e6', 'c6', 'a5', 'c6', 'e6', 'g6'],
    'g': ['g6', 'd6', 'g6', 'd6', 'a5', 'd6', 'g6', 'd6'],
    'dm': ['d6', 'a5', 'd6', 'c6', 'a5', 'd6'],
    'g3': ['d6', 'g6', 'd6', 'a5', 'd6', 'g6'],
    'e3': ['e6', 'a5', 'e6'],
}
BELL_CHORUS = {13: ['e6', 'a5'], 14: ['c6', 'a5'], 15: ['g6', 'e6'], 16: ['d6', 'g6'],
               17: ['e6', 'c6'], 18: ['c6', 'd6']}


def write_song(w):
    # Bar lengths hold until the next BL line: 0.75 from the bridge on, 1.0 again at the chorus.
    for m in BRIDGE:
        w.steps[m] = 12
    w.bar_lengths = {BRIDGE[0]: '0.75', CHORUS[0]: '1.0'}
    w.put(CHORUS[0], 'TC', 0, '%02X' % 140)

    # Intro (0-1): crash and boom, bells ringing in a span, pad, hats coming in.
    w.note(0, 'CY', 0, 'crash')
    w.note(0, 'BD', 0, 'kick')
    w.note(0, LANE_BOOM, 0, 'boom')
    for m in (0, 1):
        w.note(m, LANE_PAD, 0, 'pad_' + CHORDS[m])
        for i, b in enumerate(BELL_ARPS[CHORDS[m]]):
            w.note(m, LANE_BELL, 2 * i, 'bell_' + b)
    w.span(0, LANE_BELL, 0, 1)
    w.span(1, LANE_BELL, 15, 2)
    for s in (4, 8, 12):
        w.note(0, 'HH', s, 'hhc')
    for s in range(0, 16, 2):
        w.note(1, 'HH', s, 'hhc')
    w.note(1, 'BD', 0, 'kick')
    w.note(1, 'BD', 8, 'kick')
    w.note(1, 'SD', 4, 'snare')
    w.guitar(1, 0, 'g')
    w.bass(0, 0, 'a')
    w.bass(1, 0, 'g')
    w.bass(1, 10, 'g')
    w.bass(1, 12, 'g')
    for s, d in ((12, 'tomh'), (13, 'tomh'), (14, 'toml'), (15, 'toml')):
        w.note(1, 'HT' if d == 'tomh' else 'LT', s, d)
    w.put(1, 'FI', 12, '01')

    # Verse (2-9): rock groove; lead melody and more percussion from 6.
    for m in range(2, 10):
        chord = CHORDS[m]
        fill = (m == 9)
        if m in (2, 6):
            w.note(m, 'CY', 0, 'crash')
        for s in range(0, 16, 2):
            if fill and s >= 8:
                break
            if s == 14 and m in (3, 5, 7):
                w.note(m, 'HH', s, 'hho')
            elif not (s == 0 and m in (2, 6)):
                w.note(m, 'HH', s, 'hhc')
        kicks = [0, 7, 8] + ([10] if m % 2 else [])
        for s in kicks:
            if not (fill and s >= 8):
                w.note(m, 'BD', s, 'kick')
        w.note(m, 'SD', 4, 'snare')
        if not fill:
            w.note(m, 'SD', 12, 'snare')
            if m == 7:
                w.note(m, 'SD', 15, 'snare')
        else:
            w.put(m, 'FI', 8, '01')
            for s, lane, d in ((8, 'SD', 'snare'), (10, 'SD', 'snare'), (11, 'HT', 'tomh'),
                               (12, 'HT', 'tomh'), (13, 'LT', 'toml'), (14, 'LT', 'toml'),
                               (15, 'BD', 'kick')):
                w.note(m, lane, s, d)
        # Guitar: pushed chord hits with palm-muted chugs (open notes).
        pattern = [(0, chord), (3, chord), (6, chord), (8, 'mute'), (10, chord),
                   (12, 'mute'), (14, chord)]
        for s, c in pattern:
            if fill and s >= 8:
                break
            w.guitar(m, s, c, w=(s == 0 and m in (2, 6)))
        for s in (0, 3, 6, 8, 11, 14):
            if not (fill and s >= 8):
                w.bass(m, s, BASS_OF[chord])
        if m < 6:
            for s in (6, 14):
                w.note(m, LANE_RIM, s, 'rim')
        else:
            w.note(m, LANE_PAD, 0, 'pad_' + PAD_OF[chord])
            for s, n in LEAD_VERSE[m]:
                w.note(m, LANE_LEAD, s, 'lead_' + n)
            w.note(m, LANE_TAMB, 4, 'tamb')
            if not fill:
                w.note(m, LANE_TAMB, 12, 'tamb')
            for s in (2, 6, 10, 14):
                if not (fill and s >= 8):
                    w.note(m, LANE_SHAKER, s, 'shaker')
        if m == 6:
            w.note(m, LANE_STAB, 0, 'stab')
    w.note(9, LANE_REVCYM, 8, 'revcym')     # swells into the bridge

    # Bridge (10-12) in 3/4: ringing guitar chords (span), pads overlapping (span),
    # bells, shaker sixteenths, snaps, a riser into the chorus.
    w.span(10, 'GT', 0, 1, 12)
    w.span(12, 'GT', 11, 2, 12)
    w.span(10, LANE_PAD, 0, 1, 12)
    w.span(12, LANE_PAD, 6, 2, 12)
    w.span(10, LANE_BELL, 0, 1, 12)
    w.span(12, LANE_BELL, 11, 2, 12)
    arps = {10: 'dm', 11: 'g3', 12: 'e3'}
    for m in BRIDGE:
        chord = CHORDS[m]
        if m == 10:
            w.note(m, 'CY', 0, 'crash')
        w.note(m, LANE_PAD, 0, 'pad_' + PAD_OF[chord])
        w.guitar(m, 0, chord)
        w.guitar(m, 8, chord)
        w.bass(m, 0, BASS_OF[chord])
        w.bass(m, 6, BASS_OF[chord])
        if m != 12:
            w.bass(m, 9, BASS_OF[chord])
        w.note(m, 'BD', 0, 'kick')
        bells = BELL_ARPS[arps[m]]
        for i, b in enumerate(bells):
            w.note(m, LANE_BELL, i * (12 // len(bells)), 'bell_' + b)
        for s in range(12):
            w.note(m, LANE_SHAKER, s, 'shaker')
        if m != 12:
            for s in (4, 8):
                w.note(m, 'HH', s, 'hhc')
            w.note(m, 'SD', 8, 'snare')
            w.note(m, 'BD', 6, 'kick')
            w.note(m, LANE_SNAP, 4, 'snap')
            w.note(m, LANE_CLAP, 8, 'clap')
        else:
            w.put(m, 'FI', 6, '01')
            for s, lane, d in ((6, 'HT', 'tomh'), (7, 'HT', 'tomh'), (8, 'LT', 'toml'),
                               (9, 'LT', 'toml'), (10, 'SD', 'snare'), (11, 'SD', 'snare')):
                w.note(m, lane, s, d)
    w.note(12, LANE_RISER, 0, 'riser')

    # Chorus (13-18) at 140 bpm: disco hats, eighth-note guitar with W accents,
    # eighth-note bass, lead, bell answers, claps, cowbell, shaker.
    for m in CHORUS:
        chord = CHORDS[m]
        last = (m == CHORUS[-1])
        if m in (13, 17):
            w.note(m, 'CY', 0, 'crash')
            w.note(m, LANE_BOOM, 0, 'boom')
            w.note(m, LANE_STAB, 0, 'stab')
        for s in range(0, 16, 2):
            if last and s >= 12:
                break
            if s % 4 == 2:
                w.note(m, 'HH', s, 'hho')
            elif not (s == 0 and m in (13, 17)):
                w.note(m, 'HH', s, 'hhc')
        for s in (0, 3, 8, 10):
            w.note(m, 'BD', s, 'kick')
        w.note(m, 'SD', 4, 'snare')
        w.note(m, LANE_CLAP, 4, 'clap')
        if not last:
            w.note(m, 'SD', 12, 'snare')
            w.note(m, LANE_CLAP, 12, 'clap')
        else:
            for s, lane, d in ((12, 'SD', 'snare'), (13, 'SD', 'snare'), (14, 'HT', 'tomh'),
                               (15, 'LT', 'toml')):
                w.note(m, lane, s, d)
        for s in range(0, 16, 2):
            c = chord if not (last and s >= 8) else 'g'
            if last and s >= 12:
                break
            w.guitar(m, s, c, w=(s == 0))
            w.bass(m, s, BASS_OF[c], w=(s == 0 and m in (13, 17)))
        if last:
            w.note(m, LANE_PAD, 0, 'pad_f')
            w.note(m, LANE_PAD, 8, 'pad_g')
        else:
            w.note(m, LANE_PAD, 0, 'pad_' + PAD_OF[chord])
        for s, n in LEAD_CHORUS[m]:
            w.note(m, LANE_LEAD, s, 'lead_' + n)
        for s, b in zip((2, 10), BELL_CHORUS[m]):
            w.note(m, LANE_BELL2, s, 'bell_' + b)
        if m in (14, 16):
            for s in (2, 10):
                w.note(m, LANE_COWBELL, s, 'cowbell')
        for s in range(1, 16, 2):
            w.note(m, LANE_SHAKER, s, 'shaker')
    w.note(16, LANE_REVCYM, 7, 'revcym')

    # Outro (19): the last chord rings out.
    m = 19
    w.note(m, 'CY', 0, 'crash')
    w.note(m, 'BD', 0, 'kick')
    w.guitar(m, 0, 'am', w=True)
    w.bass(m, 0, 'a', w=True)
    w.note(m, LANE_PAD, 0, 'pad_am')
    w.note(m, LANE_BOOM, 0, 'boom')
    w.note(m, LANE_STAB, 0, 'stab')
    for s, n in LEAD_CHORUS[m]:
        w.note(m, LANE_LEAD, s, 'lead_' + n)
    for i, b in enumerate(('e6', 'c6', 'a5')):
        w.note(m, LANE_BELL, 4 + 2 * i, 'bell_' + b)
    w.span(19, LANE_BELL, 0, 1)
    w.span(19, LANE_BELL, 15, 2)


TITLE = 'Lanterns Over Kestrel Bay'
ARTIST = 'The Paper Tide Ensemble'
BPM = 120


def chart_text(sounds):
    w = ChartWriter(sounds)
    write_song(w)
    lines = ['; KTB Viewer demo chart, written by tools/make_demo.py - do not edit by hand',
             '#TITLE %s' % TITLE,
             '#ARTIST %s' % ARTIST,
             '#BPM %d' % BPM,
             '']
    for s in sounds:
        lines.append('#WAV%s %s' % (s.id, s.fname))
    lines.append('')
    sections = {0: 'intro', 2: 'verse', 6: 'verse with lead', 10: 'bridge in 3/4',
                13: 'chorus at 140 bpm', 19: 'outro'}
    last_m = None
    for line in w.lines():
        m = int(line[1:4])
        if m != last_m and m in sections:
            lines.append('')
            lines.append('; %s' % sections[m])
        last_m = m
        lines.append(line)
    return '\r\n'.join(lines) + '\r\n'


# ---------------------------------------------------------------------------
# Main: write, verify, render
# ---------------------------------------------------------------------------

def snr_db(ref, got):
    n = min(len(ref), len(got))
    sig = sum(v * v for v in ref[:n]) or 1e-12
    err = sum((a - b) ** 2 for a, b in zip(ref[:n], got[:n])) or 1e-12
    return 10.0 * math.log10(sig / err)


def describe(s):
    frames = len(s.channels[0])
    if s.ima:
        kind = 'IMA ADPCM (block %d, %d samples/block)' % (s.ima * len(s.channels), (s.ima - 4) * 2 + 1)
    else:
        kind = 'PCM 16-bit'
    layout = 'mono' if len(s.channels) == 1 else '%d ch' % len(s.channels)
    return '%s %s %d Hz, %.3f s' % (kind, layout, s.rate, frames / float(s.rate))


def verify_with_sox(path):
    if not shutil.which('sox'):
        return None
    try:
        res = subprocess.run(['sox', path, '-n', 'stat'], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None
    stats = {}
    for line in res.stderr.splitlines():
        if ':' in line:
            k, v = line.split(':', 1)
            stats[k.strip()] = v.strip()
    return res.returncode, stats


# ---------------------------------------------------------------------------
# The check, by the viewer's own code: ktbdump and ktbrender under Wine
# ---------------------------------------------------------------------------

TOOLS = ('ktbdump', 'ktbrender')
DRUM_CODES = ['HH', 'SD', 'BD', 'HT', 'LT', 'CY']


def tools_ready(root, build):
    """Brings ktbdump and ktbrender in the build folder up to date (building them when missing),
    so that the check runs the viewer's code as it is now."""
    exes = [os.path.join(build, t + '.exe') for t in TOOLS]
    configured = os.path.isfile(os.path.join(build, 'CMakeCache.txt'))
    if not configured and all(os.path.isfile(e) for e in exes):
        return True  # a build folder made elsewhere: its tools as they are
    steps = []
    if not configured:
        print('building %s in %s...' % (' and '.join(TOOLS), build))
        steps.append(['cmake', '--preset', 'x64'])
    steps.append(['cmake', '--build', build, '--target'] + list(TOOLS))
    for cmd in steps:
        if subprocess.run(cmd, cwd=root, stdout=subprocess.DEVNULL if configured else None).returncode != 0:
            break
    else:
        if all(os.path.isfile(e) for e in exes):
            return True
    print('cannot build %s: run tools/setup.sh, then "cmake --preset x64 && cmake --build --preset x64 '
          '--target ktbdump ktbrender" and this script again' % ' and '.join(TOOLS))
    return False


def run_tool(root, build, name, args):
    env = dict(os.environ, KTB_BUILD_DIR=build)
    cmd = [os.path.join(root, 'tools', 'winerun.sh'), os.path.join(build, name + '.exe')] + args
    return subprocess.run(cmd, cwd=root, env=env, capture_output=True, text=True, timeout=600)


def check_dump(text):
    """Reports on the chart as ktbdump prints it; returns the number of problems."""
    head = {}
    bars = []
    tempos = []
    lanes = {}
    wavs = []
    for line in text.splitlines():
        key, _, rest = line.partition(' ')
        if key in ('title', 'artist', 'measures', 'end', 'seek'):
            head[key] = rest
        elif key == 'tempo':
            tempos.append(rest.split())
        elif key == 'measure':
            f = rest.split()
            if float(f[2]) > 0 and float(f[3]) != 1.0:
                bars.append('measure %s: %g' % (f[0], float(f[3])))
        elif key == 'wav':
            wavs.append(rest.split(' ', 1)[1])
        elif key == 'lane':
            f = rest.split(' ', 9)
            lanes.setdefault((f[0], int(f[1])), []).append(
                {'time': int(f[3]), 'kind': int(f[4]), 'ring': f[7] == '0', 'sound': f[9]})
    problems = 0
    measures = int(head.get('measures', '0'))
    print('Title  :%s' % head.get('title', ''))
    print('Artist :%s' % head.get('artist', ''))
    print('Measures: %d with data (0..%d), end measure %d' % (measures - 1, measures - 2, measures - 1))
    print('Tempos : %s' % ', '.join('%g bpm at %g (%.0f ms)' % (float(t[1]), float(t[0]), float(t[2]))
                                    for t in tempos))
    if bars:
        print('Bar lengths: %s' % ', '.join(bars))
    print('Time   : end of play %s ms' % head.get('end', '?'))

    def notes(group, numbers):
        return [e for n in numbers for e in lanes.get((group, n), [])]
    drum = [len(lanes.get(('drum', n), [])) for n in range(1, 7)]
    print('Drums  : %d notes (%s); FI %d' % (sum(drum), ', '.join('%s %d' % kv for kv in zip(DRUM_CODES, drum)),
                                            len(lanes.get(('drum', 7), []))))
    for name, group in (('Guitar', 'guitar'), ('Bass  ', 'bass')):
        per = [len(lanes.get((group, v), [])) for v in range(8)]
        print('%s: %d notes (by chord value 0..7: %s); W entries %d'
              % (name, sum(per), ' '.join(str(x) for x in per), len(lanes.get((group, 8), []))))
    channels = sorted(n for (g, n) in lanes if g == 'sound')
    print('Sound  : %d notes on %d channels (%s)' % (len(notes('sound', channels)), len(channels), ', '.join(
        '%02X:%d' % (n, len(lanes[('sound', n)])) for n in channels)))
    played = notes('drum', range(1, 7)) + notes('guitar', range(8)) + notes('bass', range(8)) + \
        notes('sound', channels)
    print('Spans  : %d entries ring on' % sum(1 for e in played if e['ring']))
    missing = [w for w in sorted(set(wavs)) if not os.path.isfile(w[2:].replace('\\', '/'))]
    print('Sounds : %d defined, %d files missing' % (len(wavs), len(missing)))
    for w in missing:
        print('MISSING sound file: %s' % w)
        problems += 1
    silent = sum(1 for e in played if e['sound'] == '-')
    if silent:
        print('NOTES WITHOUT A SOUND: %d' % silent)
        problems += 1
    return problems


def check_chart(root, chart_path, mix):
    """Checks the chart with ktbdump and, unless mix is None, renders it with ktbrender into
    mix.  Returns True when all is well."""
    build = os.environ.get('KTB_BUILD_DIR') or os.path.join(root, 'build', 'x64')
    if not tools_ready(root, build):
        return False
    chart = os.path.abspath(chart_path)  # the runner hands Unix paths over as Windows paths
    dump = run_tool(root, build, 'ktbdump', [chart])
    if dump.returncode != 0:
        print('ktbdump failed: %s' % dump.stderr.strip())
        return False
    problems = check_dump(dump.stdout)
    if mix:
        render = run_tool(root, build, 'ktbrender', [chart, os.path.abspath(mix)])
        for line in render.stderr.splitlines():
            print('ktbrender: %s' % line)
        summary = render.stdout.strip()
        print('Mix    : %s' % (summary or 'FAILED'))
        if render.returncode != 0 or ', 0 sounds missing' not in summary or ' 0 clipped samples' not in summary:
            problems += 1
    print('Result : %s' % ('OK' if not problems else 'PROBLEMS FOUND'))
    return not problems


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out_dir = os.path.join(root, 'demo')
    mix = '/tmp/demo_mix.wav'
    args = list(argv[1:])
    while args:
        a = args.pop(0)
        if a == '--out':
            out_dir = args.pop(0)
        elif a == '--mix':
            mix = args.pop(0)
        elif a == '--no-mix':
            mix = None
        else:
            print(__doc__)
            return 2
    os.makedirs(out_dir, exist_ok=True)
    print('synthesising sounds...')
    sounds = build_sounds()
    problems = 0
    for s in sounds:
        path = os.path.join(out_dir, s.fname)
        if s.ima:
            blob, decoded = ima_wav_bytes(s.channels, s.rate, s.ima)
        else:
            blob = pcm_wav_bytes(s.channels, s.rate)
        with open(path, 'wb') as f:
            f.write(blob)
        line = '  #WAV%s %-22s %7d bytes  %s' % (s.id, s.fname, len(blob), describe(s))
        if s.ima:
            # What a decoder makes of the codes, against the source.
            worst = min(snr_db(to_int16(src), got) for src, got in zip(s.channels, decoded))
            line += ', decoded SNR %.1f dB' % worst
            if worst < 20.0:
                problems += 1
                line += ' (POOR)'
            sox = verify_with_sox(path)
            if sox is not None:
                rc, stats = sox
                ok = rc == 0 and 'Samples read' in stats
                line += ', sox %s' % ('reads it (max %s)' % stats.get('Maximum amplitude') if ok else 'FAILED')
                if not ok:
                    problems += 1
        print(line)
    chart_path = os.path.join(out_dir, 'demo.ktb')
    with open(chart_path, 'wb') as f:
        f.write(chart_text(sounds).encode('ascii'))
    print('wrote %s' % chart_path)
    print()
    ok = check_chart(root, chart_path, mix)
    total = sum(os.path.getsize(os.path.join(out_dir, n)) for n in os.listdir(out_dir))
    print('demo folder: %d files, %d bytes' % (len(os.listdir(out_dir)), total))
    if total > 3 * 1024 * 1024:
        print('demo folder is larger than 3 MB')
        ok = False
    return 0 if ok and not problems else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
