// The page of kelvara app: it sends the files and the options to the same
// API a script would use (/api/read, /api/fit, /api/compare), follows the
// job's progress, and shows what comes back.
"use strict";

const state = { files: [], example: null, models: null, options: null, job: null, busy: false, varies: "temperature" };
const $ = (id) => document.getElementById(id);

// The access token: from the address kelvara app printed, then kept for this
// tab (its port's own storage) and sent as a header.  No cookie: cookies go
// to every port of 127.0.0.1.
const TOKEN = (() => {
  const given = new URLSearchParams(window.location.search).get("token");
  if (given) {
    sessionStorage.setItem("kelvara-token", given);
    window.history.replaceState(null, "", "/");
  }
  return sessionStorage.getItem("kelvara-token") || "";
})();

function api(path, options) {
  return fetch(path, Object.assign({}, options, { headers: { "X-Kelvara-Token": TOKEN } }));
}

function element(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (key === "class") node.className = value;
    else if (key === "html") node.innerHTML = value;  // HTML made by the server, escaped there
    else node.setAttribute(key, value);
  }
  for (const child of children) {
    if (child !== null && child !== undefined) node.append(child);
  }
  return node;
}

function newJobId() {
  const bytes = new Uint8Array(12);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

// ---- the form: fields named as the command's options ----------------------

function formFields(command) {
  const fields = [];
  for (const input of document.querySelectorAll("[data-field]")) {
    const name = input.dataset.field;
    if (!takes(command, name)) continue;
    if (input.type === "checkbox") {
      if (input.checked) fields.push([name, "true"]);
    } else if (input.dataset.list !== undefined) {
      for (const value of input.value.split(/[,;]+/)) if (value.trim()) fields.push([name, value.trim()]);
    } else if (input.value.trim() !== "" && !(input.dataset.bool !== undefined && input.value === "false")) {
      fields.push([name, input.value.trim()]);
    }
  }
  if (command !== "read") {
    for (const row of document.querySelectorAll("#parameter-options tbody tr")) {
      const name = row.dataset.name;
      for (const kind of ["start", "fix", "bound"]) {
        const value = row.querySelector(`[data-kind=${kind}]`).value.trim();
        if (value) fields.push([kind, `${name}=${inFieldUnit(value, row.dataset.unit, kind === "bound")}`]);
      }
    }
    if ($("free-delta-s-nuc").checked && (command === "compare" || !$("free-nuc").hidden)) {
      fields.push(["free", "delta_s_nuc"]);
    }
    if (command === "compare") {
      const chosen = Array.from(document.querySelectorAll("#models input:checked"), (box) => box.value);
      if (chosen.length) fields.push(["models", chosen.join(",")]);
    }
  }
  if (state.example && !state.files.length) fields.push(["example", state.example]);
  return fields;
}

// A bare number in a parameter's field is in the unit the field shows
// (kJ/mol for an enthalpy): the unit is written after it, so that the
// command line's bare SI number never applies to what was typed here.
function inFieldUnit(value, unit, bound) {
  if (!unit || unit === "1" || unit.startsWith("signal")) return value;
  const bare = (text) => /^\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*$/.test(text);
  if (!bound) return bare(value) ? `${value}${unit}` : value;
  const [low, high] = value.split(":");
  if (high === undefined) return value;
  if (bare(high)) return `${low}:${high}${unit}`;
  if (high.trim() === "" && bare(low)) return `${low}${unit}:`;
  return value;
}

// The options of each command, as the server declares them (/api/options):
// the form sends a command only the fields it takes.
function takes(command, name) {
  return Boolean(state.options && state.options[command] && state.options[command].some((o) => o.name === name));
}

async function loadOptions() {
  const response = await api("/api/options");
  if (!response.ok) throw new Error((await response.json()).error);
  state.options = await response.json();
  const declared = new Map(Object.values(state.options).flat().map((o) => [o.name, o]));
  for (const control of document.querySelectorAll("[data-field]")) {
    const option = declared.get(control.dataset.field);
    const label = control.closest("label");
    if (option && label && !label.title && !control.title) label.title = `${option.flag}: ${option.help}`;
  }
}

function formData(command, job) {
  const data = new FormData();
  for (const file of state.files) data.append("files", file, file.name);
  for (const [name, value] of formFields(command)) data.append(name, value);
  data.append("job", job);
  return data;
}

// ---- models ------------------------------------------------------------------

function currentModel() {
  if (!state.models) return null;
  const name = $("model").value || state.models.default[state.varies] || "cooperative";
  return state.models.models.find((m) => m.name === name) || null;
}

async function loadModels() {
  const response = await api("/api/models");
  if (!response.ok) throw new Error((await response.json()).error);
  state.models = await response.json();
  const select = $("model");
  select.append(element("option", { value: "" }, "the default for the data"));
  for (const model of state.models.models) select.append(element("option", { value: model.name }, model.name));
  const boxes = $("models");
  for (const model of state.models.models) {
    const box = element("input", { type: "checkbox", value: model.name });
    boxes.append(element("label", {}, box, element("b", {}, model.name),
      element("small", { class: "hint" }, ` ${model.description}; fits ${model.fits.join(", ")}`)));
  }
  boxes.prepend(element("p", { class: "hint" }, "None ticked: the usual set for the data (isodesmic, cooperative, coop_iso for curves against temperature)."));
  select.addEventListener("change", showModel);
  showModel();
}

function showModel() {
  const model = currentModel();
  const chosen = $("model").value ? "" : "(the default for these data) ";
  $("model-description").textContent = model ? `${chosen}${model.name}: ${model.description}; fits ${model.fits.join(", ")}.` : "";
  const body = document.querySelector("#parameter-options tbody");
  const kept = {};
  for (const row of body.querySelectorAll("tr")) {
    kept[row.dataset.name] = Array.from(row.querySelectorAll("input"), (i) => i.value);
  }
  body.textContent = "";
  // A concentration series at one temperature fits the constants (K, σ);
  // curves against temperature fit the enthalpies and entropies.
  const series = state.varies === "concentration";
  const names = !model ? [] : series && model.constants.length ? model.constants
    : model.parameters.filter((p) => !p.per_curve).concat(model.nucleation_entropy ? [model.nucleation_entropy] : []);
  for (const parameter of names) {
    const unit = parameter.unit === "J/mol" ? "kJ/mol" : parameter.unit;
    const hint = unit === "1" ? "" : unit.replace("J/(mol K)", "J/mol/K");  // what fits in the field
    const row = element("tr", { "data-name": parameter.name, "data-unit": unit },
      element("td", { title: `${parameter.name}: ${parameter.meaning}` }, element("span", { html: parameter.symbol }),
        element("small", {}, unit === "1" ? "" : unit)),
      element("td", {}, element("input", { "data-kind": "start", placeholder: hint, "aria-label": `start ${parameter.name}` })),
      element("td", {}, element("input", { "data-kind": "fix", placeholder: hint, "aria-label": `fix ${parameter.name}` })),
      element("td", {}, element("input", { "data-kind": "bound", placeholder: "lo:hi", "aria-label": `bound ${parameter.name}` })));
    const old = kept[parameter.name];
    if (old) row.querySelectorAll("input").forEach((input, i) => { input.value = old[i]; });
    body.append(row);
  }
  $("free-nuc").hidden = !(model && model.nucleation_entropy);
  $("nuc-size-option").hidden = !(model && model.nuc_size);
  $("species-option").hidden = !(model && model.nucleated);
  if ($("species-option").hidden) $("species-signals").checked = false;
  if ($("nuc-size-option").hidden) $("nuc-size-option").querySelector("input").value = "";
}

// ---- files -----------------------------------------------------------------------

function setFiles(files, example) {
  state.files = Array.from(files || []);
  state.example = example || null;
  $("file-list").textContent = state.files.length ? state.files.map((f) => f.name).join(", ")
    : example ? `the example: ${example}` : "";
  if (state.files.length || state.example) read();
}

function setUpFiles() {
  const input = $("files");
  input.addEventListener("change", () => setFiles(input.files));
  const drop = $("drop");
  for (const name of ["dragenter", "dragover"]) {
    drop.addEventListener(name, (event) => { event.preventDefault(); drop.classList.add("over"); });
  }
  for (const name of ["dragleave", "drop"]) {
    drop.addEventListener(name, () => drop.classList.remove("over"));
  }
  drop.addEventListener("drop", (event) => {
    event.preventDefault();
    if (event.dataTransfer && event.dataTransfer.files.length) setFiles(event.dataTransfer.files);
  });
  $("example").addEventListener("click", () => { input.value = ""; setFiles([], $("example-name").value); });
  for (const control of document.querySelectorAll("[data-field]")) {
    control.addEventListener("change", () => {
      if (takes("read", control.dataset.field) && (state.files.length || state.example)) read();
    });
  }
}

// ---- talking to the server -----------------------------------------------------------

// The answer of /api/read, /api/fit or /api/compare for the form, as job `job`.
async function post(command, job) {
  try {
    const response = await api(`/api/${command}`, { method: "POST", body: formData(command, job) });
    try {
      return { status: response.status, body: await response.json() };
    } catch (error) {
      return { status: response.status, body: { error: `the server answered ${response.status} without JSON` } };
    }
  } catch (error) {
    return { status: 0, body: { error: `no answer from the server: ${error}` } };
  }
}

async function jobState(job) {
  const response = await api(`/api/jobs/${job}`);
  return response.ok ? response.json() : null;
}

function showError(message) {
  // The same line as the command line prints, and where its options are on this page.
  const hints = [];
  for (const option of new Set(message.match(/--[a-z][a-z-]*/g) || [])) {
    const control = document.querySelector(`[data-field=${option.slice(2).replace(/-/g, "_")}]`);
    const label = control && control.closest("label");
    const text = label && Array.from(label.childNodes).find((node) => node.nodeType === 3 && node.textContent.trim());
    if (text) hints.push(`${option} is “${text.textContent.trim()}”`);
  }
  const shown = [element("p", { id: "error", role: "alert" }, `kelvara: error: ${message}`)];
  if (hints.length) shown.push(element("p", { id: "error-hint", class: "hint" }, `On this page, ${hints.join("; ")}.`));
  $("messages").replaceChildren(...shown);
}

function clearMessages() { $("messages").replaceChildren(); }

let readNumber = 0;

async function read() {
  const mine = ++readNumber;
  clearMessages();
  $("reading-view").replaceChildren(element("p", { class: "hint" }, "reading…"));
  const job = newJobId();
  const { status, body } = await post("read", job);
  if (mine !== readNumber) return;  // a newer read replaced this one
  if (status !== 200) {
    $("reading-view").replaceChildren();
    showError(body.error);
    return;
  }
  const found = await jobState(job);
  showReading(body, found && found.view);
}

function concentration(molar) {
  if (molar === null || molar === undefined) return "";
  for (const [factor, unit] of [[1, "M"], [1e-3, "mM"], [1e-6, "µM"], [1e-9, "nM"]]) {
    if (molar >= factor) return `${Number((molar / factor).toPrecision(4))} ${unit}`;
  }
  return `${molar.toPrecision(4)} M`;
}

// An end of what a curve varies, as the file gave it.
function along(value, varies, temperatureUnit) {
  if (varies === "temperature") {
    return temperatureUnit === "°C" ? `${Number((value - 273.15).toFixed(2))} °C` : `${Number(value.toFixed(2))} K`;
  }
  return varies === "concentration" ? concentration(value) : Number(value.toPrecision(4)).toString();
}

function showReading(reading, view) {
  // The default model follows the data: a solvent series is a denaturation.
  const kinds = new Set(reading.files.flatMap((file) => file.curves.map((curve) => curve.varies)));
  state.varies = kinds.size === 1 ? [...kinds][0] : "temperature";
  if (state.models) showModel();
  if (document.querySelector(".welcome")) $("result").replaceChildren();
  const out = [element("h2", {}, "Read as")];
  for (const file of reading.files) {
    out.push(element("p", {}, element("b", {}, file.path), ` — ${file.layout}; ${file.details}`));
    const table = element("table", { class: "values" },
      element("tr", {}, ...["column", "header", "role", "unit"].map((h) => element("th", {}, h))));
    for (const column of file.columns) {
      table.append(element("tr", {}, ...[column.position, column.header, column.role + (column.of ? ` (${column.of})` : ""),
        column.unit].map((v) => element("td", {}, String(v)))));
    }
    out.push(table);
    const curves = element("table", { class: "values" },
      element("tr", {}, ...["curve", "c_tot", "points", "varies", "from", "to"].map((h) => element("th", {}, h))));
    for (const curve of file.curves) {
      curves.append(element("tr", {}, ...[curve.label, concentration(curve.c_tot), curve.points, curve.varies,
        ...[curve.low, curve.high].map((x) => along(x, curve.varies, file.temperature_unit))].map((v) => element("td", {}, String(v)))));
    }
    out.push(curves);
  }
  for (const note of reading.notes) out.push(element("p", { class: "hint" }, `note: ${note}`));
  const plots = element("div");
  out.push(plots);
  $("reading-view").replaceChildren(...out);
  if (view && view.plot) drawKinds(plots, view.plot, false);
}

// ---- running a fit or a comparison -------------------------------------------------------

function setBusy(busy) {
  state.busy = busy;
  $("fit").disabled = busy;
  $("compare").disabled = busy;
  $("cancel").hidden = !busy;
}

async function run(command) {
  if (state.busy) return;
  if (!state.files.length && !state.example) {
    showError("give one or more data files, or use the example");
    return;
  }
  clearMessages();
  $("result").replaceChildren();
  setBusy(true);
  const job = newJobId();
  state.job = job;
  $("progress").textContent = "sending the files…";
  const poll = setInterval(async () => {
    const found = await jobState(job);
    if (found && state.busy && state.job === job) $("progress").textContent = `${found.progress} (${found.seconds} s)`;
  }, 400);
  const answer = await post(command, job);
  clearInterval(poll);
  setBusy(false);
  if (answer.status !== 200) {
    $("progress").textContent = answer.status === 409 ? "cancelled" : "";
    if (answer.status !== 409) showError(answer.body.error);
    return;
  }
  const found = await jobState(job);
  $("progress").textContent = found ? `done in ${found.seconds} s` : "";
  window.scrollTo(0, 0);
  if (command === "fit") showFit(answer.body, found.view, job);
  else showComparison(answer.body, found.view, job);
  followDownloads(job);
}

async function cancel() {
  if (state.job) await api(`/api/jobs/${state.job}/cancel`, { method: "POST" });
}

function verdictBlock(view) {
  const out = [element("div", { id: "verdict", class: view.ok ? "ok" : "not-ok" }, view.ok ? `ok — ${view.verdict}` : view.verdict)];
  if (view.problems.length) out.push(element("ul", { class: "problems" }, ...view.problems.map((p) => element("li", {}, p))));
  if (view.notes.length) out.push(element("ul", { class: "notes" }, ...view.notes.map((n) => element("li", {}, `note: ${n}`))));
  return out;
}

function showFit(body, view, job) {
  const plots = element("div");
  const parts = [...verdictBlock(Object.assign({}, view, { verdict: view.ok ? `the ${body.model} model describes the data` : view.verdict }))];
  parts.push(element("div", { class: "columns tables" },
    element("div", {}, element("h3", {}, `Parameters (${body.model})`), element("div", { id: "parameters", html: view.parameters })),
    element("div", {}, element("h3", {}, "Derived values"), element("div", { id: "derived", html: view.derived }))));
  parts.push(element("h3", {}, "Per curve"), element("pre", { id: "curve-table" }, view.curves));
  parts.push(plots);
  parts.push(element("h3", {}, "Downloads"), element("div", { id: "downloads" }, "being written…"));
  parts.push(element("details", {}, element("summary", {}, "the summary as the command line prints it"), element("pre", {}, view.summary)));
  $("result").replaceChildren(...parts);
  drawKinds(plots, view.plot, true);
}

// How strongly the data favour the best model over this one, in the usual
// words for a difference in AIC (Burnham and Anderson).
function support(r, i) {
  if (!r.ok) return "not ok";
  if (i === 0) return "best";
  const d = r.delta_aic;
  return d <= 2 ? "as good" : d <= 7 ? "less" : d <= 10 ? "little" : "none";
}

function showComparison(body, view, job) {
  const parts = verdictBlock(view);
  const table = element("table", { id: "ranking" },
    element("tr", {}, ...["rank", "model", "verdict", "ΔAIC", "support", "ΔBIC", "Akaike weight", "AIC", "BIC"].map((h) => element("th", {}, h))));
  const reasons = [];
  view.ranking.forEach((r, i) => {
    table.append(element("tr", { class: r.ok ? "" : "not-ok" }, ...[String(i + 1), r.model, r.verdict, r.delta_aic.toFixed(1),
      support(r, i), r.delta_bic.toFixed(1), r.weight === null ? "" : r.weight.toFixed(2), r.aic.toFixed(1), r.bic.toFixed(1)].map((v) => element("td", {}, v))));
    for (const problem of r.problems) reasons.push(element("li", {}, `${r.model}: ${problem}`));
  });
  parts.push(element("h3", {}, "Ranking (by AIC; fits that are not ok come last)"), table);
  if (reasons.length) parts.push(element("ul", { class: "problems" }, ...reasons));
  const select = element("select", { id: "compare-model", "aria-label": "model to plot" },
    ...Object.keys(view.models).map((name) => element("option", { value: name }, name)));
  const plots = element("div");
  const values = element("div", { id: "compare-parameters" });
  parts.push(element("div", { class: "row" }, element("span", {}, "Show the fit of"), select), values, plots);
  parts.push(element("h3", {}, "Downloads"), element("div", { id: "downloads" }, "being written…"));
  parts.push(element("details", {}, element("summary", {}, "the summary as the command line prints it"), element("pre", {}, view.summary)));
  $("result").replaceChildren(...parts);
  const draw = () => {
    values.innerHTML = view.parameters[select.value] || "";  // HTML made by the server, escaped there
    plots.replaceChildren();
    drawKinds(plots, view.models[select.value], true);
  };
  select.addEventListener("change", draw);
  draw();
}

// What each download is, by its kind: the kind names its link (#download-json, ...).
const DOWNLOADS = { "json": "JSON", "summary": "summary (text)", "results-csv": "results CSV", "results-xlsx": "results xlsx",
  "curves-csv": "every point (CSV)", "png": "figure PNG", "svg": "figure SVG", "pdf": "figure PDF", "report": "report (HTML)",
  "zip": "all of them (zip)" };

function downloadKind(name) {
  const suffix = name.split(".").pop();
  if (["json", "png", "svg", "pdf", "zip"].includes(suffix)) return suffix;
  if (name === "report.html") return "report";
  if (name === "summary.txt") return "summary";
  return name.replace(/[^a-z0-9]+/gi, "-");
}

async function followDownloads(job) {
  for (let i = 0; i < 600; i++) {
    const found = await jobState(job);
    const box = $("downloads");
    if (!found || !box || state.job !== job || box.dataset.gone) return;
    // New files are added; links already shown stay as they are (a click
    // on one is never lost to the list being drawn again).
    const shown = new Set([...box.querySelectorAll("a")].map((a) => a.title));
    const added = found.downloads.filter((name) => !shown.has(name)).map((name) => element("a", {
      href: found.links[name], download: name, id: `download-${downloadKind(name)}`, title: name },
      DOWNLOADS[downloadKind(name)] || name));
    if (added.length && !shown.size) box.replaceChildren(...added);
    else if (added.length) box.append(...added);
    if (found.state === "done" || found.state === "cancelled") return;
    await new Promise((resolve) => setTimeout(resolve, 400));
  }
}

// A download still there is saved as its link says; one the app no longer
// keeps (it keeps the files of the analyses used last) is said to be gone.
async function checkDownload(event) {
  const link = event.target.closest && event.target.closest("#downloads a");
  if (!link || link.dataset.checked) return;
  event.preventDefault();
  let kept = false;
  try {
    kept = (await fetch(link.href, { method: "HEAD" })).ok;
  } catch (error) { /* said below */ }
  if (kept) {
    link.dataset.checked = "yes";
    link.click();
    delete link.dataset.checked;
  } else {
    const box = link.closest("#downloads");
    box.dataset.gone = "yes";  // and no longer followed: the links are not drawn again
    box.replaceChildren(element("p", { id: "downloads-gone", role: "alert" },
      "These downloads are gone: the app keeps the files of the analyses used last, and this one was not. Run it again to make them anew."));
  }
}

// ---- plots ------------------------------------------------------------------------------------

const COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22"];

function layout(x, y, log) {
  return { margin: { l: 60, r: 10, t: 10, b: 45 }, xaxis: { title: { text: x }, type: log ? "log" : "linear" },
    yaxis: { title: { text: y } }, legend: { orientation: "h", y: -0.25 }, hovermode: "closest" };
}

// WebGL only where SVG would be slow: many points.
function markers(plot) {
  let points = 0;
  for (const kind of plot.kinds) for (const curve of kind.curves) points += curve.x.length;
  return points > 20000 ? "scattergl" : "scatter";
}

function drawKinds(container, plot, fitted) {
  if (typeof Plotly === "undefined") {
    container.append(element("p", { class: "hint" }, "(the plots need plotly: python -m pip install 'kelvara[app]')"));
    return;
  }
  const config = { responsive: true, displaylogo: false };
  const type = markers(plot);
  for (const kind of plot.kinds) {
    const data = [], residuals = [], aggregation = [];
    kind.curves.forEach((curve, i) => {
      const colour = curve.colour || COLOURS[i % COLOURS.length];  // the figure's colour
      const every = curve.every > 1 ? ` (every ${curve.every}th point shown)` : "";
      data.push({ x: curve.x, y: curve.signal, mode: "markers", type, name: curve.label + every,
        marker: { color: colour, size: 4, opacity: 0.55 }, legendgroup: curve.label, showlegend: !fitted });
      if (!fitted) return;
      data.push({ x: curve.fit_x, y: curve.fit, mode: "lines", name: curve.label, line: { color: colour, width: 2 }, legendgroup: curve.label });
      if (curve.mark) {
        data.push({ x: [curve.mark.x], y: [curve.mark.y], mode: "markers", name: `${curve.mark.name} ${curve.label}`,
          marker: { symbol: "triangle-down", size: 11, color: colour, line: { color: "black", width: 1 } }, showlegend: false,
          hovertemplate: `${curve.mark.name} %{x:.4g}<extra>${curve.label}</extra>` });
      }
      residuals.push({ x: curve.x, y: curve.residual, mode: "markers", type, name: curve.label,
        marker: { color: colour, size: 3, opacity: 0.6 }, showlegend: false });
      if (curve.misfit) residuals.push({ x: curve.x, y: curve.misfit, mode: "lines", name: `${curve.label} misfit`, line: { color: colour, width: 1.5 }, showlegend: false });
      // With species signals no one amplitude normalises the data: no dots.
      if (curve.aggregation) aggregation.push({ x: curve.x, y: curve.aggregation, mode: "markers", type, name: curve.label,
        marker: { color: colour, size: 3, opacity: 0.45 }, showlegend: false });
      aggregation.push({ x: curve.fit_x, y: curve.fraction, mode: "lines", name: `${curve.label} model`, line: { color: colour, width: 1.6 }, showlegend: false });
    });
    const main = element("div", { class: "plot", id: fitted ? `plot-fit-${kind.kind}` : `plot-raw-${kind.kind}` });
    container.append(main);
    Plotly.newPlot(main, data, layout(kind.x_label, kind.signal_label, kind.log_x), config);
    if (!fitted) continue;
    const residualPlot = element("div", { class: "plot small", id: `plot-residuals-${kind.kind}` });
    const aggregationPlot = element("div", { class: "plot small", id: `plot-aggregation-${kind.kind}` });
    container.append(element("div", { class: "columns" }, residualPlot, aggregationPlot));
    Plotly.newPlot(residualPlot, residuals, layout(kind.x_label, kind.residual_label, kind.log_x), config);
    Plotly.newPlot(aggregationPlot, aggregation, layout(kind.x_label, "degree of aggregation", kind.log_x), config);
  }
  if (fitted && plot.profiles && plot.profiles.length) {
    const box = element("div", { class: "profiles", id: "profiles" });
    container.append(element("h3", {}, "Likelihood profiles (Δchi2 in noise variances; 95 % where the red line is crossed)"), box);
    for (const profile of plot.profiles) {
      const div = element("div", { class: "plot small" });
      box.append(div);
      const ends = [profile.low, profile.high].filter((v) => v !== null).map((v) => ({ type: "line", x0: v, x1: v, yref: "paper", y0: 0, y1: 1, line: { color: "firebrick", dash: "dot", width: 1 } }));
      Plotly.newPlot(div, [{ x: profile.x, y: profile.rise, mode: "lines+markers", name: profile.name, marker: { size: 5 } }],
        Object.assign(layout(`${profile.name} (${profile.unit})`, "Δchi2 / noise var.", false), {
          shapes: [{ type: "line", xref: "paper", x0: 0, x1: 1, y0: profile.threshold, y1: profile.threshold, line: { color: "firebrick", width: 1 } }].concat(ends) }),
        config);
    }
  }
}

// ---- start --------------------------------------------------------------------------------------

document.addEventListener("DOMContentLoaded", () => {
  document.addEventListener("click", checkDownload);
  setUpFiles();
  $("fit").addEventListener("click", () => run("fit"));
  $("compare").addEventListener("click", () => run("compare"));
  $("cancel").addEventListener("click", cancel);
  if (!TOKEN) showError("this page needs the address that kelvara app printed (it carries the access token): open it again");
  else {
    loadOptions().catch((error) => showError(`cannot load the options: ${error}`));
    loadModels().catch((error) => showError(`cannot load the models: ${error}`));
  }
});
