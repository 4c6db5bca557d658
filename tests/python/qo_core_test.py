"""The Python module over the C API, on a tiny demo bundle (argv[1] or $QO_TEST_BUNDLE)."""
import contextlib
import gc
import os
import sys
import unittest
import weakref

import numpy as np

import qo_core

BUNDLE = os.environ.get("QO_TEST_BUNDLE", "")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def quiet_stderr():
    """The engine's one-line diagnostics per context, times a thousand, stay out of the log."""
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(null)
        os.close(saved)


def voiced(seconds, f0=140.0):
    """Harmonics of f0 below 2.5 kHz with a syllable envelope: what the demo model hears as speech."""
    t = np.arange(int(seconds * 16000)) / 16000.0
    x = sum(np.sin(2 * np.pi * f0 * k * t) / k for k in range(1, int(2500 / f0)))
    env = 0.6 + 0.4 * np.sin(2 * np.pi * 3.0 * t)
    return (0.3 * x / np.abs(x).max() * env).astype(np.float32)


def pull_until(utt, pred, limit=400):
    """Pulls frames until pred(info) holds; returns the infos pulled."""
    import time
    seen = []
    while len(seen) < limit:
        frame, info = utt.pull()
        if info is None:
            time.sleep(0.002)
            continue
        seen.append(info)
        if pred(info):
            break
    return seen


class Refusals(unittest.TestCase):
    def test_c_text_becomes_the_exception(self):
        with self.assertRaises(qo_core.QoError) as e:
            qo_core.Context("/nonexistent/bundle")
        self.assertTrue(str(e.exception).startswith("qo_create: "), str(e.exception))
        with qo_core.Context(BUNDLE) as ctx:
            cases = [(lambda: ctx.render_drive_crop(ctx.drive_frames), "qo_render_drive_crop: bad frame index"),
                     (lambda: ctx.paste_last(0), "qo_paste_last: bad args / no prior render"),
                     (lambda: ctx.target_frame(ctx.nt), "qo_target_frame: bad args"),
                     (lambda: ctx.render_drive_rgba(-1), "qo_render_drive_crop: bad frame index"),
                     (lambda: qo_core.Utterance(ctx, ""), "qo_utt_create: opts.motion_dir required")]
            for call, text in cases:
                with self.assertRaises(qo_core.QoError) as e:
                    call()
                self.assertEqual(str(e.exception), text)
            # A success after a refusal works and the module does not carry the old text along.
            self.assertEqual(ctx.target_frame(0).shape, (ctx.height, ctx.width, 3))
            with self.assertRaises(ValueError):
                ctx.render_kp_crop(0, np.zeros(62, np.float32), np.zeros(63, np.float32))
            with self.assertRaises(ValueError):
                ctx.paste_crop(0, np.zeros((3, ctx.crop, ctx.crop + 1), np.float32))
        with self.assertRaises(qo_core.QoError):
            ctx.render_drive_crop(0)  # closed


class Frames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ctx = qo_core.Context(BUNDLE)

    @classmethod
    def tearDownClass(cls):
        cls.ctx.close()

    def test_lent_memory_is_a_view_and_caller_memory_a_copy(self):
        ctx = self.ctx
        a = ctx.render_drive_crop(0)
        self.assertEqual((a.shape, a.dtype), ((3, ctx.crop, ctx.crop), np.float32))
        self.assertFalse(a.flags.writeable)
        self.assertTrue(0.0 <= a.min() and a.max() <= 1.0)
        first = a.copy()
        b = ctx.render_drive_crop(1)
        # The renderer's output buffer is lent: the same memory, now holding frame 1.
        self.assertEqual(a.ctypes.data, b.ctypes.data)
        np.testing.assert_array_equal(a, b)
        self.assertFalse(np.array_equal(first, b), "drive frames 0 and 1 render alike")

        # paste_crop copies into caller memory; paste_last lends the context's frame.
        pasted = ctx.paste_crop(1, b)
        out = np.zeros_like(pasted)
        self.assertIs(ctx.paste_crop(1, b, out=out), out)
        np.testing.assert_array_equal(out, pasted)
        last = ctx.paste_last(1)
        self.assertFalse(last.flags.writeable)
        self.assertNotEqual(last.ctypes.data, pasted.ctypes.data)
        np.testing.assert_array_equal(last, pasted)
        # The face is composited over the driver frame, not beside it.
        driver = ctx.target_frame(1).copy()
        self.assertGreater(np.abs(pasted.astype(int) - driver).sum(), 0)

        rgba = ctx.render_drive_rgba(1)
        self.assertTrue((rgba[..., 3] == 255).all())
        np.testing.assert_array_equal(rgba[..., :3], ctx.paste_last(1))


class Utterances(unittest.TestCase):
    def test_speech_in_frames_out(self):
        with qo_core.Context(BUNDLE) as ctx, qo_core.Utterance(ctx, steady_model="-") as utt:
            utt.wait_ready()
            idle = pull_until(utt, lambda i: False, limit=5)
            self.assertEqual([i.kind for i in idle], [qo_core.IDLE] * 5)
            self.assertEqual([i.frame_no for i in idle], list(range(5)))
            with self.assertRaises(ValueError):
                utt.push(np.zeros((2, 640), np.int16))
            with self.assertRaises(TypeError):
                utt.push(np.zeros(640, np.int32))
            # float32 is scaled to int16; int16 goes in as it is.
            speech = voiced(1.0)
            utt.push(speech[:8000])
            utt.push((speech[8000:] * 32767).astype(np.int16))
            utt.end()
            seen = pull_until(utt, lambda i: i.kind == qo_core.IDLE and i.frame_no > 30)
            kinds = [i.kind for i in seen]
            self.assertIn(qo_core.SPEECH, kinds)
            seqs = [i.seq for i in seen if i.kind == qo_core.SPEECH]
            self.assertEqual(seqs, list(range(len(seqs))))
            self.assertIn(qo_core.RAMP, kinds[kinds.index(qo_core.SPEECH):])
            st = utt.stats()
            self.assertEqual(st.frames, len(idle) + len(seen))
            self.assertEqual(st.speech_frames, len(seqs))
            self.assertEqual(st.utterances, 1)
            self.assertGreater(st.first_frame_ms, 0)
            self.assertEqual(utt.render_status()[0], False)

            utt.push(speech)
            pull_until(utt, lambda i: i.kind == qo_core.SPEECH)
            utt.interrupt()
            self.assertEqual(utt.available(), 0)
            after = pull_until(utt, lambda i: i.kind == qo_core.IDLE)
            self.assertNotIn(qo_core.SPEECH, [i.kind for i in after])
            frame, _ = utt.pull(out=np.empty((ctx.height, ctx.width, 3), np.uint8))
            with self.assertRaises(ValueError):
                utt.pull(out=np.empty((ctx.height, ctx.width, 4), np.uint8))

    def test_context_close_closes_its_utterances(self):
        ctx = qo_core.Context(BUNDLE)
        utt = qo_core.Utterance(ctx, steady_model="-")
        ctx.close()
        with self.assertRaises(qo_core.QoError):
            utt.pull()
        utt.close()
        # An utterance dropped without close() is freed with its last reference.
        with qo_core.Context(BUNDLE) as ctx:
            ref = weakref.ref(qo_core.Utterance(ctx, steady_model="-"))
            gc.collect()
            self.assertIsNone(ref())
            self.assertEqual(len(ctx._children), 0)


class NoLeaks(unittest.TestCase):
    CONTEXT_CYCLES = int(os.environ.get("QO_PY_CONTEXT_CYCLES", "100"))
    UTTERANCE_CYCLES = int(os.environ.get("QO_PY_UTTERANCE_CYCLES", "1000"))

    def cycles(self, n, once):
        """RSS growth over the second half of n cycles: the first half settles the allocator's
        arenas and the runtime's caches, a leak keeps growing through both."""
        with quiet_stderr():
            for _ in range(n // 2):
                once()
            gc.collect()
            before = rss_bytes()
            for _ in range(n - n // 2):
                once()
            gc.collect()
            after = rss_bytes()
        print(f"RSS {before / 2**20:.1f} -> {after / 2**20:.1f} MiB over the last {n - n // 2} of {n} cycles",
              file=sys.stderr)
        return after - before

    def test_create_destroy_cycles(self):
        refs = []

        def context_cycle():
            with qo_core.Context(BUNDLE) as ctx:
                refs.append(weakref.ref(ctx))
                ctx.render_drive_crop(0).sum()

        growth = self.cycles(self.CONTEXT_CYCLES, context_cycle)
        # One leaked context is an ORT session and a frame ring: far above 64 KiB a cycle.
        self.assertLess(growth, 64 * 1024 * (self.CONTEXT_CYCLES // 2))

        with qo_core.Context(BUNDLE) as ctx:
            def utterance_cycle():
                with qo_core.Utterance(ctx, steady_model="-") as utt:
                    refs.append(weakref.ref(utt))
            growth = self.cycles(self.UTTERANCE_CYCLES, utterance_cycle)
            self.assertEqual(len(ctx._children), 0)
        # A leaked instance holds 8 full-size frame slots and its model: megabytes a cycle. Allocator
        # and arena drift on a loaded machine stays well under 64 KiB a cycle.
        self.assertLess(growth, 64 * 1024 * (self.UTTERANCE_CYCLES // 2))
        gc.collect()
        self.assertEqual([r for r in refs if r() is not None], [])


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BUNDLE = sys.argv.pop(1)
    unittest.main(verbosity=2)
