// The console works without this script; it only puts the cursor where an
// operator starts typing.
(function () {
  "use strict";
  var first = document.querySelector("#login input[name=name], #search input[name=user]");
  if (first && !first.value) first.focus();
})();
