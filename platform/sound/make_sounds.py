#!/usr/bin/env python3
"""Writes the service's built-in sounds: short two-tone chimes, 8 kHz, 8-bit
mono PCM WAVE files. hello rises, goodbye falls. Run from anywhere:
    python3 platform/sound/make_sounds.py
"""
import math
import os
import wave

RATE = 8000


def tone(freq, seconds, volume=0.5):
    n = int(RATE * seconds)
    out = bytearray()
    for i in range(n):
        # Short linear fade in and out so the tone starts and stops without a click.
        env = min(1.0, i / 80, (n - 1 - i) / 80)
        sample = volume * env * math.sin(2 * math.pi * freq * i / RATE)
        out.append(128 + int(round(127 * sample)))
    return bytes(out)


def write(path, freqs):
    frames = b"".join(tone(f, 0.15) for f in freqs)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(1)
        w.setframerate(RATE)
        w.writeframes(frames)


def main():
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sounds")
    os.makedirs(here, exist_ok=True)
    write(os.path.join(here, "hello.wav"), [660, 880])
    write(os.path.join(here, "goodbye.wav"), [880, 660])


if __name__ == "__main__":
    main()
