#include "stats/status_page.h"

// Every text from the exporter goes in through textContent, never as
// markup: the clients' labels come from whoever can answer for a repeater.
const char STATUS_PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width">
<title>tolvek</title>
<style>
body{font:14px/1.4 sans-serif;margin:1em;color:#222;background:#f6f6f6}
section{background:#fff;border:1px solid #ccc;border-radius:4px;padding:.5em 1em;margin:0 0 1em}
h1{font-size:1.3em}h2{font-size:1.1em;margin:.2em 0}
.up{color:#070}.down,.stopped{color:#b00;font-weight:bold}
table{border-collapse:collapse;font-family:monospace}th,td{padding:0 1em 0 0;text-align:left;white-space:pre}
svg{display:block;width:100%;max-width:720px;height:140px;background:#eef1f4}
.f{stroke:#1565c0}.l{stroke:#c62828}path{fill:none;stroke-width:1.5}
.key{font-size:.9em;color:#555}
</style></head><body>
<h1>tolvek repeaters</h1><p id="at" class="key">asking the exporter</p><div id="list"></div>
<script>
"use strict";
const hist = {};
let since = -1;
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function chart(points, now, span) {
  const ns = "http://www.w3.org/2000/svg", W = 720, H = 140;
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("viewBox", "0 0 " + W + " " + H);
  svg.setAttribute("preserveAspectRatio", "none");
  let max = 1;
  for (const p of points) if (p[1] !== null) max = Math.max(max, p[1] * 1.1);
  for (const [i, cls] of [[1, "f"], [2, "l"]]) {
    let d = "", pen = false;
    for (const p of points) {
      if (p[i] === null) { pen = false; continue; }
      d += (pen ? "L" : "M") + ((p[0] - now + span) / span * W).toFixed(1) + " " + (H - p[i] / max * H).toFixed(1);
      pen = true;
    }
    const path = document.createElementNS(ns, "path");
    path.setAttribute("class", cls);
    path.setAttribute("d", d);
    svg.appendChild(path);
  }
  return [svg, max];
}
function section(r, doc) {
  const s = el("section");
  s.dataset.repeater = r.name;
  const h = el("h2", null, r.name + " ");
  h.appendChild(el("span", r.up ? "up" : "down", r.up ? "up" : r.answered ? "down" : "not asked yet"));
  s.appendChild(h);
  if (r.failure) s.appendChild(el("p", "down", r.failure));
  if (r.stream === "stopped")
    s.appendChild(el("p", "stopped", "stream stopped: no datagram for " + r.last_data_age.toFixed(0) + " s"));
  else if (r.stream) s.appendChild(el("p", "stream", "stream " + r.stream));
  const head = el("table", "head");
  for (const [k, v] of r.head) {
    const tr = el("tr");
    tr.appendChild(el("th", null, k));
    tr.appendChild(el("td", null, v));
    head.appendChild(tr);
  }
  s.appendChild(head);
  if (r.waiting) s.appendChild(el("p", null, "waiting for the first report: the repeater makes it 2 s into a stream"));
  const [svg, max] = chart(hist[r.name] || [], doc.now, doc.span);
  s.appendChild(svg);
  s.appendChild(el("p", "key", "datagrams a second (blue) and lost datagrams a second (red), the last " +
                   doc.span / 60 + " minutes; top " + max.toFixed(1)));
  if (r.clients.length) {
    const t = el("table", "clients"), tr = el("tr");
    for (const c of doc.columns) tr.appendChild(el("th", null, c));
    t.appendChild(tr);
    for (const row of r.clients) {
      const tr = el("tr");
      for (const c of row) tr.appendChild(el("td", null, c));
      t.appendChild(tr);
    }
    s.appendChild(t);
  }
  return s;
}
async function tick() {
  try {
    const reply = await fetch("status.json" + (since >= 0 ? "?since=" + since : ""), {cache: "no-store"});
    const doc = await reply.json();
    const list = document.getElementById("list");
    list.textContent = "";
    for (const r of doc.repeaters) {
      hist[r.name] = (hist[r.name] || []).concat(r.history).filter(p => p[0] > doc.now - doc.span);
      list.appendChild(section(r, doc));
    }
    since = doc.now;
    document.getElementById("at").textContent = "as of " + new Date().toLocaleTimeString() + ", every 2 s";
  } catch (e) {
    document.getElementById("at").textContent = "the exporter does not answer: " + e;
  }
  setTimeout(tick, 2000);
}
tick();
</script></body></html>
)PAGE";
