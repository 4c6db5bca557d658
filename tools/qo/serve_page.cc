// The one page of qo serve: the avatar live in a <video> fed through Media Source Extensions,
// a text box, a WAV upload, an interrupt button and the live statistics.
#include "tools/qo/serve_page.h"

namespace qo::tool {

const char* servePage() {
  return R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>qo serve</title>
<style>
body { font: 15px system-ui, sans-serif; margin: 1.5em; background: #f4f4f2; color: #222; }
video { display: block; background: #000; max-width: 100%; height: auto; }
#controls { margin: 1em 0; display: flex; gap: .6em; flex-wrap: wrap; align-items: center; }
#text { width: 28em; padding: .3em; }
#msg { color: #a33; }
table { border-collapse: collapse; } td { padding: .1em .8em .1em 0; } td.v { font-family: monospace; }
</style></head>
<body>
<video id="video" autoplay muted playsinline></video>
<div id="controls">
  <form id="say"><input id="text" maxlength="500" placeholder="Type a sentence for the avatar to speak">
  <button id="speak">Speak</button></form>
  <input type="file" id="wav" accept=".wav,audio/wav"><button id="upload">Speak WAV</button>
  <button id="interrupt">Interrupt</button>
  <span id="msg"></span>
</div>
<table id="stats">
<tr><td>delivered</td><td class="v" id="s_fps">-</td><td>first-frame latency</td><td class="v" id="s_first">-</td></tr>
<tr><td>queue depth</td><td class="v" id="s_queue">-</td><td>state</td><td class="v" id="s_state">-</td></tr>
<tr><td>frames</td><td class="v" id="s_frames">-</td><td>speech frames</td><td class="v" id="s_speech">-</td></tr>
<tr><td>utterances</td><td class="v" id="s_utt">-</td><td>speech render</td><td class="v" id="s_render">-</td></tr>
</table>
<script>
"use strict";
const session = Array.from(crypto.getRandomValues(new Uint8Array(12)), b => b.toString(16).padStart(2, "0")).join("");
const video = document.getElementById("video");
const $ = id => document.getElementById(id);
const say = m => { $("msg").textContent = m; };
window.qoStats = null;

async function stream() {
  const info = await (await fetch("/info")).json();
  video.width = info.width; video.height = info.height;
  const mime = 'video/mp4; codecs="' + info.codecs + '"';
  if (!window.MediaSource || !MediaSource.isTypeSupported(mime)) { say("this browser cannot play " + mime); return; }
  const ms = new MediaSource();
  video.src = URL.createObjectURL(ms);
  await new Promise(r => ms.addEventListener("sourceopen", r, { once: true }));
  const sb = ms.addSourceBuffer(mime);
  const queue = [];
  const feed = () => {
    if (sb.updating || !queue.length) return;
    if (video.currentTime > 60 && sb.buffered.start(0) < video.currentTime - 30) sb.remove(0, video.currentTime - 20);
    else sb.appendBuffer(queue.shift());
  };
  sb.addEventListener("updateend", feed);
  const res = await fetch("/stream?session=" + session);
  if (!res.ok) { say(res.status + " " + await res.text()); return; }
  const reader = res.body.getReader();
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    queue.push(value);
    feed();
  }
  say("the stream ended");
}

// Play near the newest frame: after a stall, jump to the live edge instead of lagging behind.
setInterval(() => {
  if (!video.buffered.length) return;
  const end = video.buffered.end(video.buffered.length - 1);
  if (end - video.currentTime > 1.0) video.currentTime = end - 0.25;
  if (video.paused) video.play().catch(() => {});
}, 400);

async function post(path, body, type) {
  video.muted = false;  // a click is the gesture that lets the page play sound
  video.play().catch(() => {});
  const res = await fetch(path, { method: "POST", body, headers: { "Content-Type": type, "X-Session": session } });
  say(res.ok ? "" : res.status + " " + await res.text());
  return res.status;
}
window.qoSay = text => post("/say", text, "text/plain; charset=utf-8");
window.qoInterrupt = () => post("/interrupt", "", "text/plain");
$("say").addEventListener("submit", e => { e.preventDefault(); qoSay($("text").value); });
$("upload").addEventListener("click", () => {
  const f = $("wav").files[0];
  if (f) post("/wav", f, "audio/wav"); else say("choose a WAV file first");
});
$("interrupt").addEventListener("click", () => qoInterrupt());

const states = ["idle", "speech starting", "speaking", "ramping"];
setInterval(async () => {
  try {
    const s = await (await fetch("/stats")).json();
    window.qoStats = s;
    $("s_fps").textContent = s.fps.toFixed(1) + " fps";
    $("s_first").textContent = s.first_frame_ms.toFixed(0) + " ms";
    $("s_queue").textContent = s.queue_depth + " frames";
    $("s_state").textContent = states[s.state] || s.state;
    $("s_frames").textContent = s.frames;
    $("s_speech").textContent = s.speech_frames;
    $("s_utt").textContent = s.utterances;
    $("s_render").textContent = s.render_ms.toFixed(1) + " ms/frame";
  } catch (e) {}
}, 500);
stream().catch(e => say(String(e)));
</script>
</body></html>
)PAGE";
}

}  // namespace qo::tool
