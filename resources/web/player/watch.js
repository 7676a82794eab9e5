"use strict";
const player = document.getElementById("player");
const status = document.getElementById("status");
const wm = document.getElementById("wm");
wm.textContent = location.protocol + "//" + location.host + "/";
player.addEventListener("playing", () => { status.textContent = "播放中"; });
player.addEventListener("waiting", () => { status.textContent = "緩衝中…"; });
let retrying = false;
function retry() {
  if (retrying) return;
  retrying = true;
  status.textContent = "目前無法播放，稍後自動重試…";
  setTimeout(() => {
    retrying = false;
    player.src = "{{stream}}?" + Date.now();
    player.play().catch(() => {});
  }, 5000);
}
player.addEventListener("error", retry);
player.addEventListener("ended", retry);
