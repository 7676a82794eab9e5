"use strict";
const player = document.getElementById("player");
const status = document.getElementById("status");
const type = 'video/webm; codecs="vp8, vorbis"';
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// The pieces lie beside this page, whatever prefix a cache tier serves it under.
// The current session and its newest segment; null while none can be had.
async function latest() {
  try {
    const r = await fetch("latest");
    return r.ok ? await r.json() : null;
  } catch (e) {
    return null;
  }
}
async function piece(session, name) {
  const r = await fetch(session + "/" + name);
  return r.ok ? r.arrayBuffer() : null;
}
function append(buffer, bytes) {
  return new Promise((resolve, reject) => {
    buffer.addEventListener("updateend", resolve, { once: true });
    buffer.addEventListener("error", reject, { once: true });
    buffer.appendBuffer(bytes);
  });
}
// Past a gap in what is buffered (the broadcaster paused its encoders), on to what follows.
function skipGap(buffer) {
  const b = buffer.buffered, t = player.currentTime;
  for (let i = 0; i < b.length; ++i) {
    if (t >= b.start(i) && t < b.end(i)) return;
    if (b.start(i) > t) { player.currentTime = b.start(i); return; }
  }
}
// Plays the current broadcast; true when a new one began (its newest segment is then the start).
async function play(resume) {
  const source = new MediaSource();
  player.src = URL.createObjectURL(source);
  await new Promise((r) => source.addEventListener("sourceopen", r, { once: true }));
  const buffer = source.addSourceBuffer(type);
  let now = await latest();
  if (!now) throw new Error("no latest");
  const session = now.session;
  const header = await piece(session, "header");
  if (!header) throw new Error("no header");
  await append(buffer, header);
  let next = resume ? now.segment : now.segment + 1;  // else the first one made from now on
  for (;;) {
    if (next > now.segment) {
      await sleep(1000);
      const newer = await latest();
      if (!newer) continue;  // the tier or the broadcaster away for a moment: asked again
      now = newer;
      if (now.session !== session) return true;
      if (now.segment >= next + 5) next = now.segment;  // too far behind: catch up
      continue;
    }
    const bytes = await piece(session, next);
    if (!bytes) { next = now.segment; continue; }  // it left the window: on to the newest
    await append(buffer, bytes);
    ++next;
    skipGap(buffer);
    if (player.paused) player.play().catch(() => {});
    if (buffer.buffered.length && player.currentTime - buffer.buffered.start(0) > 30)
      buffer.remove(0, player.currentTime - 20);
  }
}
player.addEventListener("playing", () => { status.textContent = "{{t:playing}}"; });
player.addEventListener("waiting", () => { status.textContent = "{{t:buffering}}"; });
(async () => {
  for (let resume = false; ; ) {
    try { resume = await play(resume); continue; } catch (e) { status.textContent = "{{t:retrying}}"; }
    resume = false;
    await sleep(5000);
  }
})();
