document.addEventListener("DOMContentLoaded", function () {
  var year = new Date().getFullYear();
  document.body.insertAdjacentHTML("beforeend", "<footer>&copy; " + year + " Quillmere</footer>");
});
