#!/usr/bin/env node
// Loads a page in headless Chromium, driven over the DevTools protocol, and reports what a
// person would see: texts found, a <video> element playing, the colours of its picture, and a
// screenshot. No packages: a WebSocket client of its own on node's http module.
//
// Usage: chromium_page.mjs --url URL [--screenshot FILE] [--find TEXT]... [--video-seconds N]
//                          [--settle SECONDS] [--timeout SECONDS] [--chromium PATH] [--path TEXT]
//                          [--time-code-frames N] [--no-webrtc] [--leave] [--follow SELECTOR]
//                          [--webrtc-loss PERCENT] [--window-size W,H] [--lang LANGUAGE]
// Prints one JSON object; exits 0 when every check holds, 1 when one fails, 2 on a usage or
// launch error.
//  --window-size W,H   the browser window's size (default 800,700; the page gets a bit less)
//  --lang LANGUAGE     the browser's language, as a person sets it (default zh-TW; en, zh-CN):
//                      it asks for pages in that language (Accept-Language)
//  --follow SELECTOR   waits for the link SELECTOR names on the page and goes where it leads;
//                      the checks below are of that page ("followed": its address)
//  --find TEXT         the page's text must contain TEXT (waits for it, the page may fill later)
//  --settle N          waits N seconds more before the screenshot (a page that fills itself)
//  --video-seconds N   the first <video> must play: its currentTime must advance by N seconds;
//                      then its picture is sampled in eight columns across its middle row
//  --no-webrtc         the page finds no RTCPeerConnection, as in a browser without WebRTC
//  --webrtc-loss P     once the video plays, Chromium loses P % of its WebRTC packets until the
//                      picture changes size (a server's move to a smaller rendition); the
//                      --video-seconds count starts after that ("videoSizes": [[w, h], [w, h]])
//  --leave             at the end leaves the page for another of its origin and reports the
//                      DELETE requests the page sent ("leavingRequests": "DELETE URL")
//  --path TEXT         the element #path must come to say TEXT (the player page's way of playing)
//  --time-code-frames N  after the video plays, reads the test camera's time code (see
//                      media/testdevices/time_code.h) from N shown frames: each frame's delay
//                      from capture to display in ms ("timeCodeDelaysMs"; unreadable ones left out)
import { spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";

function parseArgs(argv) {
  const a = { find: [], timeout: 60, chromium: "chromium", videoSeconds: 0, settle: 0, windowSize: "800,700", lang: "zh-TW" };
  for (let i = 0; i < argv.length; ++i) {
    const next = () => {
      if (i + 1 >= argv.length) throw new Error(`${argv[i]} needs a value`);
      return argv[++i];
    };
    switch (argv[i]) {
      case "--url": a.url = next(); break;
      case "--screenshot": a.screenshot = next(); break;
      case "--find": a.find.push(next()); break;
      case "--video-seconds": a.videoSeconds = Number(next()); break;
      case "--timeout": a.timeout = Number(next()); break;
      case "--settle": a.settle = Number(next()); break;
      case "--chromium": a.chromium = next(); break;
      case "--path": a.path = next(); break;
      case "--no-webrtc": a.noWebrtc = true; break;
      case "--leave": a.leave = true; break;
      case "--follow": a.follow = next(); break;
      case "--time-code-frames": a.timeCodeFrames = Number(next()); break;
      case "--webrtc-loss": a.webrtcLoss = Number(next()); break;
      case "--window-size": a.windowSize = next(); break;
      case "--lang": a.lang = next(); break;
      default: throw new Error(`unknown option ${argv[i]}`);
    }
  }
  if (!a.url) throw new Error("--url is needed");
  return a;
}

// One DevTools connection: a WebSocket (RFC 6455) client, text frames only.
class DevTools {
  static connect(wsUrl) {
    return new Promise((resolve, reject) => {
      const u = new URL(wsUrl);
      const req = http.request({
        host: u.hostname, port: u.port, path: u.pathname,
        headers: {
          Connection: "Upgrade", Upgrade: "websocket", "Sec-WebSocket-Version": "13",
          "Sec-WebSocket-Key": crypto.randomBytes(16).toString("base64"),
        },
      });
      req.on("upgrade", (res, socket, head) => resolve(new DevTools(socket, head)));
      req.on("response", (res) => reject(new Error(`DevTools refused the WebSocket: ${res.statusCode}`)));
      req.on("error", reject);
      req.end();
    });
  }

  constructor(socket, head) {
    this.socket = socket;
    this.input = head;
    this.fragments = [];
    this.nextId = 1;
    this.waiting = new Map();
    socket.on("data", (d) => { this.input = Buffer.concat([this.input, d]); this.readFrames(); });
    socket.on("close", () => {
      for (const w of this.waiting.values()) w.reject(new Error("DevTools connection closed"));
      this.waiting.clear();
    });
    socket.on("error", () => {});
  }

  readFrames() {
    for (;;) {
      const b = this.input;
      if (b.length < 2) return;
      let length = b[1] & 0x7f, at = 2;
      if (length === 126) { if (b.length < 4) return; length = b.readUInt16BE(2); at = 4; }
      else if (length === 127) { if (b.length < 10) return; length = Number(b.readBigUInt64BE(2)); at = 10; }
      if (b.length < at + length) return;
      const fin = (b[0] & 0x80) !== 0, opcode = b[0] & 0x0f;
      const payload = b.subarray(at, at + length);
      this.input = b.subarray(at + length);
      if (opcode === 0x1 || opcode === 0x0) {
        this.fragments.push(payload);
        if (fin) {
          const message = JSON.parse(Buffer.concat(this.fragments).toString("utf8"));
          this.fragments = [];
          const w = this.waiting.get(message.id);
          if (w) {
            this.waiting.delete(message.id);
            message.error ? w.reject(new Error(`${w.method}: ${message.error.message}`)) : w.resolve(message.result);
          }
        }
      } else if (opcode === 0x9) {
        this.writeFrame(0xa, payload);
      } else if (opcode === 0x8) {
        this.socket.end();
      }
    }
  }

  writeFrame(opcode, payload) {
    const mask = crypto.randomBytes(4);
    const n = payload.length;
    const head = n < 126 ? Buffer.from([0x80 | opcode, 0x80 | n])
      : n < 65536 ? Buffer.from([0x80 | opcode, 0x80 | 126, n >> 8, n & 0xff])
      : Buffer.concat([Buffer.from([0x80 | opcode, 0x80 | 127]), (() => { const l = Buffer.alloc(8); l.writeBigUInt64BE(BigInt(n)); return l; })()]);
    const masked = Buffer.alloc(n);
    for (let i = 0; i < n; ++i) masked[i] = payload[i] ^ mask[i & 3];
    this.socket.write(Buffer.concat([head, mask, masked]));
  }

  call(method, params = {}) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject, method });
      this.writeFrame(0x1, Buffer.from(JSON.stringify({ id, method, params })));
    });
  }

  // The value of a page expression (awaited when it is a promise).
  async evaluate(expression) {
    const r = await this.call("Runtime.evaluate", { expression, returnByValue: true, awaitPromise: true });
    if (r.exceptionDetails) throw new Error(`page: ${r.exceptionDetails.text} in ${expression}`);
    return r.result.value;
  }

  close() { this.socket.destroy(); }
}

// The pause between two looks at the page while waiting for a condition on it (and --settle's
// for a screenshot of a page that fills itself): the page runs in another process.
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function getJson(url) {
  return new Promise((resolve, reject) => {
    http.get(url, (res) => {
      let body = "";
      res.on("data", (d) => { body += d; });
      res.on("end", () => { try { resolve(JSON.parse(body)); } catch (e) { reject(e); } });
    }).on("error", reject);
  });
}

// Starts Chromium on a fresh profile; resolves with the process and its DevTools port.
function launch(a, profile) {
  const args = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--autoplay-policy=no-user-gesture-required", "--mute-audio", `--window-size=${a.windowSize}`,
    `--lang=${a.lang}`, `--accept-lang=${a.lang}`,
    `--user-data-dir=${profile}`, "--remote-debugging-port=0", "about:blank",
  ];
  return new Promise((resolve, reject) => {
    const child = spawn(a.chromium, args, { stdio: ["ignore", "ignore", "pipe"] });
    let log = "";
    const timer = setTimeout(() => reject(new Error(`Chromium did not open DevTools:\n${log}`)), 30000);
    child.on("error", (e) => { clearTimeout(timer); reject(e); });
    child.on("exit", (code) => { clearTimeout(timer); reject(new Error(`Chromium ended (${code}):\n${log}`)); });
    child.stderr.on("data", (d) => {
      log += d;
      const m = /DevTools listening on ws:\/\/[^:]+:(\d+)\//.exec(log);
      if (m) { clearTimeout(timer); child.removeAllListeners("exit"); resolve({ child, port: Number(m[1]) }); }
    });
  });
}

// Ends Chromium (its helpers follow it): asked first, then killed.
async function stop(child) {
  const ended = new Promise((r) => child.once("exit", r));
  child.kill("SIGTERM");
  if (await Promise.race([ended.then(() => true), sleep(5000).then(() => false)])) return;
  child.kill("SIGKILL");
  await ended;
}

// Samples the first video's current picture: eight columns across its middle row, as [r, g, b].
const kSampleColumns = `(() => {
  const v = document.querySelector("video");
  const c = document.createElement("canvas");
  c.width = v.videoWidth; c.height = v.videoHeight;
  const g = c.getContext("2d");
  g.drawImage(v, 0, 0);
  const row = Math.floor(c.height / 2), out = [];
  for (let i = 0; i < 8; ++i) {
    const p = g.getImageData(Math.floor((i + 0.5) * c.width / 8), row, 1, 1).data;
    out.push([p[0], p[1], p[2]]);
  }
  return out;
})()`;

// Reads the time code from `n` frames of the first video as they are shown, against the wall
// clock at their display; resolves with the delays in ms that read as plausible.
const timeCodeDelays = (n) => `new Promise((resolve) => {
  const kBits = 24, kMask = (1 << kBits) - 1, kBandDivisor = 12;
  const v = document.querySelector("video");
  const c = document.createElement("canvas");
  const g = c.getContext("2d", { willReadFrequently: true });
  const delays = [];
  let seen = 0;
  const read = (shownAt) => {
    const w = v.videoWidth, h = v.videoHeight;
    c.width = w; c.height = h;
    g.drawImage(v, 0, 0);
    const top = h - Math.floor(h / kBandDivisor), band = h - top;
    const y0 = top + Math.floor(band / 4), y1 = h - Math.floor(band / 4);
    const rows = g.getImageData(0, y0, w, y1 - y0).data;
    let code = 0;
    for (let bit = 0; bit < kBits; ++bit) {
      const first = Math.floor(w * bit / kBits), end = Math.floor(w * (bit + 1) / kBits);
      const x0 = first + Math.floor((end - first) / 4), x1 = end - Math.floor((end - first) / 4);
      let sum = 0, count = 0;
      for (let y = 0; y < y1 - y0; ++y)
        for (let x = x0; x < x1; ++x, ++count) {
          const p = (y * w + x) * 4;
          sum += 0.299 * rows[p] + 0.587 * rows[p + 1] + 0.114 * rows[p + 2];
        }
      code = code * 2 + (count && sum / count >= 128 ? 1 : 0);
    }
    const delay = ((Math.floor(shownAt) & kMask) - code + (1 << kBits)) & kMask;
    if (delay < 10000) delays.push(delay);
  };
  const next = (now, frame) => {
    read(performance.timeOrigin + (frame && frame.expectedDisplayTime ? frame.expectedDisplayTime : now));
    if (++seen >= ${n}) resolve(delays); else v.requestVideoFrameCallback(next);
  };
  v.requestVideoFrameCallback(next);
})`;

async function check(a, devtools, result) {
  const deadline = Date.now() + a.timeout * 1000;
  const left = () => deadline - Date.now();
  await devtools.call("Page.enable");
  if (a.noWebrtc)
    await devtools.call("Page.addScriptToEvaluateOnNewDocument", { source: "delete window.RTCPeerConnection;" });
  if (a.leave) await devtools.call("Page.addScriptToEvaluateOnNewDocument", { source: kNoteDeletes });
  if (a.webrtcLoss > 0) {
    await devtools.call("Network.enable");
    await emulateLoss(devtools, 0);
  }
  await devtools.call("Page.navigate", { url: a.url });
  if (a.follow) {
    const link = `(document.querySelector(${JSON.stringify(a.follow)}) || {}).href || ""`;
    let href = "";
    while (!(href = await devtools.evaluate(link)) && left() > 0) await sleep(200);
    result.followed = href;
    if (!href) result.failures.push(`no link ${a.follow}`);
    else await devtools.call("Page.navigate", { url: href });
  }
  for (const text of a.find) {
    while (!(await devtools.evaluate(`document.body ? document.body.innerText.includes(${JSON.stringify(text)}) : false`))) {
      if (left() <= 0) { result.failures.push(`text not found: ${text}`); break; }
      await sleep(200);
    }
  }
  if (a.videoSeconds > 0) {
    const state = () => devtools.evaluate(`(() => { const v = document.querySelector("video");
      return v ? { t: v.currentTime, ready: v.readyState, paused: v.paused, error: v.error ? v.error.message || String(v.error.code) : null,
                   width: v.videoWidth, height: v.videoHeight } : null; })()`);
    let s = await state();
    while (!(s && s.ready >= 2 && s.t > 0) && left() > 0) { await sleep(200); s = await state(); }
    result.videoStart = s;
    if (!(s && s.ready >= 2 && s.t > 0)) {
      result.failures.push(`the video does not play: ${JSON.stringify(s)}`);
    } else {
      if (a.webrtcLoss > 0) s = await untilResized(devtools, a.webrtcLoss, state, left, result);
      const t0 = s.t, wall0 = Date.now();
      while (s.t < t0 + a.videoSeconds && left() > 0) { await sleep(250); s = await state(); }
      result.videoEnd = s;
      result.videoAdvancedSeconds = s.t - t0;
      result.wallSeconds = (Date.now() - wall0) / 1000;
      if (s.t < t0 + a.videoSeconds) result.failures.push(`currentTime advanced by ${s.t - t0} s only`);
      result.videoColumns = await devtools.evaluate(kSampleColumns);
      if (a.timeCodeFrames > 0) {
        result.timeCodeDelaysMs = await devtools.evaluate(timeCodeDelays(a.timeCodeFrames));
        if (result.timeCodeDelaysMs.length < a.timeCodeFrames / 2) result.failures.push("the time code is unreadable");
      }
    }
  }
  if (a.path) {
    let said = "";
    while ((said = await devtools.evaluate(`(document.getElementById("path") || {}).textContent || ""`)) !== a.path && left() > 0)
      await sleep(200);
    result.path = said;
    if (said !== a.path) result.failures.push(`the page plays by ${said}, not ${a.path}`);
  }
  await sleep(a.settle * 1000);
  if (a.screenshot) {
    const shot = await devtools.call("Page.captureScreenshot", { format: "png" });
    fs.writeFileSync(a.screenshot, Buffer.from(shot.data, "base64"));
    result.screenshot = a.screenshot;
  }
  result.title = await devtools.evaluate("document.title");
  if (a.leave) await leave(devtools, a, result);
}

// Conditions for every address, which apply to WebRTC's sockets too: `loss` % of the packets
// lost. Chromium puts a socket through them only if some were on when it was made: a page that
// is to lose packets later starts with no loss and a millisecond of latency.
const emulateLoss = (devtools, loss) => devtools.call("Network.emulateNetworkConditionsByRule", {
  matchedNetworkConditions: [{ urlPattern: "", latency: 1, downloadThroughput: -1, uploadThroughput: -1, packetLoss: loss }],
});

// Loses `percent` of the WebRTC packets until the video's size changes; resolves with the
// video's state then.
async function untilResized(devtools, percent, state, left, result) {
  let s = await state();
  const from = [s.width, s.height];
  await emulateLoss(devtools, percent);
  while (s.width === from[0] && s.height === from[1] && left() > 0) { await sleep(200); s = await state(); }
  await emulateLoss(devtools, 0);
  result.videoSizes = [from, [s.width, s.height]];
  if (s.width === from[0] && s.height === from[1]) result.failures.push(`the picture stayed ${from.join("x")}`);
  return s;
}

// Notes in the origin's storage every DELETE the page asks for, so that it outlives the page.
const kNoteDeletes = `(() => {
  const fetch = window.fetch;
  window.fetch = function (input, init) {
    if (init && init.method === "DELETE") {
      const sent = JSON.parse(localStorage.getItem("leavingRequests") || "[]");
      sent.push("DELETE " + new URL(input, location.href).href);
      localStorage.setItem("leavingRequests", JSON.stringify(sent));
    }
    return fetch.apply(this, arguments);
  };
})()`;

// Leaves the page for another of its origin (one it does not serve) and reads what it sent on
// its way out.
async function leave(devtools, a, result) {
  await devtools.call("Page.navigate", { url: new URL("/left-the-player", a.url).href });
  for (let i = 0; i < 25; ++i) {
    const ready = await devtools.evaluate(`document.readyState === "complete" && location.pathname === "/left-the-player"`);
    if (ready) break;
    await sleep(200);
  }
  result.leavingRequests = JSON.parse(await devtools.evaluate(`localStorage.getItem("leavingRequests") || "[]"`));
}

async function main() {
  let a;
  try { a = parseArgs(process.argv.slice(2)); } catch (e) {
    console.error(`chromium_page: ${e.message}`);
    return 2;
  }
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "chromium-page-"));
  const result = { url: a.url, failures: [] };
  let browser;
  try {
    browser = await launch(a, profile);
    const targets = await getJson(`http://127.0.0.1:${browser.port}/json/list`);
    const page = targets.find((t) => t.type === "page");
    if (!page) throw new Error("Chromium has no page");
    const devtools = await DevTools.connect(page.webSocketDebuggerUrl);
    try { await check(a, devtools, result); } finally { devtools.close(); }
  } catch (e) {
    result.failures.push(e.message);
    result.launchError = !browser;
  } finally {
    if (browser) await stop(browser.child);
    // Chromium's helpers may still be writing into the profile as they go.
    try {
      fs.rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 200 });
    } catch (e) {
      console.error(`chromium_page: profile ${profile} left behind: ${e.message}`);
    }
  }
  console.log(JSON.stringify(result));
  return result.launchError ? 2 : result.failures.length ? 1 : 0;
}

process.exitCode = await main();
