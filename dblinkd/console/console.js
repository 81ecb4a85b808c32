// Conveniences only: every page works without this file.
"use strict";
document.addEventListener("DOMContentLoaded", function () {
  // A changed filter choice applies at once.
  var filter = document.getElementById("filter");
  if (filter) {
    filter.querySelectorAll("select").forEach(function (s) {
      s.addEventListener("change", function () { filter.submit(); });
    });
  }
  var token = document.getElementById("token");
  if (token) token.focus();
});
