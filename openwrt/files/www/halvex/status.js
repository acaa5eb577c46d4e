// The gateway's status page: logs in to rpcd through uhttpd's /ubus endpoint and asks the
// daemons' status objects every few seconds. Everything it needs is served by the router.
"use strict";

const REFRESH_MS = 3000;
const CALL_TIMEOUT_MS = 4000;
const ANONYMOUS = "00000000000000000000000000000000";
const DAEMONS = ["blehub", "reportd", "mqttpub", "wsbridge", "supervd", "provd"];
const UBUS_NOT_FOUND = 4;

let session = sessionStorage.getItem("halvex-session");
let rpcId = 0;
let timer = null;
let lastAnswer = null;

const $ = (id) => document.getElementById(id);

class AccessDenied extends Error {}
class NoAnswer extends Error {}

// One JSON-RPC call; resolves to [status, data].
async function call(sid, object, method, args) {
  const body = { jsonrpc: "2.0", id: ++rpcId, method: "call", params: [sid, object, method, args || {}] };
  const abort = new AbortController();
  const timeout = setTimeout(() => abort.abort(), CALL_TIMEOUT_MS);
  let reply;
  try {
    const response = await fetch("/ubus", {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body),
      signal: abort.signal,
    });
    reply = await response.json();
  } catch (e) {
    throw new NoAnswer(e.message);
  } finally {
    clearTimeout(timeout);
  }
  if (reply.error) {
    if (reply.error.code === -32002 || reply.error.code === -32001)
      throw new AccessDenied(reply.error.message);
    throw new Error(reply.error.message);
  }
  return reply.result || [9];
}

function showLogin(message) {
  stopRefresh();
  session = null;
  sessionStorage.removeItem("halvex-session");
  $("status").hidden = true;
  $("logout").hidden = true;
  $("banner").hidden = true;
  $("login").hidden = false;
  $("login-error").hidden = !message;
  $("login-error").textContent = message || "";
  $("password").focus();
}

async function login(event) {
  event.preventDefault();
  try {
    const [status, data] = await call(ANONYMOUS, "session", "login", {
      username: $("username").value,
      password: $("password").value,
    });
    if (status !== 0 || !data || !data.ubus_rpc_session) {
      showLogin("Wrong user or password.");
      return;
    }
    session = data.ubus_rpc_session;
    sessionStorage.setItem("halvex-session", session);
    $("password").value = "";
    start();
  } catch (e) {
    showLogin(e instanceof NoAnswer ? "The gateway does not answer." : "Login refused: " + e.message);
  }
}

function start() {
  $("login").hidden = true;
  $("status").hidden = false;
  $("logout").hidden = false;
  refresh();
}

function stopRefresh() {
  if (timer !== null) clearTimeout(timer);
  timer = null;
}

async function refresh() {
  stopRefresh();
  const calls = DAEMONS.map((d) => call(session, d, "status", {}));
  calls.push(call(session, "blehub", "nodes", {}));
  const results = await Promise.allSettled(calls);
  const denied = results.find((r) => r.status === "rejected" && r.reason instanceof AccessDenied);
  if (denied) {
    showLogin("Your session has ended: log in again.");
    return;
  }
  const answered = results.some((r) => r.status === "fulfilled");
  if (!answered) {
    const last = lastAnswer ? " (last answer at " + lastAnswer.toLocaleTimeString() + ")" : "";
    $("banner").textContent = "The gateway does not answer" + last + ". Trying again…";
    $("banner").hidden = false;
  } else {
    lastAnswer = new Date();
    $("banner").hidden = true;
    const status = {};
    DAEMONS.forEach((d, i) => { status[d] = answer(results[i]); });
    const nodes = answer(results[DAEMONS.length]);
    render(status, nodes);
    $("updated").textContent = "updated " + lastAnswer.toLocaleTimeString();
  }
  timer = setTimeout(refresh, REFRESH_MS);
}

// The data of a settled call, {missing: true} for a daemon that does not run, or null.
function answer(result) {
  if (result.status !== "fulfilled") return null;
  const [status, data] = result.value;
  if (status === UBUS_NOT_FOUND) return { missing: true };
  return status === 0 ? data || {} : null;
}

function age(unix) {
  if (unix === null || unix === undefined) return "never";
  const s = Math.max(0, Math.round(Date.now() / 1000 - unix));
  if (s < 90) return s + " s ago";
  if (s < 5400) return Math.round(s / 60) + " min ago";
  return Math.round(s / 3600) + " h ago";
}

function duration(s) {
  if (s === undefined || s === null) return "";
  if (s < 120) return s + " s";
  if (s < 7200) return Math.round(s / 60) + " min";
  return (s / 3600).toFixed(1) + " h";
}

function setLink(id, state, detail) {
  const el = $(id);
  el.className = "link " + (state === "up" ? "up" : state === "down" ? "down" : "unknown");
  el.querySelector(".state").textContent = state;
  el.querySelector(".detail").textContent = detail;
}

function render(s, nodes) {
  const sup = s.supervd, rep = s.reportd, mq = s.mqttpub, ws = s.wsbridge;

  if (sup && !sup.missing) {
    const lookup = sup.last_lookup ? "lookup " + (sup.last_lookup.resolved ? "ok " : "failed ") + age(sup.last_lookup.time) : "no lookup yet";
    const wifi = sup.wlan === "unknown" ? "" : "Wi-Fi " + sup.wlan + ", ";
    setLink("link-uplink", sup.internet === "up" ? "up" : "down", wifi + lookup);
  } else {
    setLink("link-uplink", "unknown", "supervd does not answer");
  }

  if (ws && !ws.missing && rep && !rep.missing) {
    const post = rep.last_post ? "last report " + rep.last_post.result + " " + age(rep.last_post.time) : "no report yet";
    const failing = rep.last_post && rep.last_post.result === "not taken";
    setLink("link-cloud", ws.connected && !failing ? "up" : "down", post);
  } else {
    setLink("link-cloud", "unknown", "reportd or wsbridge does not answer");
  }

  if (mq && !mq.missing) {
    setLink("link-mqtt", mq.connected ? "up" : "down", mq.broker + (mq.connected ? ", since " + age(mq.connected_since) : ""));
  } else {
    setLink("link-mqtt", "unknown", "mqttpub does not answer");
  }

  if (ws && !ws.missing) {
    const detail = ws.connected ? ws.subscriptions + " channels, since " + age(ws.connected_since)
                                : (ws.last_close_reason ? "closed: " + ws.last_close_reason : "closed");
    setLink("link-websocket", ws.connected ? "up" : "down", detail);
  } else {
    setLink("link-websocket", "unknown", "wsbridge does not answer");
  }

  renderNodes(s.blehub, nodes);
  renderCounters(s);
  renderDaemons(s);
}

function renderNodes(hub, nodes) {
  const adapter = hub && hub.adapter;
  $("adapter").textContent = !hub || hub.missing ? "blehub does not answer" :
    "Bluetooth adapter " + (adapter.present ? "present" : "missing") + (adapter.powered ? ", powered" : "") +
    (adapter.discovering ? ", discovering" : "") + (hub.bluez_on_bus ? "" : "; BlueZ is not on the bus");
  const list = nodes && nodes.nodes ? nodes.nodes : [];
  $("no-nodes").hidden = list.length > 0;
  const body = $("nodes").tBodies[0];
  const rows = new Map([...body.rows].map((r) => [r.dataset.id, r]));
  for (const node of list) {
    let row = rows.get(node.id);
    rows.delete(node.id);
    if (!row) {
      row = body.insertRow();
      row.dataset.id = node.id;
      for (let i = 0; i < 5; ++i) row.insertCell();
    }
    row.cells[0].textContent = (node.name || node.id) + (node.name ? " (" + node.id + ")" : "") + (node.firmware ? " v" + node.firmware : "");
    row.cells[1].textContent = node.state;
    row.cells[1].className = "state-" + node.state;
    row.cells[2].textContent = node.rssi === null ? "–" : node.rssi + " dBm";
    row.cells[3].textContent = age(node.last_seen);
    renderSensors(row.cells[4], node.sensors || []);
  }
  for (const stale of rows.values()) stale.remove();
}

function renderSensors(cell, sensors) {
  const boxes = new Map([...cell.children].map((c) => [c.dataset.key, c]));
  for (const sensor of sensors) {
    const key = sensor.key + "/" + sensor.type;
    let box = boxes.get(key);
    boxes.delete(key);
    if (!box) {
      box = document.createElement("div");
      box.className = "sensor";
      box.dataset.key = key;
      box.innerHTML = '<span class="label"></span> <span class="value"></span><canvas width="220" height="60"></canvas>';
      cell.appendChild(box);
    }
    box.querySelector(".label").textContent = sensor.type + (sensor.key.includes("_") ? " #" + sensor.key.split("_").pop() : "");
    box.querySelector(".value").textContent = format(sensor.value) + " (" + age(sensor.time) + ", " + sensor.count + " readings)";
    plot(box.querySelector("canvas"), sensor.history);
  }
  for (const stale of boxes.values()) stale.remove();
}

function format(v) {
  return typeof v === "number" ? (Math.abs(v) >= 100 ? v.toFixed(0) : v.toFixed(2).replace(/\.?0+$/, "")) : String(v);
}

// The last hour of one sensor: a line through the 30 s means, gaps left open.
function plot(canvas, history) {
  const ctx = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height, pad = 12;
  ctx.clearRect(0, 0, w, h);
  const values = history && Array.isArray(history.values) ? history.values : [];
  const present = values.filter((v) => typeof v === "number");
  ctx.fillStyle = "#7b8794";
  ctx.font = "10px sans-serif";
  if (present.length === 0) {
    ctx.fillText("no readings in the last hour", 4, h / 2);
    return;
  }
  let lo = Math.min(...present), hi = Math.max(...present);
  if (hi === lo) { hi += 1; lo -= 1; }
  const x = (i) => (i / Math.max(1, values.length - 1)) * (w - 2) + 1;
  const y = (v) => h - pad - ((v - lo) / (hi - lo)) * (h - 2 * pad);
  ctx.strokeStyle = "#1f6feb";
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  let drawing = false;
  values.forEach((v, i) => {
    if (typeof v !== "number") { drawing = false; return; }
    if (drawing) ctx.lineTo(x(i), y(v)); else ctx.moveTo(x(i), y(v));
    drawing = true;
  });
  ctx.stroke();
  // A lone point between gaps shows as a dot.
  ctx.fillStyle = "#1f6feb";
  values.forEach((v, i) => {
    const alone = typeof v === "number" && typeof values[i - 1] !== "number" && typeof values[i + 1] !== "number";
    if (alone) ctx.fillRect(x(i) - 1.5, y(v) - 1.5, 3, 3);
  });
  ctx.fillStyle = "#7b8794";
  ctx.fillText(format(hi), 2, 10);
  ctx.fillText(format(lo), 2, h - 2);
  ctx.fillText("1 h", w - 18, h - 2);
}

function renderCounters(s) {
  const rows = [];
  const add = (label, value) => { if (value !== undefined && value !== null) rows.push([label, value]); };
  const hub = s.blehub, rep = s.reportd, mq = s.mqttpub, ws = s.wsbridge, sup = s.supervd;
  if (hub && hub.readings) {
    add("Readings published", hub.readings.published);
    add("Readings dropped", hub.readings.dropped);
    add("Frames undecodable", hub.readings.undecodable);
  }
  if (rep && !rep.missing) {
    add("Samples posted to the cloud", rep.posted);
    add("Samples refused by the cloud", rep.refused);
    add("Samples dropped (store full)", rep.dropped);
    add("Devices heard", rep.devices_heard);
  }
  if (mq && !mq.missing) {
    add("MQTT messages published", mq.published);
    add("MQTT messages failed", mq.failed);
  }
  if (ws && !ws.missing) add("Commands relayed", ws.commands_relayed);
  if (sup && !sup.missing) add("Bluetooth recoveries", sup.bluetooth_recoveries);
  const body = $("counters").tBodies[0];
  body.replaceChildren(...rows.map(([label, value]) => {
    const row = document.createElement("tr");
    row.insertCell().textContent = label;
    row.insertCell().textContent = value;
    return row;
  }));
  if (rep && !rep.missing && rep.samples_max) {
    const memory = rep.samples_memory ?? rep.samples_held;
    $("store-fill").value = memory / rep.samples_max;
    $("store-text").textContent = memory + " of " + rep.samples_max + " samples in memory" +
        (rep.samples_flash ? ", " + rep.samples_flash + " on flash" : "");
  } else if (rep && !rep.missing) {
    $("store-text").textContent = rep.samples_held + " samples";
  }
}

function renderDaemons(s) {
  const sup = s.supervd && s.supervd.daemons ? s.supervd.daemons : {};
  const body = $("daemons").tBodies[0];
  body.replaceChildren(...DAEMONS.map((d) => {
    const st = s[d], watch = sup[d] || {};
    const row = document.createElement("tr");
    row.insertCell().textContent = d;
    row.insertCell().textContent = !st ? "no answer" : st.missing ? "not running" : st.version;
    row.insertCell().textContent = st && !st.missing ? duration(st.uptime) : "";
    row.insertCell().textContent = watch.heartbeat_age !== undefined && watch.heartbeat_age !== null ? watch.heartbeat_age + " s ago" : "";
    row.insertCell().textContent = watch.restarts ? watch.restarts + " (last " + age(watch.last_restart) + ")" : "0";
    return row;
  }));
}

$("login").addEventListener("submit", login);
// The session ends by itself after rpcd's time-out; its ACL has no other session method.
$("logout").addEventListener("click", () => showLogin(""));

if (session) start(); else showLogin("");
