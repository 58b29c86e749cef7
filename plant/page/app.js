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

// Whether this visitor may hold a line: asked once; no button for the others.
let mayHold = false;

// A value as the page shows it: isolated from the text around it (one that
// ends in a right-to-left override cannot turn the rest of its line), and
// cut where it is long, whole in its title.
const kLongest = 120;
function value(text) {
  const node = document.createElement("bdi");
  const whole = text === undefined || text === null ? "" : String(text);
  node.textContent = whole.length > kLongest ? whole.slice(0, kLongest) + "…" : whole;
  if (whole.length > kLongest) node.title = whole;
  return node;
}

// Text and values in one element: the strings as they are, values isolated.
function sentence(tag, className, ...parts) {
  const node = el(tag, className);
  for (const part of parts)
    node.append(part instanceof Node ? part : document.createTextNode(part));
  return node;
}

function percent(part, whole) {
  return whole > 0 ? (100 * part / whole).toFixed(1) + " %" : "–";
}

function drawStation(station) {
  const box = el("div", "station" + (station.silent ? " silent" : station.stopped ? " stopped" : ""));
  box.dataset.station = station.station;
  box.append(sentence("div", "name", value(station.station)));
  if (station.silent)
    box.append(el("div", "silent-since", "silent since " + new Date(station.heard).toLocaleTimeString()));
  else if (station.stopped)
    box.append(el("div", "stopped-at", "stopped at " + new Date(station.stopped).toLocaleTimeString()));
  const slots = el("div", "slots");
  for (const slot of station.slots || []) {
    const cell = el("div", "slot " + slot.state);
    cell.dataset.slot = slot.slot;
    cell.append(el("div", "state", slot.slot + ": " + slot.state));
    if (slot.unit) cell.append(sentence("div", "unit", value(slot.unit)));
    if (slot.last) {
      const last = el("div", "last " + slot.last.outcome, "last: " + slot.last.outcome);
      last.title = slot.last.message || "";
      if (slot.last.unit) last.append(sentence("span", "last-unit", value(slot.last.unit)));
      cell.append(last);
    }
    slots.append(cell);
  }
  box.append(slots);
  return box;
}

function drawLine(line) {
  const section = el("section", "line" + (line.held ? " held" : ""));
  section.dataset.line = line.line;
  section.append(line.line === "" ? el("h2", null, "Stations without a line")
                                   : sentence("h2", null, "Line ", value(line.line)));
  if (line.work_order)
    section.append(sentence("p", "summary", "release ", value(line.release), ", work order ",
                            value(line.work_order), ", " + line.done + " of " + line.quantity +
                            " units"));
  const complete = line.work_order && !line.held && line.done >= line.quantity;
  if (line.held) section.append(sentence("p", "held-reason", "Held: ", value(line.held)));
  if (line.refused)
    section.append(sentence("p", "refused", "Refused by stations: ", value(line.refused)));
  // A line whose work order is done makes nothing more: there is nothing to hold.
  if (complete) section.append(el("p", "complete", "Work order complete"));
  if (line.line !== "" && !complete && mayHold) {
    const button = el("button", "hold", line.held ? "Resume line" : "Hold line");
    button.addEventListener("click", () => holdOrResume(line.line, !line.held));
    section.append(button);
  }
  const today = line.today || {units: 0, first_pass: 0, completed: 0};
  section.append(el("p", "yield", "Today: " + today.units + (today.units == 1 ? " unit" : " units") +
                    ", first pass " +
                    percent(today.first_pass, today.units) + ", final " +
                    percent(today.completed, today.units)));
  if (line.failures && line.failures.length) {
    const list = el("ul", "failures");
    for (const failure of line.failures)
      list.append(sentence("li", null, value(failure.reason), " (" + failure.attempts + ")"));
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
  // An old picture says so, with its age: a database away is no quiet plant.
  document.body.classList.toggle("stale", Boolean(plant.trouble));
  const connection = document.getElementById("connection");
  if (plant.trouble)
    connection.textContent = "not live: the plant's database cannot be read (" + plant.trouble +
      ")" + (plant.now ? "; this is the plant at " + new Date(plant.now).toLocaleTimeString() : "");
  else
    connection.textContent = "live";
}

// A supervisor's hold or resume; the server says no to anyone else.
async function holdOrResume(line, hold) {
  const question = hold ? "Hold line " + line + "? No new transfer starts on its stations."
                        : "Resume line " + line + "?";
  if (!window.confirm(question)) return;
  try {
    const answer = await fetch(here("/api/lines/" + encodeURIComponent(line) +
                                    (hold ? "/hold" : "/resume")),
                               {method: "POST", headers: {"X-J4-Request": "1"}});
    if (!answer.ok) window.alert((await answer.json()).error);
  } catch (error) {
    window.alert("The plant's server cannot be reached: " + error.message);
  }
}

// This server's address without a user and password that the page's own
// address may carry (which a request may not).
function here(path) {
  return window.location.origin + path;
}

async function searchUnit(serial) {
  const answer = await fetch(here("/api/units?serial=" + encodeURIComponent(serial)));
  const rows = document.getElementById("unit-rows");
  document.getElementById("unit-title").textContent = "Unit " + serial;
  document.getElementById("unit-history").hidden = false;
  if (!answer.ok) {
    rows.replaceChildren(el("tr", null, (await answer.json()).error));
    return;
  }
  rows.replaceChildren(...(await answer.json()).map((attempt) => {
    const row = el("tr");
    for (const value of [new Date(attempt.started).toLocaleString(), attempt.outcome,
                         attempt.release_version, attempt.station, attempt.slot, attempt.message])
      row.append(el("td", null, value));
    return row;
  }));
}

document.getElementById("unit-search").addEventListener("submit", (event) => {
  event.preventDefault();
  const serial = document.getElementById("unit-serial").value.trim();
  if (serial) searchUnit(serial);
});

fetch(here("/api/me")).then((answer) => answer.ok ? answer.json() : {})
  .then((me) => { mayHold = me.may_hold === true; }).catch(() => {})
  .finally(startEvents);

function startEvents() {
  const events = new EventSource("/events");
  events.onopen = () => { document.getElementById("connection").textContent = "live"; };
  events.onerror = () => {
    document.getElementById("connection").textContent = "reconnecting…";
    // Refused (the server has every page it can take): asked again shortly.
    if (events.readyState === EventSource.CLOSED) setTimeout(startEvents, 10000);
  };
  events.onmessage = (message) => draw(JSON.parse(message.data));
}
