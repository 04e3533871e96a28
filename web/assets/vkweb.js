// vkweb's only script. The pages work without it; it refreshes the
// overview now and then, and lets one box select every session shown.
"use strict";
document.addEventListener("DOMContentLoaded", function () {
  var url = new URL(window.location.href);
  // A reload of the script's own says so (auto=1): it does not keep the
  // login alive. The mark leaves the address bar at once, so that a reload
  // by hand counts as use again.
  if (url.searchParams.has("auto")) {
    url.searchParams.delete("auto");
    window.history.replaceState(null, "", url.pathname + url.search + url.hash);
  }
  var seconds = parseInt(document.body.getAttribute("data-refresh") || "0", 10);
  if (seconds > 0) {
    window.setTimeout(function () {
      var again = new URL(window.location.href);
      again.searchParams.set("auto", "1");
      window.location.replace(again.pathname + again.search);
    }, seconds * 1000);
  }
  var head = document.querySelector("table#sessions thead th.pick");
  if (head) {
    var all = document.createElement("input");
    all.type = "checkbox";
    all.id = "pick-all";
    all.setAttribute("aria-label", "select every session shown");
    all.addEventListener("change", function () {
      document.querySelectorAll("table#sessions input[name=s]").forEach(function (box) {
        box.checked = all.checked;
      });
    });
    head.appendChild(all);
  }
});
