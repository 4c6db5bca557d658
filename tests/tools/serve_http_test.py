"""qo serve over plain HTTP: every endpoint, its refusals, and lip sync in the stream it sends.

    serve_http_test.py QO BUNDLE    (python3 standard library and the ffmpeg CLI only)
"""
import http.client
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

QO, BUNDLE = sys.argv[1], sys.argv[2]
SESSION = "httptest0001"


def wav_bytes(samples, rate=16000):
    data = struct.pack(f"<{len(samples)}h", *samples)
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) + b"data" + struct.pack("<I", len(data)) + data)


def voiced_burst(seconds):
    """A voiced sound from its first sample on, so its onset in the stream is exact."""
    import math
    n = int(seconds * 16000)
    return [int(6000 * sum(math.sin(2 * math.pi * 140 * k * i / 16000) / k for k in range(1, 12))) for i in range(n)]


class Server:
    def __init__(self, *extra):
        self.proc = subprocess.Popen([QO, "serve", BUNDLE, "--port", "0", *extra], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not m:
            self.proc.kill()
            raise RuntimeError(f"qo serve did not announce its address: {line!r}")
        self.port = int(m.group(1))

    def request(self, method, path, body=None, headers=None, timeout=20):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, data

    def stats(self):
        status, body = self.request("GET", "/stats")
        assert status == 200
        return json.loads(body)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=60)


class Watcher(threading.Thread):
    """A page's stream: reads /stream into memory until told to stop."""

    def __init__(self, server, session=SESSION):
        super().__init__(daemon=True)
        self.conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        self.conn.request("GET", f"/stream?session={session}")
        self.response = self.conn.getresponse()
        self.data = bytearray()
        self.done = False

    def run(self):
        while not self.done:
            chunk = self.response.read1(1 << 16)
            if not chunk:
                break
            self.data += chunk

    def close(self):
        self.done = True
        self.join(timeout=10)
        self.conn.close()


def wait_for(pred, seconds=60):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.05)
    return False


class ServeHttp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        # A clean stop: the engine and the stream are torn down (sanitizer builds check for leaks).
        cls.assertEqual(unittest.TestCase(), cls.server.stop(), 0)

    def test_1_endpoints_without_a_page(self):
        s = self.server
        status, page = s.request("GET", "/")
        self.assertEqual(status, 200)
        self.assertIn(b"<video", page)
        status, info = s.request("GET", "/info")
        info = json.loads(info)
        self.assertEqual(status, 200)
        self.assertRegex(info["codecs"], r"^avc1\.[0-9a-f]{6},mp4a\.40\.2$")
        self.assertGreater(info["width"], 0)
        self.assertEqual(s.request("GET", "/nope")[0], 404)
        for path in ("/say", "/wav", "/interrupt"):
            self.assertEqual(s.request("GET", path)[0], 405, path)
        for path in ("/", "/info", "/stats", "/stream"):
            self.assertEqual(s.request("POST", path, b"")[0], 405, path)
        # Control needs the page that watches.
        status, body = s.request("POST", "/say", b"hello", {"X-Session": SESSION})
        self.assertEqual((status, body), (409, b"no page is watching: open the stream first\n"))
        for bad in ("", "short", "x" * 65, "abc%2Fdefghij"):
            self.assertEqual(s.request("GET", f"/stream?session={bad}")[0], 400, bad)
        # Idle frames flow at the video rate with nobody watching.
        first = s.stats()["frames"]
        time.sleep(1.0)
        self.assertGreaterEqual(s.stats()["frames"] - first, 5)

    def test_2_a_page_speaks_in_sync(self):
        s = self.server
        w = Watcher(s)
        self.assertEqual(w.response.status, 200)
        self.assertEqual(w.response.getheader("Content-Type"), "video/mp4")
        w.start()
        try:
            self.assertTrue(wait_for(lambda: s.stats()["stream_frames"] >= 10))
            # One page at a time: a second one is told so, and cannot steer the first.
            status, body = s.request("GET", "/stream?session=otherpage01")
            self.assertEqual(status, 409)
            self.assertIn(b"busy", body)
            self.assertEqual(s.request("POST", "/interrupt", b"", {"X-Session": "otherpage01"})[0], 409)

            hdr = {"X-Session": SESSION}
            for body, want in ((b"", 400), (b"   \n", 400), (b"a\x01b", 400), (b"\xff\xfe", 400),
                               (b"x" * 501, 413)):
                time.sleep(0.35)  # past the rate limit, so the body is what is judged
                self.assertEqual(s.request("POST", "/say", body, hdr)[0], want, body[:20])
            time.sleep(0.35)
            status, body = s.request("POST", "/wav", b"RIFF....not a wav", hdr)
            self.assertEqual(status, 400)
            self.assertNotIn(b"/tmp/", body)  # the server's temporary path stays private
            time.sleep(0.35)
            self.assertEqual(s.request("POST", "/wav", b"", hdr)[0], 400)
            time.sleep(0.35)
            status, _ = s.request("POST", "/wav", b"\0" * (5 << 20), hdr)
            self.assertEqual(status, 413)

            time.sleep(0.35)
            status, body = s.request("POST", "/wav", wav_bytes(voiced_burst(1.2)), hdr)
            self.assertEqual(status, 200, body)
            self.assertEqual(s.request("POST", "/say", b"too soon", hdr)[0], 429)
            time.sleep(0.35)
            self.assertEqual(s.request("POST", "/say", b"while speaking", hdr)[0], 409)
            self.assertTrue(wait_for(lambda: not s.stats()["speaking"]))
            st = s.stats()
            self.assertGreaterEqual(st["speech_frames"], 25)
            self.assertEqual(st["utterances"], 1)
            start = st["speech_start_frame"]
            self.assertGreater(start, 0)
            self.assertTrue(wait_for(lambda: s.stats()["stream_frames"] > start + 60))
        finally:
            w.close()
        with tempfile.TemporaryDirectory() as tmp:
            movie = os.path.join(tmp, "stream.mp4")
            with open(movie, "wb") as f:
                f.write(w.data)
            pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", movie, "-f", "s16le", "-ac", "1", "-ar", "16000", "-"],
                                 capture_output=True, check=True).stdout
        samples = struct.unpack(f"<{len(pcm) // 2}h", pcm)
        onset = next(i for i, v in enumerate(samples) if abs(v) > 2000)
        # The speech's first sample plays under the first speech frame: within one frame (640).
        self.assertLess(abs(onset - start * 640), 640, (onset, start))

    def test_3_interrupt_and_reconnect(self):
        s = self.server
        w = Watcher(s)
        w.start()
        try:
            self.assertTrue(wait_for(lambda: s.stats()["watching"] and s.stats()["stream_frames"] > 5))
            before = s.stats()["speech_frames"]
            time.sleep(0.35)
            hdr = {"X-Session": SESSION}
            status, body = s.request("POST", "/wav", wav_bytes(voiced_burst(6.0)), hdr)
            self.assertEqual(status, 200, body)
            self.assertTrue(wait_for(lambda: s.stats()["speech_frames"] > before + 10))
            self.assertEqual(s.request("POST", "/interrupt", b"", hdr)[0], 200)
            self.assertTrue(wait_for(lambda: s.stats()["state"] == 0 and not s.stats()["speaking"], 20))
            settled = s.stats()["speech_frames"]
            time.sleep(1.0)
            self.assertEqual(s.stats()["speech_frames"], settled)
            self.assertLess(settled - before, 6.0 * 25 - 25)  # stopped well before the sound's end
        finally:
            w.close()

    def test_4_stream_width_and_bad_options(self):
        s = Server("--width", "161")
        try:
            info = json.loads(s.request("GET", "/info")[1])
        finally:
            self.assertEqual(s.stop(), 0)
        full = json.loads(self.server.request("GET", "/info")[1])
        self.assertEqual(info["width"], 160)  # even, at the frame's aspect
        self.assertEqual(info["height"], round(full["height"] * 160 / full["width"]) & ~1)
        for args in (["--port", "70000"], ["--port", "x"], ["--width", "1"], ["--bogus"]):
            r = subprocess.run([QO, "serve", BUNDLE, *args], capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 2, args)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
