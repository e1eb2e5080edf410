// The studio page. Its controls are drawn from GET /api/settings (the declaration
// of every recipe setting); it talks to the server only through the HTTP
// interface documented in the README. No build step, no libraries.
"use strict";

const $ = (id) => document.getElementById(id);
const ROMAN = ["0", "I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X"];

const state = {
  settings: [], defaults: null, presets: [], photos: [], recipe: null,
  photo: null, view: "print", loupe: false,
  client: Math.random().toString(36).slice(2, 10),
};
const controls = new Map(); // setting key -> {setting, root, show(value), error(text)}

// -- the recipe tree ----------------------------------------------------------

const copy = (value) => JSON.parse(JSON.stringify(value));
const isOptional = (s) => s.default === null; // e.g. the mixer: when set it replaces its section's others

function getValue(tree, s) {
  if (!s.key.includes(".")) return tree[s.key];
  return (tree[s.section] || {})[s.name];
}

function setValue(tree, s, value) {
  if (!s.key.includes(".")) { tree[s.key] = value; return; }
  const section = (tree[s.section] = tree[s.section] || {});
  const siblings = state.settings.filter((o) => o.section === s.section && o.key !== s.key);
  if (value === null || value === undefined) {
    delete section[s.name];
    if (isOptional(s)) { // its siblings come back as they were by default
      for (const o of siblings) if (!(o.name in section)) section[o.name] = copy(o.default);
    }
    return;
  }
  section[s.name] = value;
  if (isOptional(s)) { for (const o of siblings) delete section[o.name]; }
  else {
    for (const o of siblings) {
      if (isOptional(o) && o.name in section) {
        delete section[o.name];
        for (const p of siblings) if (p !== o && !(p.name in section)) section[p.name] = copy(p.default);
      }
    }
  }
}

// -- talking to the server ------------------------------------------------------

async function api(method, path, body, type = "application/json") {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.body = type === "application/json" ? JSON.stringify(body) : body;
    init.headers["Content-Type"] = type;
  }
  return fetch(path, init);
}

function showMessage(text) {
  const box = $("message");
  box.hidden = !text;
  box.textContent = text || "";
}

function status(text) { $("status").textContent = text; }

// -- previews: one request in flight, the last value wins -----------------------

const render = { dirty: false, inFlight: false, again: false, since: null, kind: null, shown: null };

function changed(kind) {
  render.dirty = true;
  note(kind);
  schedule();
}

function note(kind) {
  render.since = performance.now();
  render.kind = kind;
}

function schedule() {
  if (render.inFlight) { render.again = true; return; }
  cycle();
}

async function cycle() {
  render.inFlight = true;
  render.again = false;
  const since = render.since, kind = render.kind;
  render.since = null;
  try {
    if (render.dirty) {
      render.dirty = false;
      if (!(await sendRecipe())) return;
    }
    if (state.photo !== null) await paintPreview(since, kind);
  } catch (error) {
    showMessage(`the studio did not answer: ${error}`);
  } finally {
    render.inFlight = false;
    if (render.again || render.dirty) schedule();
    else settle();
  }
}

const settled = [];
function settle() { while (settled.length) settled.shift()(); }
function idle() { // resolves once every change has been sent and painted
  if (!render.inFlight && !render.dirty) return Promise.resolve();
  return new Promise((resolve) => settled.push(resolve));
}

async function sendRecipe() {
  const response = await api("PUT", "/api/recipe", state.recipe);
  for (const c of controls.values()) c.error(null);
  if (response.ok) { $("preset").dataset.invalid = ""; return true; }
  const body = await response.json();
  const key = body.key || "";
  const target = controls.get(key) || controls.get(key.split(".")[0]) || controls.get(key.split(".").slice(0, 2).join("."));
  if (target) target.error(body.error);
  else showMessage(body.error);
  status("not rendered: " + body.error);
  return false;
}

function previewWidth(photo) {
  const frame = $("frame");
  const ratio = window.devicePixelRatio || 1;
  const boxW = Math.max(64, frame.clientWidth - 24), boxH = Math.max(64, frame.clientHeight - 24);
  const aspect = photo.width && photo.height ? photo.width / photo.height : 1.5;
  let width = Math.min(boxW, boxH * aspect) * ratio;
  if (photo.width) width = Math.min(width, photo.width);
  return Math.max(16, Math.round(width / 8) * 8);
}

function painted() {
  return new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve, 0)));
}

async function paintPreview(since, kind) {
  const photo = state.photo;
  const width = previewWidth(photo);
  const query = `photo=${encodeURIComponent(photo.id)}&width=${width}&view=${state.view}&client=${state.client}`;
  const response = await fetch(`/api/preview?${query}`);
  if (response.status === 204) { render.again = true; return; } // superseded by a newer request
  if (!response.ok) {
    const body = await response.json().catch(() => ({ error: response.statusText }));
    photoFailed(photo, body.error);
    return;
  }
  const histogram = JSON.parse(response.headers.get("X-Ostrel-Histogram") || "null");
  const url = URL.createObjectURL(await response.blob());
  const image = new Image();
  image.src = url;
  await image.decode();
  if (photo !== state.photo) { URL.revokeObjectURL(url); return; }
  const preview = $("preview");
  const old = preview.src;
  preview.src = url;
  preview.dataset.view = state.view;
  preview.dataset.photo = photo.id;
  if (old && old.startsWith("blob:")) URL.revokeObjectURL(old);
  showMessage(null);
  if (histogram) drawHistogram(histogram);
  await painted();
  if (since !== null) {
    const measure = performance.measure(`studio:${kind}`, { start: since, end: performance.now() });
    status(`${kind} ${measure.duration.toFixed(0)} ms`);
  }
  render.shown = performance.now();
  document.body.dataset.paints = String(Number(document.body.dataset.paints || 0) + 1);
}

function photoFailed(photo, reason) {
  photo.error = reason;
  const thumb = document.querySelector(`.thumb[data-id="${photo.id}"]`);
  if (thumb) markBad(thumb, reason);
  $("preview").removeAttribute("src");
  showMessage(reason);
}

// -- the loupe ------------------------------------------------------------------

const loupe = { inFlight: false, next: null };

function loupeAt(event) {
  const preview = $("preview");
  const rect = preview.getBoundingClientRect();
  const fx = (event.clientX - rect.left) / rect.width, fy = (event.clientY - rect.top) / rect.height;
  const box = $("loupe");
  if (!state.loupe || fx < 0 || fx > 1 || fy < 0 || fy > 1 || !preview.src) { box.hidden = true; return; }
  box.hidden = false;
  const frame = $("frame").getBoundingClientRect();
  box.style.left = `${event.clientX - frame.left + 16}px`;
  box.style.top = `${event.clientY - frame.top - 128}px`;
  loupe.next = { x: fx, y: fy, since: performance.now() };
  if (!loupe.inFlight) loupeCycle();
}

async function loupeCycle() {
  loupe.inFlight = true;
  try {
    while (loupe.next) {
      const { x, y, since } = loupe.next;
      loupe.next = null;
      await idle();
      const size = Math.min(1024, Math.round(256 * (window.devicePixelRatio || 1)));
      const query = `photo=${state.photo.id}&x=${x.toFixed(5)}&y=${y.toFixed(5)}&size=${size}&client=${state.client}`;
      const response = await fetch(`/api/loupe?${query}`);
      if (response.status === 204) continue;
      if (!response.ok) { showMessage((await response.json()).error); break; }
      const url = URL.createObjectURL(await response.blob());
      const image = $("loupe-img");
      const next = new Image();
      next.src = url;
      await next.decode();
      const old = image.src;
      image.src = url;
      if (old.startsWith("blob:")) URL.revokeObjectURL(old);
      await painted();
      performance.measure("studio:loupe", { start: since, end: performance.now() });
    }
  } finally { loupe.inFlight = false; }
}

// -- the histogram ----------------------------------------------------------------

function drawHistogram(h) {
  const canvas = $("histogram");
  const ratio = window.devicePixelRatio || 1;
  canvas.width = canvas.clientWidth * ratio;
  canvas.height = canvas.clientHeight * ratio;
  const g = canvas.getContext("2d");
  const W = canvas.width, H = canvas.height, label = 14 * ratio, plot = H - label;
  g.clearRect(0, 0, W, H);
  // Zone N spans L* 10N - 5 .. 10N + 5 on an L* axis of 0..100.
  const x = (lstar) => (lstar / 100) * W;
  for (let z = 0; z <= 10; z++) {
    const a = x(Math.max(0, 10 * z - 5)), b = x(Math.min(100, 10 * z + 5));
    const grey = Math.round(255 * Math.pow((10 * z + 16) / 116, 3) ** (1 / 2.2));
    g.fillStyle = `rgb(${grey},${grey},${grey})`;
    g.fillRect(a, plot, b - a, label);
    g.fillStyle = z > 5 ? "#111" : "#ddd";
    g.font = `${9 * ratio}px sans-serif`;
    g.textAlign = "center";
    g.fillText(ROMAN[z], (a + b) / 2, H - 3 * ratio);
    g.fillStyle = z % 2 ? "#1d1d1d" : "#232323";
    g.fillRect(a, 0, b - a, plot);
  }
  const peak = Math.max(...h.lstar, 0.001);
  g.fillStyle = "#cfcfcf";
  for (let i = 0; i < h.lstar.length; i++) {
    const barH = Math.min(1, h.lstar[i] / peak) * (plot - 2);
    g.fillRect(x(i - 0.5), plot - barH, Math.max(1, W / 101 - 0.5), barH);
  }
  const shares = h.zones.map((s, z) => `${ROMAN[z]} ${s.toFixed(1)} %`).join(", ");
  canvas.title = `zones: ${shares}`;
  $("clipped").textContent = `pure white ${h.white.toFixed(2)} % · pure black ${h.black.toFixed(2)} %`;
  $("clipped").dataset.white = h.white;
  $("clipped").dataset.black = h.black;
}

// -- the controls, drawn from the declaration ---------------------------------------

function formatNumber(value, step) {
  const digits = Math.max(0, Math.min(4, Math.ceil(-Math.log10(step || 1))));
  return Number(value).toFixed(digits);
}

function rangeInput(kind, value) {
  const input = document.createElement("input");
  input.type = "range";
  const step = kind.step || 0.01;
  input.min = kind.exclusive_min ? kind.min + step : kind.min;
  input.max = kind.max;
  input.step = step;
  input.value = value;
  return input;
}

function controlRow(s) {
  const root = document.createElement("div");
  root.className = "control";
  root.dataset.key = s.key;
  root.title = `${s.help} (${s.values}${s.unit ? ", " + s.unit : ""})`;
  const label = document.createElement("label");
  label.textContent = s.name.replaceAll("_", " ");
  root.append(label);
  return root;
}

function resetButton(s) {
  const button = document.createElement("button");
  button.type = "button";
  button.className = "reset";
  button.textContent = "↺";
  button.title = `reset ${s.key} to its default`;
  button.addEventListener("click", () => { setValue(state.recipe, s, copy(s.default)); syncControls(); changed("slider-to-preview"); });
  return button;
}

function errorSlot(root) {
  let slot = null;
  return (text) => {
    root.classList.toggle("invalid", !!text);
    if (slot) { slot.remove(); slot = null; }
    if (text) { slot = document.createElement("div"); slot.className = "error"; slot.textContent = text; root.append(slot); }
  };
}

const builders = {
  choice(s) {
    const root = controlRow(s);
    const select = document.createElement("select");
    select.name = s.key;
    for (const choice of s.kind.choices) {
      const option = document.createElement("option");
      option.value = String(choice);
      option.textContent = String(choice);
      select.append(option);
    }
    select.addEventListener("change", () => {
      const choice = s.kind.choices.find((c) => String(c) === select.value);
      setValue(state.recipe, s, choice);
      if (s.section === "output") syncControls();
      changed("slider-to-preview");
    });
    const spacer = document.createElement("span");
    root.append(select, spacer, resetButton(s));
    return { root, show: (v) => { select.value = String(v ?? s.default); }, error: errorSlot(root) };
  },

  number(s) {
    const root = controlRow(s);
    const kind = s.kind;
    const start = typeof s.default === "number" ? s.default : (kind.min + kind.max) / 2;
    const input = rangeInput(kind, start);
    input.name = s.key;
    const out = document.createElement("output");
    let auto = null;
    const update = () => {
      const value = auto && auto.checked ? "auto" : Number(input.value);
      out.textContent = value === "auto" ? "auto" : formatNumber(value, kind.step) + (s.unit ? " " + short(s.unit) : "");
      input.disabled = value === "auto";
      return value;
    };
    input.addEventListener("input", () => { setValue(state.recipe, s, update()); changed("slider-to-preview"); });
    root.append(input, out, resetButton(s));
    if (kind.auto) {
      const extra = document.createElement("label");
      extra.className = "extra";
      auto = document.createElement("input");
      auto.type = "checkbox";
      auto.addEventListener("change", () => { setValue(state.recipe, s, update()); changed("slider-to-preview"); });
      extra.append(auto, "auto (from the photo)");
      root.append(extra);
    }
    return {
      root,
      show: (v) => {
        if (auto) auto.checked = v === "auto";
        if (typeof v === "number") input.value = v;
        update();
      },
      error: errorSlot(root),
    };
  },

  integer(s) { return builders.number(s); },

  radius(s) {
    const root = controlRow(s);
    const kind = s.kind;
    const input = rangeInput(kind, 0.4);
    input.name = s.key;
    const text = document.createElement("input");
    text.type = "text";
    text.className = "value";
    text.title = 'pixels (16) or a share of the long edge ("0.4%")';
    input.addEventListener("input", () => {
      text.value = `${Number(input.value)}%`;
      setValue(state.recipe, s, text.value);
      changed("slider-to-preview");
    });
    text.addEventListener("change", () => {
      const value = /^\s*\d+\s*$/.test(text.value) ? Number(text.value) : text.value.trim();
      setValue(state.recipe, s, value);
      changed("slider-to-preview");
    });
    root.append(input, text, resetButton(s));
    return {
      root,
      show: (v) => {
        text.value = String(v);
        if (typeof v === "string" && v.endsWith("%")) input.value = parseFloat(v);
      },
      error: errorSlot(root),
    };
  },

  weights(s) {
    const root = controlRow(s);
    const box = document.createElement("div");
    box.className = "weights";
    const on = document.createElement("input");
    on.type = "checkbox";
    on.title = `use ${s.name}`;
    const sliders = ["red", "green", "blue"].map((channel, i) => {
      const row = document.createElement("label");
      row.className = "extra";
      const input = rangeInput({ ...s.kind, min: -2, max: 3 }, [0.2126, 0.7152, 0.0722][i]);
      input.name = `${s.key}.${channel}`;
      const out = document.createElement("output");
      row.append(channel[0].toUpperCase(), input, out);
      box.append(row);
      input.addEventListener("input", send);
      return { input, out };
    });
    function read() { return sliders.map((x) => Number(x.input.value)); }
    function paint() {
      sliders.forEach((x) => { x.out.textContent = formatNumber(x.input.value, 0.01); x.input.disabled = !on.checked; });
    }
    function send() { setValue(state.recipe, s, on.checked ? read() : null); paint(); syncControls(); changed("slider-to-preview"); }
    on.addEventListener("change", send);
    root.append(on, box, resetButton(s));
    return {
      root,
      show: (v) => {
        on.checked = Array.isArray(v);
        if (Array.isArray(v)) v.forEach((w, i) => { sliders[i].input.value = w; });
        paint();
      },
      error: errorSlot(root),
    };
  },

  zones(s) {
    const root = controlRow(s);
    root.classList.add("zone-control");
    const grid = document.createElement("div");
    grid.className = "zones";
    const inputs = s.kind.zones.map((zone) => {
      const label = document.createElement("label");
      const input = rangeInput(s.kind, 0);
      input.name = `${s.key}.${zone}`;
      input.title = `Zone ${ROMAN[zone]}: stops`;
      const out = document.createElement("output");
      label.append(input, ROMAN[zone], out);
      grid.append(label);
      input.addEventListener("input", () => {
        const table = {};
        inputs.forEach((x, z) => { if (Number(x.input.value) !== 0) table[String(z)] = Number(x.input.value); });
        setValue(state.recipe, s, table);
        paint();
        changed("slider-to-preview");
      });
      return { input, out };
    });
    function paint() { inputs.forEach((x) => { const v = Number(x.input.value); x.out.textContent = v ? (v > 0 ? "+" : "") + v.toFixed(2) : "·"; }); }
    root.append(grid, resetButton(s));
    return {
      root,
      show: (table) => { inputs.forEach((x, z) => { x.input.value = (table || {})[String(z)] ?? 0; }); paint(); },
      error: errorSlot(root),
    };
  },
};

function short(unit) { return unit === "stops" ? "EV" : unit; }

function buildControls() {
  const form = $("controls");
  form.textContent = "";
  const sections = new Map();
  for (const s of state.settings) {
    const build = builders[s.kind.type];
    if (!build) continue; // a kind this page does not know yet
    if (!sections.has(s.section)) {
      const fieldset = document.createElement("fieldset");
      const legend = document.createElement("legend");
      legend.textContent = s.section.replaceAll("_", " ");
      fieldset.append(legend);
      form.append(fieldset);
      sections.set(s.section, fieldset);
    }
    const control = { setting: s, ...build(s) };
    sections.get(s.section).append(control.root);
    controls.set(s.key, control);
  }
}

function syncControls() {
  for (const c of controls.values()) c.show(getValue(state.recipe, c.setting));
}

function adopt(recipe) {
  state.recipe = recipe;
  syncControls();
}

// -- photos -------------------------------------------------------------------------

function markBad(thumb, reason) {
  thumb.classList.add("bad");
  if (!thumb.querySelector(".why")) {
    const why = document.createElement("div");
    why.className = "why";
    why.textContent = reason;
    thumb.append(why);
  }
}

function buildFilmstrip() {
  const strip = $("filmstrip");
  strip.textContent = "";
  if (!state.photos.length) { showMessage("No photos: start the studio with photos or folders, ostrel studio PHOTOS..."); return; }
  for (const photo of state.photos) {
    const thumb = document.createElement("div");
    thumb.className = "thumb";
    thumb.dataset.id = photo.id;
    thumb.title = `${photo.path}${photo.width ? ` (${photo.width} × ${photo.height})` : ""}`;
    const image = document.createElement("img");
    image.alt = photo.name;
    image.loading = "lazy";
    image.addEventListener("error", () => { image.style.visibility = "hidden"; });
    image.src = `/api/photos/${photo.id}/thumbnail`;
    const name = document.createElement("label");
    name.className = "name";
    const pick = document.createElement("input");
    pick.type = "checkbox";
    pick.checked = !photo.error;
    pick.className = "selected";
    pick.title = "in “print all selected”";
    pick.addEventListener("click", (event) => event.stopPropagation());
    name.append(pick, photo.name);
    thumb.append(image, name);
    if (photo.error) markBad(thumb, photo.error);
    thumb.addEventListener("click", () => choose(photo));
    strip.append(thumb);
  }
}

function choose(photo) {
  state.photo = photo;
  for (const t of document.querySelectorAll(".thumb")) t.classList.toggle("current", t.dataset.id === photo.id);
  if (photo.error) { photoFailed(photo, photo.error); return; }
  showMessage(null);
  note("open-to-preview");
  schedule();
}

// -- recipe files, presets, export ---------------------------------------------------

async function saveRecipe() {
  await idle();
  const link = document.createElement("a");
  link.href = "/api/recipe.toml";
  link.download = "recipe.toml";
  document.body.append(link);
  link.click();
  link.remove();
}

async function loadRecipe(file) {
  const response = await api("PUT", "/api/recipe.toml", await file.text(), "application/toml");
  const body = await response.json();
  if (!response.ok) { showMessage(`${file.name}: ${body.error}`); return; }
  adopt(body.recipe);
  status(`loaded ${file.name}`);
  note("slider-to-preview");
  schedule();
}

function applyPreset(name) {
  const preset = state.presets.find((p) => p.name === name);
  if (!preset) return;
  const recipe = copy(preset.recipe);
  recipe.output = copy(state.recipe.output); // a preset never touches the output settings
  adopt(recipe);
  changed("slider-to-preview");
}

async function exportPrints(ids) {
  const summary = $("export-summary"), log = $("export-log"), bar = $("export-progress");
  log.textContent = "";
  summary.textContent = "";
  summary.className = "";
  await idle();
  const response = await api("POST", "/api/export", { photos: ids, outdir: $("outdir").value });
  const job = await response.json();
  if (!response.ok) { summary.textContent = job.error; summary.className = "failed"; return; }
  bar.hidden = false;
  const events = new EventSource(`/api/jobs/${job.id}/events`);
  events.onmessage = (event) => {
    const progress = JSON.parse(event.data);
    bar.max = Math.max(1, progress.total);
    bar.value = progress.done;
    log.textContent = "";
    for (const o of progress.outcomes) {
      const item = document.createElement("li");
      item.className = o.status;
      item.textContent = `${o.status} ${o.source}${o.target ? " → " + o.target : ""}${o.reason ? ": " + o.reason : ""}`;
      log.append(item);
    }
    summary.textContent = progress.state === "running" ? `${progress.done} of ${progress.total}` : (progress.summary || progress.error);
    if (progress.state !== "running") {
      events.close();
      document.body.dataset.exported = progress.state;
    }
  };
}

function toggle(button, on) { button.setAttribute("aria-pressed", on ? "true" : "false"); }

function setView(view) {
  state.view = state.view === view ? "print" : view;
  toggle($("before"), state.view === "before");
  toggle($("zonemap"), state.view === "zones");
  note("view-to-preview");
  schedule();
}

// -- start ---------------------------------------------------------------------------

async function start() {
  const [settings, photos, recipe] = await Promise.all(
    ["/api/settings", "/api/photos", "/api/recipe"].map((path) => fetch(path).then((r) => r.json())),
  );
  state.settings = settings.settings;
  state.defaults = settings.defaults;
  state.presets = settings.presets;
  state.photos = photos.photos;
  for (const preset of state.presets) {
    const option = document.createElement("option");
    option.value = preset.name;
    option.textContent = preset.name;
    option.title = preset.description;
    $("preset").append(option);
  }
  buildControls();
  adopt(recipe.recipe);
  buildFilmstrip();

  $("preset").addEventListener("change", (event) => applyPreset(event.target.value));
  $("reset-all").addEventListener("click", () => { $("preset").value = ""; adopt(copy(state.defaults)); changed("slider-to-preview"); });
  $("before").addEventListener("click", () => setView("before"));
  $("zonemap").addEventListener("click", () => setView("zones"));
  $("loupe-toggle").addEventListener("click", () => {
    state.loupe = !state.loupe;
    toggle($("loupe-toggle"), state.loupe);
    if (!state.loupe) $("loupe").hidden = true;
  });
  $("preview").addEventListener("mousemove", loupeAt);
  $("preview").addEventListener("mouseleave", () => { $("loupe").hidden = true; });
  $("save-recipe").addEventListener("click", saveRecipe);
  $("load-recipe").addEventListener("change", (event) => { if (event.target.files[0]) loadRecipe(event.target.files[0]); event.target.value = ""; });
  $("export-one").addEventListener("click", () => { if (state.photo) exportPrints([state.photo.id]); });
  $("export-all").addEventListener("click", () => {
    const ids = [...document.querySelectorAll(".thumb")].filter((t) => t.querySelector(".selected").checked).map((t) => t.dataset.id);
    exportPrints(ids);
  });
  let resized = null;
  window.addEventListener("resize", () => { clearTimeout(resized); resized = setTimeout(() => { note("resize"); schedule(); }, 150); });

  const first = state.photos.find((p) => !p.error);
  if (first) choose(first);
  document.body.dataset.ready = "1";
}

window.studio = { state, idle, choose: (id) => choose(state.photos.find((p) => p.id === id)) };
start().catch((error) => showMessage(`the studio could not start: ${error}`));
