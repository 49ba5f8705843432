// A little help for the pages; every form works without it.
(function () {
  "use strict";

  // Uploads show their progress; the server answers such a request with
  // the address to go to next.
  var upload = document.getElementById("upload");
  if (upload && window.FormData && window.XMLHttpRequest) {
    upload.addEventListener("submit", function (event) {
      event.preventDefault();
      var bar = upload.querySelector("progress");
      var text = upload.querySelector(".progress-text");
      var button = upload.querySelector("button");
      var request = new XMLHttpRequest();
      request.open("POST", upload.action);
      request.setRequestHeader("X-Requested-With", "XMLHttpRequest");
      request.upload.addEventListener("progress", function (e) {
        if (e.lengthComputable) {
          var percent = Math.floor(e.loaded * 100 / e.total);
          bar.value = percent;
          text.textContent = "已上传 " + percent + "%";
        }
      });
      request.addEventListener("load", function () {
        var next = request.responseText;
        if (request.status === 200 && next.indexOf("/files") === 0) {
          window.location.assign(next);
        } else {
          text.textContent = "上传失败，请刷新页面后重试";
          button.disabled = false;
        }
      });
      request.addEventListener("error", function () {
        text.textContent = "网络错误，请稍候再试";
        button.disabled = false;
      });
      bar.hidden = false;
      button.disabled = true;
      text.textContent = "已上传 0%";
      request.send(new FormData(upload));
    });
  }

  // Forms that delete ask once more.
  var forms = document.querySelectorAll("form.confirm");
  for (var i = 0; i < forms.length; i++) {
    forms[i].addEventListener("submit", function (event) {
      if (!window.confirm(this.getAttribute("data-confirm"))) {
        event.preventDefault();
      }
    });
  }
})();
