"use strict";
// WebRTC first (WHEP: one offer with every candidate, one answer), for the shortest delay;
// the live WebM stream where WebRTC cannot connect.
const player = document.getElementById("player");
const status = document.getElementById("status");
const path = document.getElementById("path");
const wm = document.getElementById("wm");
wm.textContent = location.protocol + "//" + location.host + "/";
player.addEventListener("playing", () => { status.textContent = "{{t:playing}}"; });
player.addEventListener("waiting", () => { status.textContent = "{{t:buffering}}"; });
const kConnectMs = 5000;
let webm = false;
let session = null;  // the WHEP session's address, to end it when the page goes
let peer = null;

function playWebm() {
  if (webm) return;
  webm = true;
  if (peer) peer.close();
  peer = null;
  endSession();
  path.textContent = "WebM";
  player.srcObject = null;
  player.src = "{{stream}}";
  player.play().catch(() => {});
}

function endSession() {
  if (session) fetch(session, { method: "DELETE", keepalive: true }).catch(() => {});
  session = null;
}

function until(target, event, done) {
  return new Promise((resolve) => {
    if (done()) return resolve();
    const check = () => { if (done()) { target.removeEventListener(event, check); resolve(); } };
    target.addEventListener(event, check);
  });
}

async function playWebrtc() {
  const pc = new RTCPeerConnection();
  peer = pc;
  pc.addTransceiver("video", { direction: "recvonly" });
  pc.addTransceiver("audio", { direction: "recvonly" });
  const stream = new MediaStream();
  pc.addEventListener("track", (e) => {
    if (webm) return;
    stream.addTrack(e.track);
    if (player.srcObject !== stream) player.srcObject = stream;
  });
  await pc.setLocalDescription(await pc.createOffer());
  await until(pc, "icegatheringstatechange", () => pc.iceGatheringState === "complete");
  const answer = await fetch("{{whep}}", {
    method: "POST", headers: { "Content-Type": "application/sdp" }, body: pc.localDescription.sdp,
  });
  if (!answer.ok) throw new Error("WHEP " + answer.status);
  const location = answer.headers.get("Location");
  if (location) session = new URL(location, new URL("{{whep}}", window.location.href)).href;
  await pc.setRemoteDescription({ type: "answer", sdp: await answer.text() });
  await until(pc, "connectionstatechange", () => pc.connectionState === "connected" || webm);
  if (webm) return;  // too late: the WebM stream plays
  path.textContent = "WebRTC";
  player.play().catch(() => {});
  // A connection lost for good (the broadcaster gone, the network changed) goes on over WebM.
  pc.addEventListener("connectionstatechange", () => {
    if (pc.connectionState === "failed" || pc.connectionState === "closed") playWebm();
  });
}

let retrying = false;
function retry() {
  if (!webm || retrying) return;
  retrying = true;
  status.textContent = "{{t:retrying}}";
  setTimeout(() => {
    retrying = false;
    player.src = "{{stream}}?" + Date.now();
    player.play().catch(() => {});
  }, 5000);
}
player.addEventListener("error", retry);
player.addEventListener("ended", retry);
window.addEventListener("pagehide", endSession);

if (!window.RTCPeerConnection) {
  playWebm();
} else {
  const timer = setTimeout(playWebm, kConnectMs);
  playWebrtc().then(() => clearTimeout(timer), () => { clearTimeout(timer); playWebm(); });
}
