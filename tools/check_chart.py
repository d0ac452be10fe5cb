#!/usr/bin/env python3
"""Independent checker for KTB charts, written in plain Python 3 (standard library only).

It reads a chart with the same rules as the viewer's reader (lines split at CR LF only,
"#" lines longer than 4 characters, prefix keywords, the two channel-line forms), compiles
the time line (bar lengths, tempo changes, note times), builds the lane tables with their
span marks, and reports on it: duration, measure count, tempos, notes per lane group,
sound definitions and files.  With --mix it also plays the chart into a stereo WAV file,
applying the viewer's note rules (a sound restarts when its note comes due, a lane's
previous sound is faded out unless a span lets it ring).

It also holds the RIFF WAVE reader and the IMA ADPCM decoder that tools/make_demo.py uses
to verify what it writes.

    python3 tools/check_chart.py demo/demo.ktb [--mix /tmp/demo_mix.wav]
"""

import math
import os
import struct
import sys
from array import array

# ---------------------------------------------------------------------------
# RIFF WAVE reading and IMA ADPCM decoding
# ---------------------------------------------------------------------------

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
    """One IMA ADPCM step: returns (new predictor, new step index)."""
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
    if predictor > 32767:
        predictor = 32767
    elif predictor < -32768:
        predictor = -32768
    index += IMA_INDEX_TABLE[nibble]
    if index < 0:
        index = 0
    elif index > 88:
        index = 88
    return predictor, index


def ima_decode(data, channels, block_align, samples_per_block):
    """Decodes Microsoft IMA ADPCM data block by block.

    Only whole blocks are decoded, as the Windows codec does when it converts a
    buffer in one pass; a short last block is dropped (the caller reports it).
    Returns one list of int16 samples per channel.
    """
    out = [[] for _ in range(channels)]
    nblocks = len(data) // block_align
    for b in range(nblocks):
        block = data[b * block_align:(b + 1) * block_align]
        preds = []
        idxs = []
        for c in range(channels):
            pred, idx, _reserved = struct.unpack_from('<hBB', block, 4 * c)
            if idx > 88:
                raise ValueError('IMA ADPCM block %d: step index %d out of range' % (b, idx))
            preds.append(pred)
            idxs.append(idx)
            out[c].append(pred)
        pos = 4 * channels
        remaining = samples_per_block - 1
        if channels == 1:
            for byte in block[pos:pos + remaining // 2]:
                preds[0], idxs[0] = ima_decode_nibble(byte & 15, preds[0], idxs[0])
                out[0].append(preds[0])
                preds[0], idxs[0] = ima_decode_nibble(byte >> 4, preds[0], idxs[0])
                out[0].append(preds[0])
        else:
            # Stereo and up: groups of 4 bytes (8 samples) per channel, interleaved.
            groups = remaining // 8
            for g in range(groups):
                for c in range(channels):
                    start = pos + (g * channels + c) * 4
                    for byte in block[start:start + 4]:
                        preds[c], idxs[c] = ima_decode_nibble(byte & 15, preds[c], idxs[c])
                        out[c].append(preds[c])
                        preds[c], idxs[c] = ima_decode_nibble(byte >> 4, preds[c], idxs[c])
                        out[c].append(preds[c])
    return out


class WavInfo:
    def __init__(self):
        self.format_tag = 0
        self.channels = 0
        self.rate = 0
        self.bits = 0
        self.block_align = 0
        self.avg_bytes = 0
        self.samples_per_block = 0
        self.cb_size = None
        self.fact_samples = None
        self.data_size = 0
        self.frames = 0
        self.samples = None   # list per channel of floats in -1..1
        self.problems = []

    def describe(self):
        if self.format_tag == 1:
            kind = 'PCM %d-bit' % self.bits
        elif self.format_tag == 0x11:
            kind = 'IMA ADPCM (block %d, %d samples/block)' % (self.block_align,
                                                            self.samples_per_block)
        else:
            kind = 'format 0x%04X' % self.format_tag
        return '%s %s %d Hz, %.3f s' % (kind, 'mono' if self.channels == 1 else
                                       '%d ch' % self.channels, self.rate,
                                       self.frames / float(self.rate or 1))


def read_wav(path):
    """Reads a RIFF WAVE file (PCM 8/16-bit or IMA ADPCM) into a WavInfo."""
    with open(path, 'rb') as f:
        blob = f.read()
    info = WavInfo()
    if len(blob) < 12 or blob[0:4] != b'RIFF' or blob[8:12] != b'WAVE':
        raise ValueError('%s: not a RIFF WAVE file' % path)
    riff_size = struct.unpack_from('<I', blob, 4)[0]
    if riff_size + 8 != len(blob):
        info.problems.append('RIFF size %d does not match file size %d' % (riff_size + 8, len(blob)))
    pos = 12
    fmt = None
    data = None
    while pos + 8 <= len(blob):
        cid = blob[pos:pos + 4]
        size = struct.unpack_from('<I', blob, pos + 4)[0]
        body = blob[pos + 8:pos + 8 + size]
        if cid == b'fmt ':
            fmt = body
        elif cid == b'fact' and size >= 4:
            info.fact_samples = struct.unpack_from('<I', body, 0)[0]
        elif cid == b'data':
            data = body
            if len(body) != size:
                info.problems.append('data chunk truncated')
        pos += 8 + size + (size & 1)
    if fmt is None or len(fmt) < 16:
        raise ValueError('%s: no fmt chunk' % path)
    if data is None:
        raise ValueError('%s: no data chunk' % path)
    (info.format_tag, info.channels, info.rate, info.avg_bytes, info.block_align,
     info.bits) = struct.unpack_from('<HHIIHH', fmt, 0)
    if len(fmt) >= 18:
        info.cb_size = struct.unpack_from('<H', fmt, 16)[0]
    info.data_size = len(data)
    if info.format_tag == 1:
        if info.bits == 16:
            a = array('h')
            a.frombytes(data[:len(data) // 2 * 2])
            if sys.byteorder == 'big':
                a.byteswap()
            chans = [[v / 32768.0 for v in a[c::info.channels]] for c in range(info.channels)]
        elif info.bits == 8:
            chans = [[(v - 128) / 128.0 for v in data[c::info.channels]]
                     for c in range(info.channels)]
        else:
            raise ValueError('%s: %d-bit PCM not handled' % (path, info.bits))
        if info.block_align != info.channels * info.bits // 8:
            info.problems.append('PCM block align %d is wrong' % info.block_align)
        if info.avg_bytes != info.rate * info.block_align:
            info.problems.append('PCM average bytes %d is wrong' % info.avg_bytes)
    elif info.format_tag == 0x11:
        if info.cb_size != 2 or len(fmt) < 20:
            raise ValueError('%s: IMA ADPCM fmt chunk without its 2-byte extension' % path)
        info.samples_per_block = struct.unpack_from('<H', fmt, 18)[0]
        spb = info.samples_per_block
        if info.bits != 4:
            info.problems.append('IMA ADPCM with %d bits per sample' % info.bits)
        if (spb - 1) % 8 != 0 and info.channels > 1 or (spb - 1) % 2 != 0:
            info.problems.append('samples per block %d does not fit the packing' % spb)
        if ((spb - 1) // 2 + 4) * info.channels != info.block_align:
            info.problems.append('block align %d does not hold %d samples per block'
                                 % (info.block_align, spb))
        if info.fact_samples is None:
            info.problems.append('no fact chunk')
        if len(data) % info.block_align:
            info.problems.append('data (%d bytes) is not a whole number of blocks; the codec '
                                 'drops the last %d bytes' % (len(data), len(data) % info.block_align))
        ints = ima_decode(data, info.channels, info.block_align, spb)
        if info.fact_samples is not None:
            ints = [ch[:info.fact_samples] for ch in ints]
        chans = [[v / 32768.0 for v in ch] for ch in ints]
    else:
        raise ValueError('%s: format tag 0x%04X not handled' % (path, info.format_tag))
    info.samples = chans
    info.frames = len(chans[0]) if chans else 0
    return info


def write_wav16(path, channels_data, rate):
    """Writes float channels (-1..1) as 16-bit PCM; returns the peak before clipping."""
    nch = len(channels_data)
    n = len(channels_data[0])
    peak = 0.0
    a = array('h', bytes(2 * n * nch))
    for c, ch in enumerate(channels_data):
        for i, v in enumerate(ch):
            av = abs(v)
            if av > peak:
                peak = av
            s = int(round(v * 32767.0))
            if s > 32767:
                s = 32767
            elif s < -32768:
                s = -32768
            a[i * nch + c] = s
    if sys.byteorder == 'big':
        a.byteswap()
    body = a.tobytes()
    fmt = struct.pack('<HHIIHH', 1, nch, rate, rate * 2 * nch, 2 * nch, 16)
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', 4 + 8 + len(fmt) + 8 + len(body)) + b'WAVE')
        f.write(b'fmt ' + struct.pack('<I', len(fmt)) + fmt)
        f.write(b'data' + struct.pack('<I', len(body)) + body)
    return peak


# ---------------------------------------------------------------------------
# Chart reading, by the viewer's rules
# ---------------------------------------------------------------------------

def split_lines(data):
    """Lines end at CR LF, at NUL or at the end; runs of CR, LF, NUL are skipped."""
    lines = []
    pos = 0
    size = len(data)
    while pos < size:
        end = pos
        while end < size:
            b = data[end]
            if b == 0 or (b == 13 and end + 1 < size and data[end + 1] == 10):
                break
            end += 1
        lines.append(data[pos:end][:1999])
        while end < size and data[end] in (13, 10, 0):
            end += 1
        pos = end
    return lines


def is_dec(c):
    return 48 <= c <= 57


def is_hex(c):
    return is_dec(c) or 65 <= c <= 70 or 97 <= c <= 102


def is_b36(c):
    return is_dec(c) or 65 <= c <= 90 or 97 <= c <= 122


def digit36(c):
    if is_dec(c):
        return c - 48
    if 65 <= c <= 90:
        return c - 55
    if 97 <= c <= 122:
        return c - 87
    return 0


def sound_id(two):
    if len(two) < 2:
        return 0
    v = digit36(two[0]) * 36 + digit36(two[1])
    return 0 if v > 575 else v


def starts_nocase(text, kw):
    return text[:len(kw)].upper() == kw


def atof(text):
    """The C atof: leading blanks, the longest leading decimal number, else 0."""
    s = text.decode('latin-1').lstrip(' \t\r\n\v\f')
    best = 0.0
    for end in range(len(s), 0, -1):
        try:
            part = s[:end]
            if part.strip() != part or part.lower() in ('inf', 'nan', 'infinity'):
                continue
            best = float(part)
            return best
        except ValueError:
            continue
    return best


DRUM_CODES = ['HH', 'SD', 'BD', 'HT', 'LT', 'CY']


class Note:
    __slots__ = ('position', 'lane', 'id', 'sound', 'time', 'channel')

    def __init__(self, position, lane, sid, sound, channel):
        self.position = position
        self.lane = lane
        self.id = sid
        self.sound = sound
        self.time = 0.0
        self.channel = channel


class Chart:
    def __init__(self):
        self.title = ''
        self.artist = ''
        self.bpm = 0.0
        self.base_bpm = 0.0
        self.sound_names = [''] * 576
        self.buffers = []            # distinct joined paths, in load order
        self.measure_count = 0
        self.drum = []
        self.fi = []
        self.guitar = []
        self.gw = []
        self.bass = []
        self.bw = []
        self.sound = []
        self.tempos = []             # [position, bpm, span, time, duration]
        self.bar_lengths = {}        # measure -> length
        self.guitar_spans = []
        self.bass_spans = []
        self.drum_spans = [[] for _ in range(9)]
        self.sound_spans = [[] for _ in range(36)]
        self.warnings = []
        self.undefined_ids = set()
        self.channel_codes = set()


def find_buffer(chart, joined):
    if not joined:
        return None
    low = joined.lower()
    for b in chart.buffers:
        if b.lower() == low:
            return b
    return None


def add_cells(chart, measure, channel, data, code):
    n = len(data) // 2
    if n == 0:
        return
    for k in range(n):
        c0, c1 = data[2 * k], data[2 * k + 1]
        pos = measure + k / float(n)
        if channel in ('TC', 'SPAN'):
            if not (is_hex(c0) and is_hex(c1)):
                continue
            value = int(bytes([c0, c1]), 16)
        else:
            if not (is_hex(c0) and is_b36(c1)):
                continue
            value = sound_id(bytes([c0, c1]))
        if value == 0:
            continue
        yield pos, value


def parse_channel_line(chart, line):
    if len(line) < 4 or not (is_dec(line[1]) and is_dec(line[2]) and is_dec(line[3])):
        return
    measure = (line[1] - 48) * 100 + (line[2] - 48) * 10 + (line[3] - 48)
    line = line.replace(b'_', b'')
    kind = None
    if len(line) > 7 and line[7] == 58 and chr(line[4]).upper() == 'C':
        rest = line[5:]
        for i, code in enumerate(['GT', 'BS'] + DRUM_CODES):
            if starts_nocase(rest, code.encode()):
                kind = ('span', code)
                break
        if kind is None and is_dec(line[5]) and is_hex(line[6]):
            n = int(line[5:7], 16)
            if 1 <= n <= 32:
                kind = ('span', n)
            else:
                kind = ('ignored', None)
        if kind is not None and kind[0] == 'span':
            data = line[8:]
    if kind is None and len(line) > 6 and line[6] == 58:
        rest = line[4:]
        for code in ['TC', 'BL'] + DRUM_CODES + ['FI', 'GW']:
            if starts_nocase(rest, code.encode()):
                kind = ('two', code)
                break
        if kind is None and chr(line[4]) in 'Gg' and 48 <= line[5] <= 55:
            kind = ('two', 'G%d' % (line[5] - 48))
        if kind is None and starts_nocase(rest, b'BW'):
            kind = ('two', 'BW')
        if kind is None and chr(line[4]) in 'Bb' and 48 <= line[5] <= 55:
            kind = ('two', 'B%d' % (line[5] - 48))
        if kind is None and is_dec(line[4]) and is_hex(line[5]):
            n = int(line[4:6], 16)
            if 1 <= n <= 32:
                kind = ('two', n)
        data = line[7:]
    if measure > chart.measure_count:
        chart.measure_count = measure
    if kind is None or kind[0] == 'ignored':
        chart.warnings.append('ignored line: %s' % line.decode('latin-1'))
        return
    form, code = kind
    chart.channel_codes.add((form, code))
    if form == 'span':
        if code == 'GT':
            target = chart.guitar_spans
        elif code == 'BS':
            target = chart.bass_spans
        elif code in DRUM_CODES:
            target = chart.drum_spans[DRUM_CODES.index(code) + 1]
        else:
            target = chart.sound_spans[code]
        for pos, value in add_cells(chart, measure, 'SPAN', data, code):
            if any(m[0] == pos for m in target):
                continue
            target.append([pos, value])
        return
    if code == 'BL':
        if measure not in chart.bar_lengths:
            chart.bar_lengths[measure] = atof(data)
        return
    if code == 'TC':
        for pos, value in add_cells(chart, measure, 'TC', data, code):
            if any(t[0] == pos for t in chart.tempos):
                continue
            chart.tempos.append([pos, float(value), 0.0, 0.0, 0.0])
        return
    for pos, value in add_cells(chart, measure, 'NOTE', data, code):
        sound = None
        if code in DRUM_CODES or isinstance(code, int) or code[0] in 'GB' and code not in ('GW', 'BW'):
            joined = chart.sound_names[value]
            sound = find_buffer(chart, joined)
            if not joined:
                chart.undefined_ids.add(value)
        if code in DRUM_CODES:
            lane = DRUM_CODES.index(code) + 1
            if any(e.position == pos and e.lane == lane for e in chart.drum):
                continue
            chart.drum.append(Note(pos, lane, value, sound, code))
        elif code == 'FI':
            if any(e.position == pos for e in chart.fi):
                continue
            chart.fi.append(Note(pos, 7, value, None, code))
        elif code in ('GW', 'BW'):
            target = chart.gw if code == 'GW' else chart.bw
            if any(e.position == pos for e in target):
                continue
            target.append(Note(pos, 8, value, None, code))
        elif isinstance(code, int):
            if any(e.position == pos and e.lane == code for e in chart.sound):
                continue
            chart.sound.append(Note(pos, code, value, sound, code))
        else:
            target = chart.guitar if code[0] == 'G' else chart.bass
            if any(e.position == pos for e in target):
                chart.warnings.append('%03d%s: second %s note at %.4f dropped'
                                      % (measure, code, 'guitar' if code[0] == 'G' else 'bass', pos))
                continue
            target.append(Note(pos, int(code[1]), value, sound, code))


def load_chart(path):
    with open(path, 'rb') as f:
        data = f.read()
    chart = Chart()
    sound_dir = os.path.dirname(os.path.abspath(path))
    lines = split_lines(data)
    if b'\n' in data and b'\r\n' not in data:
        chart.warnings.append('the file has no CR LF line ends: it reads as one line')
    used = []
    for raw in lines:
        if len(raw) > 4 and raw[0:1] == b'#':
            text = raw.split(b'\t')[0].split(b'\n')[0]
            used.append(text)
    # Pass 1: sounds.
    for text in used:
        body = text[1:]
        if starts_nocase(body, b'PATH_WAV') and len(text) >= 12:
            sound_dir = text[10:10 + 259].decode('latin-1')
            chart.warnings.append('PATH_WAV is taken relative to the current directory')
        elif starts_nocase(body, b'WAV'):
            joined = os.path.join(sound_dir, text[7:].decode('latin-1'))
            if find_buffer(chart, joined) is None:
                chart.buffers.append(joined)
    # Pass 2: everything else.
    for text in used:
        body = text[1:]
        if starts_nocase(body, b'TITLE'):
            if len(text) >= 8:
                chart.title = text[6:6 + 48].decode('latin-1')
        elif starts_nocase(body, b'ARTIST'):
            if len(text) >= 9:
                chart.artist = text[7:7 + 39].decode('latin-1')
        elif starts_nocase(body, b'WAV'):
            sid = sound_id(text[4:6])
            if sid and not chart.sound_names[sid]:
                chart.sound_names[sid] = os.path.join(sound_dir, text[7:].decode('latin-1'))
        elif starts_nocase(body, b'BPM'):
            if len(text) >= 6:
                chart.bpm = atof(text[5:])
        elif starts_nocase(body, b'BASEBPM'):
            if len(text) >= 9:
                chart.base_bpm = atof(text[9:])
        elif starts_nocase(body, b'WALL'):
            pass
        else:
            parse_channel_line(chart, text)
    if not (chart.drum or chart.guitar or chart.bass or chart.sound):
        return None
    chart.measure_count += 1
    start = chart.bpm if chart.bpm > 0 else (chart.base_bpm if chart.base_bpm > 0 else 0)
    if start > 0 and not any(t[0] == 0.0 for t in chart.tempos):
        chart.tempos.append([0.0, float('%f' % start), 0.0, 0.0, 0.0])
    for t in chart.tempos:
        t[1] += chart.base_bpm
    chart.base_bpm = 0.0
    return chart


# ---------------------------------------------------------------------------
# Compilation: measure table, tempo stretches, note times
# ---------------------------------------------------------------------------

def compile_chart(chart):
    chart.measure_count += 1
    mc = chart.measure_count
    factors = []
    running = 1.0
    for k in range(mc):
        if k in chart.bar_lengths:
            running = chart.bar_lengths[k]
        factors.append(running)
    if chart.base_bpm > 0:
        ms = 240000.0 / chart.base_bpm
    elif chart.bpm > 0:
        ms = 240000.0 / chart.bpm
    else:
        ms = 2000.0
    start_ms = ms
    tempos = sorted(chart.tempos, key=lambda t: t[0])
    chart.tempos = tempos
    starts = [0.0] * mc
    durations = [0.0] * mc
    starts[0] = 1500.0
    i = 0
    for k in range(mc - 1):
        if i >= len(tempos) or int(tempos[i][0]) != k:
            durations[k] = ms * factors[k]
        else:
            first_pos = tempos[i][0]
            before = ms
            total = 0.0
            first = True
            prev = None
            while i < len(tempos) and int(tempos[i][0]) == k:
                t = tempos[i]
                if first:
                    t[3] = starts[k] + (t[0] - k) * factors[k] * ms
                    first = False
                else:
                    t[3] = prev[3] + prev[4]
                if i + 1 < len(tempos) and int(tempos[i + 1][0]) == k:
                    t[2] = tempos[i + 1][0] - t[0]
                else:
                    t[2] = 1.0 - (t[0] - k)
                if t[1] > 0:
                    ms = 240000.0 / t[1]
                t[4] = factors[k] * t[2] * ms
                total += t[4]
                prev = t
                i += 1
            durations[k] = (first_pos - k) * factors[k] * before + total
        starts[k + 1] = starts[k] + durations[k]
    chart.factors = factors
    chart.starts = starts
    chart.durations = durations

    def time_events(events):
        pass_ms = start_ms
        events.sort(key=lambda e: e.position)
        i = 0
        for e in events:
            g = e.position
            m = int(g)
            e.time = 0.0
            while i < len(tempos):
                t = tempos[i]
                if t[0] <= g < t[0] + t[2]:
                    e.time = t[3] + (240000.0 / t[1]) * factors[m] * (g - t[0])
                    pass_ms = 240000.0 / t[1]
                    break
                elif m == int(t[0]):
                    e.time = starts[m] + (g - m) * pass_ms * factors[m]
                    if g < t[0] + t[2]:
                        break
                    i += 1
                else:
                    if g < t[0] + t[2]:
                        break
                    i += 1
            if e.time == 0.0:
                e.time = starts[m] + (g - m) * durations[m]

    for lst in (chart.guitar, chart.gw, chart.bass, chart.bw, chart.drum, chart.fi, chart.sound):
        time_events(lst)
    chart.end_time = int(starts[mc - 1]) + 2000
    # W events without a note of the same part at the same position never reach the lanes.
    gpos = set(e.position for e in chart.guitar)
    bpos = set(e.position for e in chart.bass)
    chart.gw_partnered = [e for e in chart.gw if e.position in gpos]
    chart.bw_partnered = [e for e in chart.bw if e.position in bpos]
    chart.beats = sum(max(1, int(f * 4)) for f in factors[:mc - 1]) + 1


def round_half_up(t):
    i = int(t)
    return i + 1 if t - i >= 0.5 else i


class Entry:
    __slots__ = ('time', 'kind', 'position', 'sound', 'fade_on_next')

    def __init__(self, note):
        self.time = round_half_up(note.time)
        self.kind = note.lane
        self.position = note.position
        self.sound = note.sound
        self.fade_on_next = 1


def apply_spans(entries, marks):
    marks = sorted(marks, key=lambda m: m[0])
    if not entries or len(marks) < 2 or marks[0][1] != 1 or marks[1][1] != 2:
        return 0
    p = 0
    changed = 0
    for e in entries:
        stop = False
        while e.position > marks[p + 1][0]:
            p += 2
            if p + 1 >= len(marks) or marks[p][1] != 1 or marks[p + 1][1] != 2:
                stop = True
                break
        if stop:
            break
        if marks[p][0] <= e.position <= marks[p + 1][0]:
            e.fade_on_next = 0
            changed += 1
    return changed


def build_lanes(chart):
    lanes = {}
    for n in range(1, 7):
        lanes[('drum', n)] = sorted((Entry(e) for e in chart.drum if e.lane == n), key=lambda x: x.time)
    for part, notes in (('guitar', chart.guitar), ('bass', chart.bass)):
        for v in range(8):
            lanes[(part, v)] = sorted((Entry(e) for e in notes if e.lane == v), key=lambda x: x.time)
    for n in range(1, 33):
        lanes[('sound', n)] = sorted((Entry(e) for e in chart.sound if e.lane == n), key=lambda x: x.time)
    spans = 0
    for n in range(1, 7):
        spans += apply_spans(lanes[('drum', n)], chart.drum_spans[n])
    for v in range(8):
        spans += apply_spans(lanes[('guitar', v)], chart.guitar_spans)
        spans += apply_spans(lanes[('bass', v)], chart.bass_spans)
    for n in range(1, 33):
        spans += apply_spans(lanes[('sound', n)], chart.sound_spans[n])
    chart.lanes = lanes
    chart.span_entries = spans
    return lanes


# ---------------------------------------------------------------------------
# Playback simulation and mixing
# ---------------------------------------------------------------------------

FRAME_MS = 16.0
MIX_RATE = 44100


def simulate(chart):
    """Applies the note rules in time order; returns voices (sound, start ms, stop ms, fade ms)."""
    order = []
    seq = 0
    for n in range(1, 7):
        for e in chart.lanes[('drum', n)]:
            order.append((e.time, seq, ('drum', n), 500 + n, e))
        seq += 1
    for part, tag in (('guitar', 100), ('bass', 200)):
        for v in range(8):
            for e in chart.lanes[(part, v)]:
                order.append((e.time, seq, (part,), tag, e))
            seq += 1
    for n in range(1, 33):
        for e in chart.lanes[('sound', n)]:
            order.append((e.time, seq, ('sound', n), 1000 + n, e))
        seq += 1
    order.sort(key=lambda x: (x[0], x[1]))
    last = {}
    owner = {}
    current = {}     # sound -> voice dict
    voices = []
    for t, _seq, key, tag, e in order:
        prev = last.get(key)
        fade = (prev is not None and prev.sound is not None and prev.sound != e.sound
                and prev.fade_on_next and owner.get(prev.sound) == tag)
        if e.sound is not None:
            v = current.get(e.sound)
            if v is not None and v['stop'] is None:
                v['stop'] = t
            v = {'sound': e.sound, 'start': t, 'stop': None, 'fade': None}
            voices.append(v)
            current[e.sound] = v
            owner[e.sound] = tag
        if fade:
            v = current.get(prev.sound)
            if v is not None and v['fade'] is None and v['stop'] is None:
                v['fade'] = t
        last[key] = e
    return voices


def resample(samples, rate):
    if rate == MIX_RATE:
        return samples
    ratio = rate / float(MIX_RATE)
    n = int(len(samples) / ratio)
    out = [0.0] * n
    last = len(samples) - 1
    for i in range(n):
        x = i * ratio
        j = int(x)
        f = x - j
        a = samples[j]
        b = samples[j + 1] if j < last else 0.0
        out[i] = a + (b - a) * f
    return out


def render(chart, sounds, out_path):
    voices = simulate(chart)
    end_ms = chart.end_time
    for v in voices:
        info = sounds.get(v['sound'])
        if info is None:
            continue
        length_ms = info.frames * 1000.0 / info.rate
        end_ms = max(end_ms, v['start'] + length_ms)
    total = int(end_ms / 1000.0 * MIX_RATE) + MIX_RATE // 2
    left = [0.0] * total
    right = [0.0] * total
    cache = {}
    for v in voices:
        info = sounds.get(v['sound'])
        if info is None:
            continue
        if v['sound'] not in cache:
            chans = [resample(ch, info.rate) for ch in info.samples]
            cache[v['sound']] = (chans[0], chans[1] if len(chans) > 1 else chans[0])
        l, r = cache[v['sound']]
        start = int(v['start'] * MIX_RATE / 1000.0)
        n = len(l)
        if v['stop'] is not None:
            n = min(n, int((v['stop'] - v['start']) * MIX_RATE / 1000.0))
        gain = None
        if v['fade'] is not None:
            # Volume steps once per frame: 0, -20, -40, -60, -80 dB, then stopped.
            fstart = int((v['fade'] - v['start']) * MIX_RATE / 1000.0)
            frame = int(FRAME_MS * MIX_RATE / 1000.0)
            n = min(n, fstart + 5 * frame)
            gain = [1.0] * n
            for i in range(max(0, fstart + frame), n):
                gain[i] = 10.0 ** (-(1 + (i - fstart - frame) // frame))
        if n <= 0:
            continue
        n = min(n, total - start)
        if gain is None:
            left[start:start + n] = map(float.__add__, left[start:start + n], l[:n])
            right[start:start + n] = map(float.__add__, right[start:start + n], r[:n])
        else:
            left[start:start + n] = [a + b * g for a, b, g in zip(left[start:start + n], l[:n], gain)]
            right[start:start + n] = [a + b * g for a, b, g in zip(right[start:start + n], r[:n], gain)]
    peak = write_wav16(out_path, [left, right], MIX_RATE)
    sq = sum(x * x for x in left) + sum(x * x for x in right)
    rms = math.sqrt(sq / (2 * total))
    clipped = sum(1 for x in left if abs(x) > 1.0) + sum(1 for x in right if abs(x) > 1.0)
    # Loudest one-second window, to see that the busy sections stay sensible.
    win = MIX_RATE
    best = 0.0
    for s in range(0, total - win, win // 2):
        e = sum(x * x for x in left[s:s + win])
        best = max(best, math.sqrt(e / win))
    return {'voices': len(voices), 'seconds': total / float(MIX_RATE), 'peak': peak,
            'rms': rms, 'clipped': clipped, 'loudest_1s_rms': best}


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def db(x):
    return 20.0 * math.log10(x) if x > 0 else -999.0


def check(path, mix_path=None, quiet=False):
    """Checks the chart; returns (ok, summary dict)."""
    out = (lambda *a: None) if quiet else print
    chart = load_chart(path)
    if chart is None:
        out('%s: no notes: the viewer would refuse it' % path)
        return False, {}
    compile_chart(chart)
    build_lanes(chart)
    ok = True
    out('Title  :%s' % chart.title)
    out('Artist :%s' % chart.artist)
    out('Measures: %d with data (0..%d), end measure %d'
        % (chart.measure_count - 1, chart.measure_count - 2, chart.measure_count - 1))
    tempo_text = ', '.join('%g bpm at %.3f (%.0f ms)' % (t[1], t[0], t[3] or chart.starts[int(t[0])])
                           for t in chart.tempos)
    out('Tempos : %s' % tempo_text)
    if chart.bar_lengths:
        out('Bar lengths: %s' % ', '.join('measure %d: %g' % kv for kv in sorted(chart.bar_lengths.items())))
    last_note = max(e.time for e in chart.drum + chart.guitar + chart.bass + chart.sound)
    out('Time   : measure 0 at 1500 ms, end measure at %.0f ms, end of play %d ms (%.1f s); '
        'last note at %.0f ms' % (chart.starts[-1], chart.end_time, chart.end_time / 1000.0, last_note))
    out('Beat lines (drum ruler entries): %d' % chart.beats)
    drum_counts = [len(chart.lanes[('drum', n)]) for n in range(1, 7)]
    out('Drums  : %d notes (%s)' % (sum(drum_counts), ', '.join(
        '%s %d' % (c, k) for c, k in zip(DRUM_CODES, drum_counts))))
    out('FI     : %d events' % len(chart.fi))
    for part, notes, ws, wp in (('Guitar', chart.guitar, chart.gw, chart.gw_partnered),
                                ('Bass  ', chart.bass, chart.bw, chart.bw_partnered)):
        per = [sum(1 for e in notes if e.lane == v) for v in range(8)]
        out('%s: %d notes (by chord value 0..7: %s); W events %d, with a partner note %d'
            % (part, len(notes), ' '.join(str(x) for x in per), len(ws), len(wp)))
        if len(wp) != len(ws):
            out('  warning: %d W events have no note at their position' % (len(ws) - len(wp)))
            ok = False
    sound_channels = sorted(set(e.lane for e in chart.sound))
    out('Sound  : %d notes on %d channels (%s)' % (len(chart.sound), len(sound_channels), ', '.join(
        '%02X:%d' % (c, sum(1 for e in chart.sound if e.lane == c)) for c in sound_channels)))
    span_lists = [('GT', chart.guitar_spans), ('BS', chart.bass_spans)] + \
        [(DRUM_CODES[n - 1], chart.drum_spans[n]) for n in range(1, 7)] + \
        [('%02X' % n, chart.sound_spans[n]) for n in range(1, 33)]
    spans = ['C%s x%d' % (name, len(m) // 2) for name, m in span_lists if m]
    out('Spans  : %s; %d entries ring on' % (', '.join(spans) or 'none', chart.span_entries))
    # Sound files.
    sounds = {}
    total_bytes = 0
    for b in chart.buffers:
        if not os.path.isfile(b):
            out('MISSING sound file: %s' % b)
            ok = False
            continue
        total_bytes += os.path.getsize(b)
        try:
            info = read_wav(b)
        except ValueError as exc:
            out('BAD sound file: %s' % exc)
            ok = False
            continue
        sounds[b] = info
        for p in info.problems:
            out('  %s: %s' % (os.path.basename(b), p))
            ok = False
    defined = [i for i in range(576) if chart.sound_names[i]]
    used_ids = set(e.id for e in chart.drum + chart.guitar + chart.bass + chart.sound)
    out('Sounds : %d defined, %d files, %d bytes; %d ids used by notes'
        % (len(defined), len(chart.buffers), total_bytes, len(used_ids)))
    if chart.undefined_ids:
        out('UNDEFINED ids used by notes: %s' % sorted(chart.undefined_ids))
        ok = False
    unused = [i for i in defined if i not in used_ids]
    if unused:
        out('  (defined but unused ids: %s)' % unused)
    nobuf = sum(1 for e in chart.drum + chart.guitar + chart.bass + chart.sound if e.sound is None)
    if nobuf:
        out('NOTES WITHOUT A SOUND: %d' % nobuf)
        ok = False
    for w in chart.warnings:
        out('warning: %s' % w)
        ok = False
    summary = {'chart': chart, 'sounds': sounds, 'bytes': total_bytes}
    if mix_path:
        res = render(chart, sounds, mix_path)
        out('Mix    : %s, %.1f s, %d voices, peak %.3f (%.1f dBFS), RMS %.1f dBFS, loudest second '
            '%.1f dBFS RMS, %d clipped samples'
            % (mix_path, res['seconds'], res['voices'], res['peak'], db(res['peak']), db(res['rms']),
               db(res['loudest_1s_rms']), res['clipped']))
        if res['clipped']:
            ok = False
        summary['mix'] = res
    out('Result : %s' % ('OK' if ok else 'PROBLEMS FOUND'))
    return ok, summary


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    mix = None
    if '--mix' in argv:
        i = argv.index('--mix')
        mix = argv[i + 1] if i + 1 < len(argv) else '/tmp/demo_mix.wav'
        del argv[i:i + 2]
    ok, _ = check(argv[1], mix)
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
