// vkweb's only script. The pages work without it; it refreshes the
// overview now and then, and lets one box select every session shown.
"use strict";
document.addEventListener("DOMContentLoaded", function () {
  var seconds = parseInt(document.body.getAttribute("data-refresh") || "0", 10);
  if (seconds > 0) {
    window.setTimeout(function () { window.location.reload(); }, seconds * 1000);
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
