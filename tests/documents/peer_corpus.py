#!/usr/bin/python3
"""The reference side of the MIDI peer test, built on mido.

  peer_corpus.py write DIR   writes the corpus into DIR: NAME.mid and NAME.txt, the description
                             of what mido reads from NAME.mid
  peer_corpus.py read FILE   prints the description of FILE as mido reads it

A description has one line per track ("track K") followed by one line per note, controller,
program change, pitch bend, aftertouch, tempo and system-exclusive message, at absolute ticks:
  note TICK CH KEY VEL DURATION     (a note-off, or a note-on of velocity 0, closes the most
                                     recent still-sounding note-on of its key and channel)
  cc TICK CH CONTROL VALUE | prog TICK CH PROGRAM | bend TICK CH PITCH | at TICK CH VALUE
  polyat TICK CH KEY VALUE | tempo TICK MICROSECONDS | sysex TICK HEXBYTES
It begins with "format F division D tracks N" (format 2 shows as 1; D is the header word).
"""
import io
import os
import random
import struct
import sys

import mido


def describe(mf):
    fmt = 1 if mf.type == 2 else mf.type
    out = ['format %d division %d tracks %d' % (fmt, mf.ticks_per_beat & 0xFFFF, len(mf.tracks))]
    for k, track in enumerate(mf.tracks):
        out.append('track %d' % k)
        lines = []
        opened = {}
        now = 0
        for msg in track:
            now += msg.time
            t = msg.type
            if t == 'note_on' and msg.velocity > 0:
                line = ['note', now, msg.channel, msg.note, msg.velocity, 0]
                lines.append(line)
                opened.setdefault((msg.channel, msg.note), []).append(line)
            elif t in ('note_off', 'note_on'):
                stack = opened.get((msg.channel, msg.note))
                if stack:
                    line = stack.pop()
                    line[5] = now - line[1]
            elif t == 'control_change':
                lines.append(['cc', now, msg.channel, msg.control, msg.value])
            elif t == 'program_change':
                lines.append(['prog', now, msg.channel, msg.program])
            elif t == 'pitchwheel':
                lines.append(['bend', now, msg.channel, msg.pitch])
            elif t == 'aftertouch':
                lines.append(['at', now, msg.channel, msg.value])
            elif t == 'polytouch':
                lines.append(['polyat', now, msg.channel, msg.note, msg.value])
            elif t == 'set_tempo':
                lines.append(['tempo', now, msg.tempo])
            elif t == 'sysex':
                lines.append(['sysex', now, bytes(msg.data).hex() or '-'])
        out.extend(' '.join(str(x) for x in line) for line in lines)
    return '\n'.join(out) + '\n'


def raw_file(fmt, division, tracks):
    data = b'MThd' + struct.pack('>IHHH', 6, fmt, len(tracks), division)
    for body in tracks:
        data += b'MTrk' + struct.pack('>I', len(body)) + body
    return data


def corpus():
    rnd = random.Random(5)
    files = {}

    # Format 1: names, tempo changes, time signature, text, notes with velocity-0 offs,
    # controllers, programs, bends, aftertouch, sysex, an unmatched note-off.
    mf = mido.MidiFile(type=1, ticks_per_beat=480)
    conductor = mido.MidiTrack([
        mido.MetaMessage('track_name', name='conductor'),
        mido.MetaMessage('time_signature', numerator=3, denominator=4),
        mido.MetaMessage('set_tempo', tempo=500000),
        mido.MetaMessage('set_tempo', tempo=416667, time=1920),
        mido.MetaMessage('text', text='bridge', time=100),
        mido.MetaMessage('set_tempo', tempo=600000, time=5),
    ])
    mf.tracks.append(conductor)
    for ch in range(3):
        tr = mido.MidiTrack([mido.MetaMessage('track_name', name='part %d' % ch)])
        tr.append(mido.Message('program_change', channel=ch, program=10 + ch))
        tr.append(mido.Message('control_change', channel=ch, control=7, value=100 - ch))
        tr.append(mido.Message('control_change', channel=ch, control=10, value=20 + ch))
        tr.append(mido.Message('note_off', channel=ch, note=30, time=3))  # nothing sounding
        for i in range(60):
            note = 40 + rnd.randrange(40)
            tr.append(mido.Message('note_on', channel=ch, note=note, velocity=rnd.randrange(1, 128),
                                   time=rnd.randrange(0, 200)))
            if rnd.random() < 0.2:
                tr.append(mido.Message('pitchwheel', channel=ch, pitch=rnd.randrange(-8192, 8192),
                                       time=rnd.randrange(0, 20)))
            if rnd.random() < 0.1:
                tr.append(mido.Message('aftertouch', channel=ch, value=rnd.randrange(128)))
                tr.append(mido.Message('polytouch', channel=ch, note=note, value=rnd.randrange(128)))
            if rnd.random() < 0.1:
                tr.append(mido.MetaMessage('marker', text='m%d' % i, time=rnd.randrange(0, 9)))
            off = 'note_on' if rnd.random() < 0.5 else 'note_off'
            kw = {'velocity': 0} if off == 'note_on' else {'velocity': rnd.randrange(128)}
            tr.append(mido.Message(off, channel=ch, note=note, time=rnd.randrange(1, 300), **kw))
        tr.append(mido.Message('sysex', data=[0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00], time=7))
        tr.append(mido.Message('control_change', channel=ch, control=64, value=127, time=2))
        mf.tracks.append(tr)
    files['format1'] = mf

    # Format 0: every channel in one track, overlapping notes of one key, notes left open.
    mf = mido.MidiFile(type=0, ticks_per_beat=96)
    tr = mido.MidiTrack([mido.MetaMessage('set_tempo', tempo=250000)])
    for i in range(200):
        ch = rnd.randrange(16)
        tr.append(mido.Message('note_on', channel=ch, note=60, velocity=64, time=rnd.randrange(4)))
        if rnd.random() < 0.7:
            tr.append(mido.Message('note_off', channel=ch, note=60, time=rnd.randrange(4)))
        if rnd.random() < 0.1:
            tr.append(mido.Message('control_change', channel=ch, control=rnd.randrange(120),
                                   value=rnd.randrange(128)))
    mf.tracks.append(tr)
    files['format0'] = mf

    # Format 2: independent patterns.
    mf = mido.MidiFile(type=2, ticks_per_beat=120)
    for p in range(4):
        tr = mido.MidiTrack()
        for i in range(16):
            tr.append(mido.Message('note_on', channel=9, note=36 + p, velocity=100, time=0 if i == 0 else 60))
            tr.append(mido.Message('note_off', channel=9, note=36 + p, time=60))
        mf.tracks.append(tr)
    files['format2'] = mf

    # Odd and SMPTE divisions.
    for name, tpb in (('division1', 1), ('division7', 7), ('division32767', 32767),
                      ('smpte25x40', -6360), ('smpte30x80', -7600)):
        mf = mido.MidiFile(type=0, ticks_per_beat=tpb)
        tr = mido.MidiTrack()
        for i in range(10):
            tr.append(mido.Message('note_on', note=50 + i, velocity=90, time=i * 3))
            tr.append(mido.Message('note_on', note=50 + i, velocity=0, time=i + 1))
        mf.tracks.append(tr)
        files[name] = mf

    # Many tracks: 50 (a document holds 39).
    mf = mido.MidiFile(type=1, ticks_per_beat=240)
    for k in range(50):
        tr = mido.MidiTrack([mido.MetaMessage('track_name', name='t%02d' % k)])
        tr.append(mido.Message('note_on', channel=k % 16, note=k + 20, velocity=1 + k, time=k))
        tr.append(mido.Message('note_off', channel=k % 16, note=k + 20, time=10 * k + 1))
        mf.tracks.append(tr)
    files['tracks50'] = mf

    # Long sysex messages, large deltas.
    mf = mido.MidiFile(type=1, ticks_per_beat=480)
    tr = mido.MidiTrack()
    tr.append(mido.Message('sysex', data=[rnd.randrange(128) for _ in range(300)], time=1))
    tr.append(mido.Message('sysex', data=[], time=2))
    tr.append(mido.Message('note_on', note=1, velocity=1, time=0x1FFFFF))
    tr.append(mido.Message('note_off', note=1, time=0x0FFFFFF))
    tr.append(mido.Message('sysex', data=[1, 2, 3], time=0x3FFF))
    mf.tracks.append(tr)
    files['sysex'] = mf

    out = {}
    for name, mf in files.items():
        buf = io.BytesIO()
        mf.save(file=buf)
        out[name] = buf.getvalue()

    # Hand-made bytes: running status across a meta event and after a tempo of length 4;
    # an escaped F7 packet is left out of this corpus (readers differ on it).
    body = bytes([0x00, 0x90, 60, 100, 0x10, 61, 90, 0x00, 0xFF, 0x01, 0x02, ord('h'), ord('i'),
                  0x05, 60, 0, 0x05, 0xFF, 0x51, 0x04, 0x07, 0xA1, 0x20, 0x99, 0x00, 0x90, 61, 0,
                  0x03, 0xB0, 7, 99, 0x00, 10, 64, 0x01, 0xE0, 0x00, 0x40, 0x00, 0xFF, 0x2F, 0x00])
    out['running_status'] = raw_file(0, 96, [body])
    return out


def main():
    if len(sys.argv) == 3 and sys.argv[1] == 'write':
        os.makedirs(sys.argv[2], exist_ok=True)
        for name, data in corpus().items():
            path = os.path.join(sys.argv[2], name + '.mid')
            with open(path, 'wb') as f:
                f.write(data)
            with open(os.path.join(sys.argv[2], name + '.txt'), 'w') as f:
                f.write(describe(mido.MidiFile(path)))
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == 'read':
        sys.stdout.write(describe(mido.MidiFile(sys.argv[2])))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main())
