#!/usr/bin/env python3
"""Speaks a WAV (16-bit PCM, any rate) through an avatar bundle into numbered 25 fps PNG frames.
   PYTHONPATH=build/python python3 examples/python/speak_wav.py BUNDLE IN.wav OUT_DIR"""
import os, struct, sys, time, wave, zlib
import numpy as np
import qo_core

def write_png(path, rgb):
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + row.tobytes() for row in rgb)
    head = struct.pack(">IIBBBBB", rgb.shape[1], rgb.shape[0], 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))

bundle, wav_path, out_dir = sys.argv[1:4]
with wave.open(wav_path) as w:
    pcm = np.frombuffer(w.readframes(w.getnframes()), np.int16).reshape(-1, w.getnchannels()).mean(axis=1)
    rate = w.getframerate()
speech = np.interp(np.arange(0, len(pcm), rate / 16000), np.arange(len(pcm)), pcm) / 32768  # to 16 kHz
os.makedirs(out_dir, exist_ok=True)
with qo_core.Context(bundle) as ctx, qo_core.Utterance(ctx) as utt:
    utt.wait_ready()  # audio pushed before the model is loaded is dropped
    utt.push(speech.astype(np.float32))
    utt.end()
    n, kinds = 0, []
    while not (qo_core.SPEECH in kinds and kinds[-1] == qo_core.IDLE) and n < len(speech) // 640 + 100:
        frame, info = utt.pull()
        if frame is None:
            time.sleep(0.002)
            continue
        kinds.append(info.kind)
        write_png(os.path.join(out_dir, f"frame_{n:05d}.png"), frame)
        n += 1
print(f"{n} frames ({kinds.count(qo_core.SPEECH)} speech) in {out_dir}")
