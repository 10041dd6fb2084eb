#include "serve/page.h"

#include <cstdio>
#include <random>

namespace docmill::serve {

namespace {

// Everything is inline and nothing is fetched from elsewhere; the script keeps what it got
// last in `window.lastResult` (name, type, size, first bytes), which the page's test reads.
// NONCE_ stands for the answer's nonce.
const std::string& pageTemplate() {
  static const std::string page = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>docmill</title>
<style nonce="NONCE_">
  body { font: 15px/1.4 system-ui, sans-serif; max-width: 40em; margin: 2em auto; padding: 0 1em; color: #222; }
  #drop { border: 2px dashed #888; border-radius: 8px; padding: 2em; text-align: center; }
  #drop.over { background: #eef5ff; border-color: #36c; }
  fieldset { border: 1px solid #ccc; border-radius: 6px; margin: 1em 0; }
  label { display: block; margin: .3em 0; }
  #files { margin: .5em 0; padding-left: 1.2em; }
  #status[data-state=failed] { color: #b00; }
  button { font-size: 1em; padding: .4em 1.2em; }
</style>
</head>
<body>
<h1>docmill</h1>
<form id="form">
  <div id="drop">
    <p>Drop documents here, or pick them:</p>
    <input type="file" id="input" name="files" multiple>
  </div>
  <ol id="files"></ol>
  <fieldset>
    <legend>Conversion</legend>
    <label><input type="radio" name="route" value="/forms/libreoffice/convert" checked>
      Documents to PDF (several: a zip, or one PDF when merged)</label>
    <label><input type="radio" name="route" value="/forms/pdfengines/merge"> Join PDF files</label>
    <label><input type="checkbox" id="merge"> Merge into one PDF, in the order above</label>
    <label><input type="checkbox" id="landscape"> Landscape</label>
    <label>Pages <input type="text" id="pages" placeholder="e.g. 1-3,5" size="12"></label>
    <label>Token <input type="password" id="token" size="24" autocomplete="off"></label>
  </fieldset>
  <button type="submit" id="convert">Convert</button>
  <p id="status" data-state="idle" role="status"></p>
  <p><a id="download" hidden></a></p>
</form>
<script nonce="NONCE_">
"use strict";
const picked = [];
const input = document.getElementById("input");
const drop = document.getElementById("drop");
const status = document.getElementById("status");
const download = document.getElementById("download");

function show() {
  const list = document.getElementById("files");
  list.textContent = "";
  for (const f of picked) {
    const item = document.createElement("li");
    item.textContent = f.name + " (" + f.size + " bytes)";
    list.appendChild(item);
  }
}
function add(files) {
  for (const f of files) picked.push(f);
  show();
}
function say(state, text) {
  status.dataset.state = state;
  status.textContent = text;
}
input.addEventListener("change", () => { add(input.files); input.value = ""; });
drop.addEventListener("dragover", (e) => { e.preventDefault(); drop.classList.add("over"); });
drop.addEventListener("dragleave", () => drop.classList.remove("over"));
drop.addEventListener("drop", (e) => {
  e.preventDefault();
  drop.classList.remove("over");
  add(e.dataTransfer.files);
});

function fileName(response, fallback) {
  const header = response.headers.get("Content-Disposition") || "";
  const utf8 = /filename\*=UTF-8''([^;]+)/i.exec(header);
  if (utf8) return decodeURIComponent(utf8[1]);
  const plain = /filename="([^"]*)"/i.exec(header);
  return plain ? plain[1] : fallback;
}

document.getElementById("form").addEventListener("submit", async (e) => {
  e.preventDefault();
  if (picked.length === 0) { say("failed", "Pick at least one file."); return; }
  const route = document.querySelector("input[name=route]:checked").value;
  const body = new FormData();
  for (const f of picked) body.append("files", f, f.name);
  if (route === "/forms/libreoffice/convert") {
    if (document.getElementById("merge").checked) body.append("merge", "true");
    if (document.getElementById("landscape").checked) body.append("landscape", "true");
    const pages = document.getElementById("pages").value.trim();
    if (pages) body.append("nativePageRanges", pages);
  }
  const headers = {};
  const token = document.getElementById("token").value;
  if (token) headers["Authorization"] = "Bearer " + token;
  say("working", "Converting " + picked.length + " file(s)...");
  download.hidden = true;
  try {
    const response = await fetch(route, { method: "POST", body, headers });
    if (!response.ok) {
      let text = response.status + " " + response.statusText;
      try {
        const error = await response.json();
        text = error.description + " (" + error.number + ")";
      } catch (ignored) {}
      say("failed", text);
      return;
    }
    const blob = await response.blob();
    const name = fileName(response, "result");
    const head = await blob.slice(0, 5).text();
    window.lastResult = { name, type: blob.type, size: blob.size, head };
    if (download.href) URL.revokeObjectURL(download.href);
    download.href = URL.createObjectURL(blob);
    download.download = name;
    download.textContent = "Download " + name + " (" + blob.size + " bytes)";
    download.hidden = false;
    say("done", "Done.");
  } catch (err) {
    say("failed", "The service did not answer: " + err);
  }
});
</script>
</body>
</html>
)html";
  return page;
}

// 128 bits from the system's random source, in hexadecimal.
std::string freshNonce() {
  std::random_device random;
  std::string nonce;
  for (int i = 0; i < 4; ++i) {
    char word[9];
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(random()));
    nonce += word;
  }
  return nonce;
}

}  // namespace

Page makePage() {
  const std::string nonce = freshNonce();
  Page page;
  page.html = pageTemplate();
  for (size_t at = page.html.find("NONCE_"); at != std::string::npos;
       at = page.html.find("NONCE_", at)) {
    page.html.replace(at, 6, nonce);
  }
  page.policy = "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
                "'; connect-src 'self'; img-src 'self'; form-action 'self'; base-uri 'none'; "
                "frame-ancestors 'none'";
  return page;
}

}  // namespace docmill::serve
