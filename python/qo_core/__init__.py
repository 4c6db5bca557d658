"""libqo_core from Python: the C API through ctypes, frames as numpy arrays.

    import qo_core
    with qo_core.Context("avatar.qobundle") as ctx, qo_core.Utterance(ctx) as utt:
        utt.wait_ready()
        utt.push(pcm16k)                # numpy int16, or float32 in [-1, 1]
        frame, info = utt.pull()        # H x W x 3 uint8 (None, None while the ring is empty)

Memory: arrays over memory the library lends (a rendered crop, a decoded driver frame, the
context's composited frame) are read-only views without a copy, valid until the next call that
renders, pastes or decodes on the same context, and never after close(). Everything else (pulled
utterance frames, pasted and RGBA frames) is copied into a new array, or into `out=` when given.

Errors: a failing C call raises QoError carrying the library's last-error text.

Threads: a Context serves one thread at a time, as the C API says; an Utterance may be pushed and
pulled from different threads (ctypes drops the GIL during each call).
"""
import ctypes
import os
import weakref
from collections import namedtuple

import numpy as np

from ._where import library_path

__all__ = ["QoError", "Context", "Utterance", "FrameInfo", "Stats", "library", "host_kp_rows"]


class QoError(RuntimeError):
    """A refusal or failure of the C library; str() is its last-error text."""


_c_char_p = ctypes.c_char_p
_c_void_p = ctypes.c_void_p
_f32p = ctypes.POINTER(ctypes.c_float)
_u8p = ctypes.POINTER(ctypes.c_uint8)


class _UttOpts(ctypes.Structure):
    _fields_ = [("motion_dir", _c_char_p), ("threads", ctypes.c_int32), ("motion_ep", _c_char_p),
                ("steady_model", _c_char_p), ("eager", ctypes.c_int32), ("silence_s", ctypes.c_double),
                ("ramp_end", ctypes.c_int32), ("ramp_interrupt", ctypes.c_int32)]


class _FrameInfo(ctypes.Structure):
    _fields_ = [("frame_no", ctypes.c_int64), ("kind", ctypes.c_int32), ("driver_idx", ctypes.c_int32),
                ("seq", ctypes.c_int32)]


class _Stats(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("speech_frames", ctypes.c_int64), ("utterances", ctypes.c_int64),
                ("first_frame_ms", ctypes.c_double), ("render_ms", ctypes.c_double), ("state", ctypes.c_int32),
                ("reserved", ctypes.c_int32)]


FrameInfo = namedtuple("FrameInfo", "frame_no kind driver_idx seq")
Stats = namedtuple("Stats", "frames speech_frames utterances first_frame_ms render_ms state")

IDLE, SPEECH, RAMP = 0, 1, 2

_SIGNATURES = {
    "qo_create": (_c_void_p, [_c_char_p, _c_char_p, ctypes.c_int, _c_char_p]),
    "qo_destroy": (None, [_c_void_p]),
    "qo_last_error": (_c_char_p, []),
    "qo_host_kp_rows": (ctypes.c_int, []),
    "qo_nt": (ctypes.c_int, [_c_void_p]),
    "qo_width": (ctypes.c_int, [_c_void_p]),
    "qo_height": (ctypes.c_int, [_c_void_p]),
    "qo_crop": (ctypes.c_int, [_c_void_p]),
    "qo_drive_frames": (ctypes.c_int, [_c_void_p]),
    "qo_bundle_resolve_handle": (ctypes.c_int, [_c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
    "qo_render_kp_crop": (_f32p, [_c_void_p, ctypes.c_int, _f32p, _f32p]),
    "qo_render_drive_crop": (_f32p, [_c_void_p, ctypes.c_int]),
    "qo_paste_crop": (ctypes.c_int, [_c_void_p, ctypes.c_int, _f32p, _u8p, ctypes.c_size_t]),
    "qo_paste_last": (_u8p, [_c_void_p, ctypes.c_int]),
    "qo_render_kp_rgba": (ctypes.c_int, [_c_void_p, ctypes.c_int, _f32p, _f32p, _u8p, ctypes.c_size_t]),
    "qo_render_drive_rgba": (ctypes.c_int, [_c_void_p, ctypes.c_int, _u8p, ctypes.c_size_t]),
    "qo_target_frame": (_u8p, [_c_void_p, ctypes.c_int]),
    "qo_utt_create": (_c_void_p, [_c_void_p, ctypes.POINTER(_UttOpts)]),
    "qo_utt_destroy": (None, [_c_void_p]),
    "qo_utt_last_error": (_c_char_p, []),
    "qo_utt_ready": (ctypes.c_int, [_c_void_p]),
    "qo_utt_push_audio": (ctypes.c_int, [_c_void_p, ctypes.POINTER(ctypes.c_int16), ctypes.c_int]),
    "qo_utt_end_utterance": (None, [_c_void_p]),
    "qo_utt_interrupt": (None, [_c_void_p]),
    "qo_utt_frames_available": (ctypes.c_int, [_c_void_p]),
    "qo_utt_pull_frame": (ctypes.c_int, [_c_void_p, _u8p, ctypes.c_size_t, ctypes.POINTER(_FrameInfo)]),
    "qo_utt_get_stats": (None, [_c_void_p, ctypes.POINTER(_Stats)]),
    "qo_utt_render_status": (ctypes.c_int, [_c_void_p, ctypes.c_char_p, ctypes.c_int,
                                            ctypes.POINTER(ctypes.c_int64)]),
}


def _load():
    path = os.environ.get("QO_CORE_LIB") or library_path()
    lib = ctypes.CDLL(path)
    for name, (res, args) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = res, args
    return lib


library = _load()
_lib = library


def _text(raw):
    return raw.decode("utf-8", "replace") if raw else ""


def _core_error():
    return QoError(_text(_lib.qo_last_error()) or "libqo_core call failed without a message")


def _utt_error():
    return QoError(_text(_lib.qo_utt_last_error()) or "libqo_core utterance call failed without a message")


def _path(p):
    return os.fsencode(p)


def host_kp_rows():
    return _lib.qo_host_kp_rows()


class _Lent:
    """Exposes memory the library lends as a numpy array; keeps its owner alive meanwhile."""

    def __init__(self, owner, addr, shape, typestr):
        self._owner = owner
        self.__array_interface__ = {"shape": shape, "typestr": typestr, "data": (addr, True), "version": 3}


def _lent(owner, ptr, shape, dtype):
    addr = ctypes.cast(ptr, _c_void_p).value
    return np.asarray(_Lent(owner, addr, shape, np.dtype(dtype).str))


def _kp(a, what):
    a = np.ascontiguousarray(a, dtype=np.float32)
    if a.size != host_kp_rows() * 3:
        raise ValueError(f"{what}: a keypoint set is {host_kp_rows()} x 3 floats, got shape {a.shape}")
    return a


def _out(out, shape):
    if out is None:
        return np.empty(shape, np.uint8)
    if out.dtype != np.uint8 or out.shape != shape or not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError(f"out must be a writeable C-contiguous uint8 array of shape {shape}")
    return out


class Context:
    """One loaded bundle (qo_create). Close it, or use it as a context manager."""

    def __init__(self, bundle, model="b1", threads=0, ep=None):
        self._h = None
        self._children = weakref.WeakSet()  # open utterances; dropping one still frees it
        h = _lib.qo_create(_path(bundle), model.encode(), int(threads), ep.encode() if ep is not None else None)
        if not h:
            raise _core_error()
        self._h = h
        buf = ctypes.create_string_buffer(4096)
        self.bundle_dir = os.fsdecode(buf.value) if _lib.qo_bundle_resolve_handle(_path(bundle), buf, 4096) == 1 \
            else os.fsdecode(_path(bundle))
        self.width, self.height = _lib.qo_width(h), _lib.qo_height(h)
        self.crop, self.nt, self.drive_frames = _lib.qo_crop(h), _lib.qo_nt(h), _lib.qo_drive_frames(h)

    @property
    def closed(self):
        return self._h is None

    def _handle(self):
        if self._h is None:
            raise QoError("qo_core: the context is closed")
        return self._h

    def close(self):
        """Closes the utterances still open on this context, then frees it. Idempotent."""
        for child in list(self._children):
            child.close()
        if self._h is not None:
            h, self._h = self._h, None
            _lib.qo_destroy(h)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    # Lent memory: read-only views, no copy.
    def render_kp_crop(self, si, xs, xd):
        """Crop (3 x S x S float32 view) of source frame si from keypoint sets xs, xd."""
        xs, xd = _kp(xs, "xs"), _kp(xd, "xd")
        p = _lib.qo_render_kp_crop(self._handle(), int(si), xs.ctypes.data_as(_f32p), xd.ctypes.data_as(_f32p))
        if not p:
            raise _core_error()
        return _lent(self, p, (3, self.crop, self.crop), np.float32)

    def render_drive_crop(self, i):
        """Crop (3 x S x S float32 view) of drive-table frame i."""
        p = _lib.qo_render_drive_crop(self._handle(), int(i))
        if not p:
            raise _core_error()
        return _lent(self, p, (3, self.crop, self.crop), np.float32)

    def paste_last(self, si):
        """The last crop composited over driver frame si (H x W x 3 uint8 view of the context's frame)."""
        p = _lib.qo_paste_last(self._handle(), int(si))
        if not p:
            raise _core_error()
        return _lent(self, p, (self.height, self.width, 3), np.uint8)

    def target_frame(self, si):
        """Driver frame si as decoded (H x W x 3 uint8 view of the cursor's frame)."""
        p = _lib.qo_target_frame(self._handle(), int(si))
        if not p:
            raise _core_error()
        return _lent(self, p, (self.height, self.width, 3), np.uint8)

    # Caller memory: copies into a new array or `out`.
    def paste_crop(self, si, crop, out=None):
        """Composites crop (3 x S x S float) over driver frame si into a new H x W x 3 array (or out)."""
        crop = np.ascontiguousarray(crop, dtype=np.float32)
        if crop.shape != (3, self.crop, self.crop):
            raise ValueError(f"crop must have shape (3, {self.crop}, {self.crop}), got {crop.shape}")
        out = _out(out, (self.height, self.width, 3))
        if not _lib.qo_paste_crop(self._handle(), int(si), crop.ctypes.data_as(_f32p), out.ctypes.data_as(_u8p),
                                  out.nbytes):
            raise _core_error()
        return out

    def render_kp_rgba(self, si, xs, xd, out=None):
        xs, xd = _kp(xs, "xs"), _kp(xd, "xd")
        out = _out(out, (self.height, self.width, 4))
        if not _lib.qo_render_kp_rgba(self._handle(), int(si), xs.ctypes.data_as(_f32p), xd.ctypes.data_as(_f32p),
                                      out.ctypes.data_as(_u8p), out.nbytes):
            raise _core_error()
        return out

    def render_drive_rgba(self, i, out=None):
        out = _out(out, (self.height, self.width, 4))
        if not _lib.qo_render_drive_rgba(self._handle(), int(i), out.ctypes.data_as(_u8p), out.nbytes):
            raise _core_error()
        return out


class Utterance:
    """A live utterance instance on a Context (qo_utt_create): push speech, pull frames at 25 fps.

    motion_dir defaults to the context's bundle directory. When $W2V_ONNX is unset and that
    directory carries its own speech frontend (audio_encoder_fp16.onnx), it is used."""

    SAMPLE_RATE = 16000
    FRAME_SAMPLES = 640

    def __init__(self, ctx, motion_dir=None, *, threads=0, motion_ep=None, steady_model=None, eager=0,
                 silence_s=0.0, ramp_end=0, ramp_interrupt=0):
        self._h = None
        motion_dir = ctx.bundle_dir if motion_dir is None else os.fsdecode(motion_dir)
        frontend = os.path.join(motion_dir, "audio_encoder_fp16.onnx")
        if not os.environ.get("W2V_ONNX") and os.path.isfile(frontend):
            os.environ["W2V_ONNX"] = frontend
        opts = _UttOpts(_path(motion_dir), int(threads), motion_ep.encode() if motion_ep else None,
                        steady_model.encode() if steady_model else None, int(eager), float(silence_s),
                        int(ramp_end), int(ramp_interrupt))
        h = _lib.qo_utt_create(ctx._handle(), ctypes.byref(opts))
        if not h:
            raise _utt_error()
        self._h, self._ctx = h, ctx
        self.width, self.height = ctx.width, ctx.height
        self._info = _FrameInfo()
        ctx._children.add(self)

    def _handle(self):
        if self._h is None:
            raise QoError("qo_core: the utterance is closed")
        return self._h

    def close(self):
        if self._h is not None:
            h, self._h = self._h, None
            _lib.qo_utt_destroy(h)
            self._ctx._children.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def ready(self):
        """True once the motion model is loaded; raises QoError when loading failed."""
        r = _lib.qo_utt_ready(self._handle())
        if r < 0:
            raise _utt_error()
        return r == 1

    def wait_ready(self, timeout=120.0):
        import time
        end = time.monotonic() + timeout
        while not self.ready():
            if time.monotonic() > end:
                raise TimeoutError(f"motion model not loaded after {timeout} s")
            time.sleep(0.005)

    def push(self, pcm):
        """Appends mono 16 kHz speech: int16 as is (no copy when contiguous), float in [-1, 1] scaled
        by 32767 and clipped into a new int16 array."""
        a = np.asarray(pcm)
        if a.ndim != 1:
            raise ValueError(f"pcm must be one-dimensional mono audio, got shape {a.shape}")
        if a.dtype != np.int16:
            if a.dtype.kind != "f":
                raise TypeError(f"pcm must be int16 or float, got {a.dtype}")
            a = np.clip(np.rint(a * 32767.0), -32768, 32767).astype(np.int16)
        a = np.ascontiguousarray(a)
        if not _lib.qo_utt_push_audio(self._handle(), a.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)), a.size):
            raise _utt_error()

    def end(self):
        _lib.qo_utt_end_utterance(self._handle())

    def interrupt(self):
        _lib.qo_utt_interrupt(self._handle())

    def available(self):
        return _lib.qo_utt_frames_available(self._handle())

    def pull(self, out=None):
        """The oldest finished frame copied into a new H x W x 3 uint8 array (or out) with its
        FrameInfo, or (None, None) when none is waiting."""
        out = _out(out, (self.height, self.width, 3))
        if not _lib.qo_utt_pull_frame(self._handle(), out.ctypes.data_as(_u8p), out.nbytes, ctypes.byref(self._info)):
            err = _text(_lib.qo_utt_last_error())
            if err.startswith("qo_utt_pull_frame:"):
                raise QoError(err)
            return None, None
        i = self._info
        return out, FrameInfo(i.frame_no, i.kind, i.driver_idx, i.seq)

    def stats(self):
        s = _Stats()
        _lib.qo_utt_get_stats(self._handle(), ctypes.byref(s))
        return Stats(s.frames, s.speech_frames, s.utterances, s.first_frame_ms, s.render_ms, s.state)

    def render_status(self):
        """(fatal, failures, latest failure text)."""
        msg = ctypes.create_string_buffer(512)
        n = ctypes.c_int64(0)
        r = _lib.qo_utt_render_status(self._handle(), msg, len(msg), ctypes.byref(n))
        return r < 0, n.value, _text(msg.value)
