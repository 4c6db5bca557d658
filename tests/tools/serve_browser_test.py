"""qo serve as a user sees it: headless Chromium plays the page, speaks a sentence and interrupts.

    serve_browser_test.py QO BUNDLE     (exits 77, skipped, when Chromium is not installed)

Chromium is driven over its DevTools pipe (--remote-debugging-pipe), so no driver is needed. The
screenshot is compared with the first frame an utterance instance on the same bundle delivers,
taken through the qo_core Python module.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_http_test as serve  # noqa: E402  (its Server class; argv is read there)

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    def __init__(self, profile):
        cmd_r, self.cmd_w = os.pipe()
        self.out_r, out_w = os.pipe()

        def fds():
            a, b = os.dup(cmd_r), os.dup(out_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
             "--no-proxy-server", "--autoplay-policy=no-user-gesture-required", "--mute-audio",
             "--no-first-run", "--window-size=800,600", f"--user-data-dir={profile}", "about:blank"],
            close_fds=False, preexec_fn=fds, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(cmd_r)
        os.close(out_w)
        self.buf, self.next_id, self.session = b"", 0, None

    def call(self, method, params=None, timeout=60):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if self.session and not method.startswith("Target."):
            msg["sessionId"] = self.session
        os.write(self.cmd_w, json.dumps(msg).encode() + b"\0")
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            while b"\0" in self.buf:
                raw, self.buf = self.buf.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == self.next_id:
                    if "error" in reply:
                        raise RuntimeError(f"{method}: {reply['error']}")
                    return reply["result"]
            chunk = os.read(self.out_r, 1 << 20)
            if not chunk:
                raise RuntimeError("chromium closed its pipe")
            self.buf += chunk
        raise TimeoutError(method)

    def open(self, url):
        target = self.call("Target.createTarget", {"url": url})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def js(self, expr):
        r = self.call("Runtime.evaluate", {"expression": expr, "awaitPromise": True, "returnByValue": True})
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expr}: {r['exceptionDetails']}")
        return r["result"].get("value")

    def close(self):
        self.proc.kill()
        self.proc.wait()


def png_rgb(png):
    """Decodes a PNG to H x W x 3 with the ffmpeg CLI."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0", "-"],
                           input=png, capture_output=True, check=True).stdout.decode().strip().split(",")
    w, h = int(probe[0]), int(probe[1])
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", "-", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         input=png, capture_output=True, check=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(h, w, 3)


def first_engine_frame(bundle):
    import qo_core
    with qo_core.Context(bundle) as ctx, qo_core.Utterance(ctx, steady_model="-") as utt:
        utt.wait_ready()
        while True:
            frame, info = utt.pull()
            if frame is not None:
                return frame
            time.sleep(0.005)


def until(browser, expr, seconds=60):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        v = browser.js(expr)
        if v:
            return v
        time.sleep(0.2)
    msg = browser.js("(document.getElementById('msg') || {}).textContent")
    raise AssertionError(f"not within {seconds} s: {expr} (page says {msg!r})")


def main():
    if not CHROMIUM:
        print("chromium is not installed: skipped")
        return 77
    import base64
    reference = first_engine_frame(serve.BUNDLE)
    server = serve.Server()
    profile = tempfile.mkdtemp(prefix="qo_chromium_")
    browser = Browser(profile)
    try:
        browser.open(f"http://127.0.0.1:{server.port}/")
        # The video element's time advances: idle frames are live.
        t0 = until(browser, "(() => { const v = document.querySelector('video'); "
                            "return v && v.currentTime > 0.5 ? v.currentTime : 0; })()")
        time.sleep(1.5)
        t1 = browser.js("document.querySelector('video').currentTime")
        assert t1 > t0 + 0.2, f"video time stood still: {t0} -> {t1}"

        # A screenshot of the video shows the avatar's face as the engine delivered it.
        rect = browser.js("(() => { const r = document.querySelector('video').getBoundingClientRect(); "
                          "return [r.x, r.y, r.width, r.height]; })()")
        h, w, _ = reference.shape
        assert (round(rect[2]), round(rect[3])) == (w, h), (rect, reference.shape)
        shot = browser.call("Page.captureScreenshot", {"format": "png", "clip": {
            "x": rect[0], "y": rect[1], "width": w, "height": h, "scale": 1}})
        seen = png_rgb(base64.b64decode(shot["data"])).astype(np.int32)[:h, :w]
        face = (slice(h // 4, 3 * h // 4), slice(w // 3, 2 * w // 3))
        diff = np.abs(seen[face] - reference[face]).mean()
        flat = np.abs(seen[face] - reference[face].reshape(-1, 3).mean(axis=0)).mean()
        print(f"face region: mean difference {diff:.1f} from the engine's first frame, {flat:.1f} from its mean colour")
        assert diff < 20 and diff < flat / 2, (diff, flat)

        # A sentence is spoken; speech frames flow while the video keeps playing.
        status = browser.js("qoSay('Hello from the browser. I keep talking for a while so that the interrupt "
                            "button has something to stop, one word after another.')")
        assert status == 200, status
        until(browser, "window.qoStats && window.qoStats.speech_frames > 10", 60)
        t2 = browser.js("document.querySelector('video').currentTime")
        time.sleep(1.0)
        assert browser.js("document.querySelector('video').currentTime") > t2 + 0.1
        assert browser.js("document.querySelector('video').webkitAudioDecodedByteCount") > 0, "no sound decoded"

        # The interrupt stops the speech frames.
        assert browser.js("qoInterrupt()") == 200
        stats = json.loads(server.request("GET", "/stats")[1])
        at_interrupt = stats["speech_frames"]
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and (stats["state"] != 0 or stats["speaking"]):
            time.sleep(0.1)
            stats = json.loads(server.request("GET", "/stats")[1])
        settled = stats["speech_frames"]
        time.sleep(1.0)
        after = json.loads(server.request("GET", "/stats")[1])["speech_frames"]
        print(f"speech frames: {at_interrupt} at the interrupt, {settled} settled, {after} a second later")
        assert stats["state"] == 0 and after == settled and settled - at_interrupt <= 8, (at_interrupt, settled, after)
        print("browser test passed")
        return 0
    finally:
        browser.close()
        rc = server.stop()
        shutil.rmtree(profile, ignore_errors=True)
        if rc != 0:
            print(f"qo serve exited with {rc}")


if __name__ == "__main__":
    sys.exit(main())
