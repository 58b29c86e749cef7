// The plant's page: each event from /events is the whole plant; the page is
// drawn anew from it with text nodes only, so nothing a station or an
// operator typed is ever taken for HTML.
"use strict";

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

function percent(part, whole) {
  return whole > 0 ? (100 * part / whole).toFixed(1) + " %" : "–";
}

function drawStation(station) {
  const box = el("div", "station" + (station.silent ? " silent" : ""));
  box.dataset.station = station.station;
  box.append(el("div", "name", station.station));
  if (station.silent)
    box.append(el("div", "silent-since", "silent since " + new Date(station.heard).toLocaleTimeString()));
  const slots = el("div", "slots");
  for (const slot of station.slots || []) {
    const cell = el("div", "slot " + slot.state);
    cell.dataset.slot = slot.slot;
    cell.append(el("div", "state", slot.slot + ": " + slot.state));
    if (slot.unit) cell.append(el("div", "unit", slot.unit));
    slots.append(cell);
  }
  box.append(slots);
  return box;
}

function drawLine(line) {
  const section = el("section", "line" + (line.held ? " held" : ""));
  section.dataset.line = line.line;
  section.append(el("h2", null, line.line === "" ? "Stations without a line" : "Line " + line.line));
  if (line.work_order)
    section.append(el("p", "summary", "release " + line.release + ", work order " +
                      line.work_order + ", " + line.done + " of " + line.quantity + " units"));
  if (line.held) section.append(el("p", "held-reason", "Held: " + line.held));
  const today = line.today || {units: 0, first_pass: 0, completed: 0};
  section.append(el("p", "yield", "Today: " + today.units + " units, first pass " +
                    percent(today.first_pass, today.units) + ", final " +
                    percent(today.completed, today.units)));
  if (line.failures && line.failures.length) {
    const list = el("ul", "failures");
    for (const failure of line.failures)
      list.append(el("li", null, failure.reason + " (" + failure.attempts + ")"));
    section.append(list);
  }
  const stations = el("div", "stations");
  for (const station of line.stations) stations.append(drawStation(station));
  section.append(stations);
  return section;
}

function draw(plant) {
  const lines = document.getElementById("lines");
  lines.replaceChildren(...plant.lines.map(drawLine));
}

const events = new EventSource("/events");
events.onopen = () => { document.getElementById("connection").textContent = "live"; };
events.onerror = () => { document.getElementById("connection").textContent = "reconnecting…"; };
events.onmessage = (message) => draw(JSON.parse(message.data));
