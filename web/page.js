// Starts the game in this page: loads the program (brackenreach.js, .wasm and .data) with a
// progress bar, and when the player presses Start writes their name and the server's address into
// config.ini in the program's file system, then runs it. The program's log goes to the console.
'use strict';

(function () {
  var canvas = document.getElementById('canvas');
  // The context is made here, before the program's SDL asks for one and gets this same one.
  // Opaque, as every frame covers it with the map, and desynchronized: without a GPU, the page's
  // frames then go to the display compositor straight from the canvas instead of through the
  // page's compositor, about a quarter less of the browser's CPU while the picture changes.
  canvas.getContext('2d', { alpha: false, desynchronized: true });
  var nameInput = document.getElementById('name');
  var startButton = document.getElementById('start');
  var progress = document.getElementById('progress');
  var message = document.getElementById('message');
  var controls = document.getElementById('controls');

  var loaded = false;    // the program and its files are ready
  var wanted = false;    // the player pressed Start
  var running = false;   // main() has started and not ended
  var problem = false;   // a problem message is showing
  var retrying = false;  // the page is about to load itself again

  // loading, ready, running or ended: for styles, and for whoever drives the page.
  function setState(state) {
    document.body.dataset.state = state;
  }
  setState('loading');

  function say(text, isProblem) {
    if (problem && !isProblem) return; // a problem stays visible until something worse
    message.textContent = text;
    message.className = isProblem ? 'problem' : '';
    problem = problem || !!isProblem;
  }

  // The game server is the one that served this page: same host and port, over TLS when the
  // page came over TLS (a reverse proxy in front of the server).
  var secure = location.protocol === 'https:';
  var serverHost = location.hostname || 'localhost';
  var serverPort = location.port || (secure ? '443' : '80');

  var params = new URLSearchParams(location.search);
  if (params.has('name')) nameInput.value = params.get('name');
  // Loaded again after the game's files did not arrive: Start was pressed already.
  var startAgain = params.get('start') === '1';
  if (startAgain) {
    params.delete('start');
    history.replaceState(null, '', '?' + params.toString());
  }

  // A server with no room for another player (too many at once from this address, or in all)
  // accepts the game's WebSocket and closes it at once with 1013, "try again later". The
  // program sees only a closed connection; the page sees the code here, on every WebSocket the
  // program opens.
  var busyRefusal = false; // the latest WebSocket to close was refused as busy
  var NativeWebSocket = window.WebSocket;
  if (NativeWebSocket) {
    window.WebSocket = function (url, protocols) {
      var socket = new NativeWebSocket(url, protocols);
      socket.addEventListener('close', function (event) {
        busyRefusal = event.code === 1013;
      });
      return socket;
    };
    window.WebSocket.prototype = NativeWebSocket.prototype;
    ['CONNECTING', 'OPEN', 'CLOSING', 'CLOSED'].forEach(function (name) {
      window.WebSocket[name] = NativeWebSocket[name];
    });
  }

  // One line of config.ini: control characters and line ends would start a new line of the
  // file, so they go; the settings file is UTF-8, as the label reads it.
  function iniValue(text) {
    return text.replace(/[\u0000-\u001f\u007f]/g, ' ').trim();
  }

  // The later value of a key wins in config.ini, so the page's settings go at the end.
  function writeSettings() {
    var path = '/config.ini';
    var text = '';
    try {
      text = FS.readFile(path, { encoding: 'utf8' });
    } catch (e) {
      text = ''; // no config.ini packed: the defaults apply, then these
    }
    var name = iniValue(nameInput.value) || 'Unnamed';
    text += '\n; Written by the page before the game started.\n[network]\n' +
      'server_ip = ' + serverHost + '\n' +
      'server_port = ' + serverPort + '\n' +
      'username = ' + name + '\n';
    FS.writeFile(path, text);
  }

  // Emscripten's SDL_ttf draws text with the browser's fonts, asking for the family named like
  // the font file the program opens ("calibri.ttf"); so the packed file becomes that family, and
  // the label is drawn in the game's own font rather than the browser's default.
  function loadFont() {
    var bytes;
    try {
      bytes = FS.readFile('/calibri.ttf');
    } catch (e) {
      return Promise.resolve(); // not packed: the browser's default font
    }
    var face = new FontFace('calibri.ttf', bytes);
    document.fonts.add(face);
    return face.load().catch(function () {});
  }

  // How long to wait before the next try: 2 s, doubling with each try up to 30 s, and between
  // half and one and a half of that, so that a classroom refused at once does not come back at
  // once. The count lives as long as the tab, and goes when a try succeeds.
  function nextPause() {
    var tries = Number(sessionStorage.getItem('brackenreach-tries')) || 0;
    sessionStorage.setItem('brackenreach-tries', String(tries + 1));
    return Math.round(Math.min(30, 2 * Math.pow(2, tries)) * (0.5 + Math.random()));
  }

  // Loads the page again after the pause, keeping the name, and pressing Start again when the
  // player had pressed it.
  function tryAgainLater(what) {
    retrying = true;
    setState('loading');
    var seconds = nextPause();
    say(what + ': trying again in ' + seconds + ' s ...', true);
    setTimeout(function () {
      params.set('name', nameInput.value);
      if (wanted) params.set('start', '1');
      location.replace('?' + params.toString());
    }, seconds * 1000);
  }

  // A part of the game that did not arrive (a busy server answers 503, the network failed): say
  // so, and load the page again after a pause.
  function retryLoad(what) {
    if (running || retrying) return;
    tryAgainLater(what + ' (the server may be busy)');
  }

  // The link's state as the page tells it. The program tries a lost server again by itself,
  // with growing pauses, and plays on meanwhile; a busy server's refusal is one more loss, tried
  // again in the program rather than by loading the page again, so the game keeps its place.
  var linkWasOpen = false; // a WebSocket of the game's has been open
  var linkLost = false;    // and has closed since, or none ever opened

  function linkOpened() {
    say((linkLost ? 'Playing again on ' : 'Playing on ') + serverHost + ':' + serverPort + '.');
    linkWasOpen = true;
    linkLost = false;
    // A refusal closes the socket at once; one still open after this got in.
    setTimeout(function () {
      if (!linkLost) sessionStorage.removeItem('brackenreach-tries');
    }, 3000);
  }

  function linkClosed() {
    if (!running) return; // the game's own end closes it
    linkLost = true;
    var server = 'The game server at ' + serverHost + ':' + serverPort;
    say((busyRefusal ? server + ' is busy (too many players starting at once)'
                     : linkWasOpen ? server + ' has closed the connection'
                                   : server + ' cannot be reached') +
        ': playing on, reconnecting ...');
  }

  function run() {
    running = true;
    setState('running');
    say('Connecting to the game server at ' + serverHost + ':' + serverPort + ' ...');
    writeSettings();
    canvas.focus();
    loadFont().then(function () {
      Module.releaseRuntime();
      Module.callMain([]);
    });
  }

  function markWanted() {
    wanted = true;
    nameInput.disabled = true;
    startButton.disabled = true;
    startButton.textContent = 'Playing';
  }

  function start(event) {
    event.preventDefault();
    if (wanted) return;
    markWanted();
    if (loaded) run();
    else say('Loading the game ...');
  }

  if (typeof WebAssembly !== 'object' || typeof WebAssembly.instantiate !== 'function') {
    say('This browser cannot run the game: it has no WebAssembly (or it is switched off).', true);
    startButton.disabled = true;
    startButton.textContent = 'Unavailable';
    return;
  }

  controls.addEventListener('submit', start);
  // The file packager's download reports a failed answer by throwing, uncaught: an error event
  // where it downloads with XMLHttpRequest, a promise rejected with no handler where it fetches.
  function onLoadError() {
    if (!loaded) retryLoad('The game\'s files could not be loaded');
  }
  window.addEventListener('error', onLoadError);
  window.addEventListener('unhandledrejection', onLoadError);

  canvas.addEventListener('mousedown', function () { canvas.focus(); });

  // The canvas keeps the game's size; CSS enlarges it by whole device pixels, which
  // image-rendering: pixelated keeps sharp. screen_scale 2 to 8 makes each of the game's pixels
  // that many of the screen's; auto the browser's devicePixelRatio rounded (at least 1), no more
  // than fits beside the rest of the page in the window; 1 leaves the canvas at its own size in
  // CSS pixels, as the page always had it. Followed on every resize of the window, which zooming
  // and a move to a screen of another scale bring too (the viewport's CSS size changes with them).
  var screenScale = 1;
  var main = document.querySelector('main');

  function fitCanvas() {
    var ratio = window.devicePixelRatio || 1;
    var scale = screenScale;
    if (scale === 1) {
      canvas.style.width = canvas.style.height = canvas.style.transform = '';
    } else {
      if (scale === 0) {
        // Room in CSS pixels: the window less main's padding and whatever else it holds.
        var style = getComputedStyle(main);
        var padX = parseFloat(style.paddingLeft) + parseFloat(style.paddingRight);
        var rest = main.getBoundingClientRect().height - canvas.getBoundingClientRect().height;
        var roomX = (document.documentElement.clientWidth - padX) * ratio;
        var roomY = (window.innerHeight - rest) * ratio;
        var fits = Math.min(Math.floor(roomX / canvas.width), Math.floor(roomY / canvas.height));
        scale = Math.max(1, Math.min(Math.round(ratio), fits));
      }
      // The browser lays the page out in 64ths of a CSS pixel and draws the canvas into the box
      // it lays out, fractions included: a box of 639.98 device pixels (640 / 3 CSS pixels cut
      // down), or one that starts between device pixels, resamples the picture. So the box is
      // rounded up to the next 64th, and moved onto whole device pixels.
      canvas.style.width = Math.ceil(canvas.width * scale / ratio * 64) / 64 + 'px';
      canvas.style.height = Math.ceil(canvas.height * scale / ratio * 64) / 64 + 'px';
      canvas.style.transform = '';
      var box = canvas.getBoundingClientRect();
      var shiftX = (Math.round((box.left + scrollX) * ratio) / ratio) - (box.left + scrollX);
      var shiftY = (Math.round((box.top + scrollY) * ratio) / ratio) - (box.top + scrollY);
      canvas.style.transform = 'translate(' + shiftX + 'px, ' + shiftY + 'px)';
    }
    document.body.dataset.scale = String(scale);
  }
  window.addEventListener('resize', fitCanvas);

  // Closing the tab: the goodbye leaves from here, as the program gets no further pass.
  window.addEventListener('pagehide', function () {
    if (running) Module._brackenreach_page_closing();
  });
  // A page brought back from the back-forward cache has said goodbye already: start afresh.
  window.addEventListener('pageshow', function (event) {
    if (event.persisted) location.reload();
  });

  window.Module = {
    canvas: canvas,
    // Called once the program's window is open, with its screen_scale (0: auto).
    scaleCanvas: function (scale) {
      screenScale = scale;
      fitCanvas();
    },
    keyboardListeningElement: canvas,
    websocket: { url: secure ? 'wss://' : 'ws://' },
    preRun: [function () { Module.holdRuntime(); }],
    print: function (line) {
      console.log(line);
      // An address that names no single server is refused before any WebSocket opens.
      if (/^server_ip ".*" cannot name one server/.test(line)) say(line + '.', true);
    },
    printErr: function (line) { console.warn(line); },
    setStatus: function (text) {
      // Emscripten reports "Downloading data... (done/total)" while the files load.
      var parts = /\((\d+(?:\.\d+)?)\/(\d+)\)/.exec(text);
      if (parts) {
        progress.max = Number(parts[2]);
        progress.value = Number(parts[1]);
      }
    },
    onRuntimeInitialized: function () {
      if (retrying) return;
      loaded = true;
      // A page loaded again after its files failed counts its tries on until the game gets in.
      if (!startAgain) sessionStorage.removeItem('brackenreach-tries');
      progress.value = progress.max;
      progress.hidden = true;
      if (!wanted) setState('ready');
      // The link's WebSockets (the program opens one to the server that served the page, and
      // another each time it tries again after losing it).
      Module.websocket.on('open', linkOpened);
      Module.websocket.on('close', linkClosed);
      if (startAgain && !wanted) markWanted();
      if (wanted) run();
    },
    onExit: function (status) {
      if (!running) {
        retryLoad('The game stopped before it started');
        return;
      }
      running = false;
      setState('ended');
      say('The game has ended' + (status ? ' (status ' + status + ')' : '') +
        '. Reload the page to play again.', status !== 0);
    },
    onAbort: function (what) {
      if (!running) {
        retryLoad('The game could not be loaded');
        return;
      }
      running = false;
      setState('ended');
      say('The game stopped with an error: ' + what + '. Reload the page to try again.', true);
    },
  };

  var script = document.createElement('script');
  script.src = 'brackenreach.js';
  script.onerror = function () {
    retryLoad('The game could not be loaded from this server');
  };
  document.body.appendChild(script);
})();
