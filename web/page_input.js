// The player's hands on the page: a finger held on the game's picture walks the character toward
// it (the program picks the nearest of eight ways each frame, brackenreach_touch), and keys typed
// while something else has the focus go back to the game. Gamepads need nothing here: the
// program's SDL reads the browser's Gamepad API itself.
'use strict';

(function () {
  var canvas = document.getElementById('canvas');

  // Gestures on the picture are the game's: no scrolling, no zooming, no double-tap zoom.
  canvas.style.touchAction = 'none';

  // The finger that walks is the earliest still down: a second finger adds nothing, and takes
  // over when the first lifts.
  var order = [];  // identifiers of the fingers down, the earliest first
  var latest = {}; // identifier: that finger's Touch as last seen

  // A point of the page in the canvas's own pixels (the game's window), from the rectangle the
  // picture has now, however the page has scaled or moved it.
  function gamePoint(touch) {
    var box = canvas.getBoundingClientRect();
    return [Math.floor((touch.clientX - box.left) * canvas.width / box.width),
            Math.floor((touch.clientY - box.top) * canvas.height / box.height)];
  }

  function follow(event) {
    event.preventDefault();
    var lifted = event.type === 'touchend' || event.type === 'touchcancel';
    Array.prototype.forEach.call(event.changedTouches, function (touch) {
      var place = order.indexOf(touch.identifier);
      if (lifted) {
        if (place >= 0) order.splice(place, 1);
        delete latest[touch.identifier];
        return;
      }
      if (place < 0) order.push(touch.identifier);
      latest[touch.identifier] = touch;
    });
    var tell = window.Module && Module._brackenreach_touch;
    if (!tell) return; // the program has not loaded yet
    if (order.length === 0) {
      tell(0, 0, 0);
    } else {
      var at = gamePoint(latest[order[0]]);
      tell(1, at[0], at[1]);
    }
  }

  ['touchstart', 'touchmove', 'touchend', 'touchcancel'].forEach(function (type) {
    canvas.addEventListener(type, follow, { passive: false });
  });

  // Keys reach the game only while the canvas has the focus. Any key may walk (config.ini binds
  // them), so while the game runs a key typed elsewhere brings the focus back; keys that would
  // scroll the page do not. Tab and shortcuts stay the browser's.
  window.addEventListener('keydown', function (event) {
    var running = document.body.dataset.state === 'running';
    if (!running || event.target === canvas || event.key === 'Tab' ||
        event.ctrlKey || event.altKey || event.metaKey) {
      return;
    }
    if (/^(Arrow(Up|Down|Left|Right)| |PageUp|PageDown|Home|End)$/.test(event.key)) {
      event.preventDefault();
    }
    canvas.focus();
  });
})();
