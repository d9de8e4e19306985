// The administrator's pages are built whole on the server; this script only keeps the
// overview's live part current. Every 2 s it fetches the part again and puts it in
// place, pauses while the tab is hidden, and shows a note while the server cannot be
// reached. It is served as a file: the pages' Content-Security-Policy forbids inline
// script.
"use strict";

(function () {
  const kRefreshMillis = 2000;
  const live = document.getElementById("live");
  if (!live || !live.dataset.src) return;
  const note = document.getElementById("connection-note");
  let timer = null;
  let fetching = false;

  // Shows or hides the "connection lost, retrying" note.
  function showConnectionLost(lost) {
    if (note) note.hidden = !lost;
  }

  // Fetches the live part once and puts it in place; the next one is planned after it
  // ends, so a slow server never has two requests of one page at once.
  async function refresh() {
    timer = null;
    if (document.hidden || fetching) return;
    fetching = true;
    try {
      const response = await fetch(live.dataset.src, {cache: "no-store", credentials: "same-origin"});
      if (!response.ok) throw new Error("HTTP " + response.status);
      const html = await response.text();
      // The server escaped every text in it; the part carries no script.
      live.innerHTML = html;
      showConnectionLost(false);
    } catch (error) {
      showConnectionLost(true);
    } finally {
      fetching = false;
      plan();
    }
  }

  // Plans the next refresh unless one is planned or the tab is hidden.
  function plan() {
    if (timer === null && !document.hidden) timer = setTimeout(refresh, kRefreshMillis);
  }

  document.addEventListener("visibilitychange", function () {
    if (document.hidden) {
      if (timer !== null) clearTimeout(timer);
      timer = null;
    } else {
      refresh();
    }
  });
  plan();
})();
