// The browser's side of the web edges, linked with --js-library: what a WebSocket under one of
// Emscripten's socket descriptors is doing (web/sdl_net.cpp; brackenreach_websocket_settle may
// sleep, so it is one of the build's ASYNCIFY_IMPORTS), the screen's presentation (SDL_Flip
// in web/sdl_compat.cpp) and scale, and the page's hold on the runtime until the game starts.

mergeInto(LibraryManager.library, {
  // The page holds the runtime from its first step until the player presses Start. The runtime
  // ends itself (EXIT_RUNTIME) after any callback that leaves nothing keeping it alive, and the
  // audio preloader's 10 s safety timer is one: without the hold it ended the program before
  // main ran whenever a player took more than 10 s to press Start.
  brackenreach_page_hold__deps: ['$runtimeKeepalivePush', '$runtimeKeepalivePop'],
  brackenreach_page_hold__postset:
    "Module['holdRuntime'] = runtimeKeepalivePush; Module['releaseRuntime'] = runtimeKeepalivePop;",
  brackenreach_page_hold: function() {},

  // Emscripten's SDL makes its AudioContext with the browser's default, the lowest latency, whose
  // small buffers wake the audio threads hundreds of times a second. The game plays music only,
  // for which a later start does not matter: larger buffers, about a third less CPU for audio.
  // A game with sound effects timed to what happens on screen would want the default back.
  brackenreach_audio_latency__deps: ['$SDL'],
  brackenreach_audio_latency__postset:
    "SDL.openAudioContext = function() {" +
    "  if (!SDL.audioContext && typeof AudioContext != 'undefined')" +
    "    SDL.audioContext = new AudioContext({latencyHint: 'playback'});" +
    "};",
  brackenreach_audio_latency: function() {},

  $brackenreachPeer__deps: ['$SOCKFS'],
  $brackenreachPeer: function(fd) {
    var sock = SOCKFS.getSocket(fd);
    return sock ? SOCKFS.websocket_sock_ops.getPeer(sock, sock.daddr, sock.dport) : null;
  },

  // The WebSocket's readyState (0 connecting, 1 open, 2 closing, 3 closed; 3 when there is
  // none), and the bytes it holds that the network has not taken yet into *buffered.
  brackenreach_websocket_state__deps: ['$brackenreachPeer'],
  brackenreach_websocket_state: function(fd, buffered) {
    var peer = brackenreachPeer(fd);
    if (!peer) return 3;
    HEAP32[buffered >> 2] = peer.socket.bufferedAmount;
    return peer.socket.readyState;
  },

  // Waits, with control back in the browser, until the WebSocket has stopped connecting or
  // limit_ms have passed (limit_ms <= 0: no limit); returns its readyState then.
  brackenreach_websocket_settle__deps: ['$brackenreachPeer'],
  brackenreach_websocket_settle: function(fd, limit_ms) {
    return Asyncify.handleSleep(function(wakeUp) {
      var peer = brackenreachPeer(fd);
      if (!peer || peer.socket.readyState !== 0) {
        wakeUp(peer ? peer.socket.readyState : 3);
        return;
      }
      var ws = peer.socket;
      var timer = null;
      var done = function() {
        ws.removeEventListener('open', done);
        ws.removeEventListener('close', done);
        ws.removeEventListener('error', done);
        if (timer !== null) clearTimeout(timer);
        wakeUp(ws.readyState);
      };
      ws.addEventListener('open', done);
      ws.addEventListener('close', done);
      ws.addEventListener('error', done);
      if (limit_ms > 0) timer = setTimeout(done, limit_ms);
    });
  },

  // Emscripten's SDL draws the screen straight onto the page's canvas, and every drawing there
  // makes Chromium composite the page again: without a GPU, in software, most of the browser's
  // CPU at the frame cap. The frame loop draws every pass, the same picture while the player
  // stands still. So the canvas's drawImage calls wait here until the flip, and a flip whose
  // calls are the very ones that made what the canvas shows leaves the canvas alone.
  //
  // That is only sound when the canvas holds nothing but the result of those calls: the first
  // must cover the whole canvas with an opaque picture at full alpha ("pure" below), no picture
  // they draw may have changed since, and nothing else may have touched the canvas. So anything
  // else done to the canvas, or to a picture once drawn onto it (their contexts' calls, a new
  // width or height, which clears a canvas), first draws what waits, in order, and makes the next
  // flip draw; so does the page coming back into view, or a restored context, whose canvas may
  // have been cleared. Drawing state is kept per call for what Emscripten sets (globalAlpha,
  // globalCompositeOperation); it changes no other state of the screen's context by assignment.
  $brackenreachScreen: {
    capacity: 64,   // calls a frame can hold; a frame with more draws them as they come
    ctx: null,      // the page canvas's 2D context, its drawing calls wrapped (install)
    drawImage: null,
    waiting: null,  // this frame's calls, not yet drawn
    shown: null,    // the calls that last drew the canvas
    shownValid: false, // the canvas is exactly the result of shown, and shown is pure
    frames: null,   // Module.frames: flips that drew the canvas and flips that left it alone

    calls: function() {
      var n = brackenreachScreen.capacity;
      return {count: 0, images: new Array(n), numbers: new Float64Array(n * 8),
              alphas: new Float64Array(n), modes: new Array(n)};
    },

    install: function() {
      var screen = brackenreachScreen;
      var canvas = Module['canvas'];
      var ctx = canvas.getContext('2d');
      if (!ctx) return false; // not Emscripten's 2D screen: every flip as it comes
      screen.ctx = ctx;
      screen.drawImage = ctx.drawImage;
      screen.waiting = screen.calls();
      screen.shown = screen.calls();
      screen.frames = Module['frames'] = {drawn: 0, kept: 0};
      ctx.drawImage = function(image) {
        if (screen.record(image, arguments)) return;
        screen.touch(true);
        return screen.drawImage.apply(ctx, arguments);
      };
      screen.watch(canvas, ctx, true);
      document.addEventListener('visibilitychange', function() {
        if (!document.hidden) screen.shownValid = false;
      });
      canvas.addEventListener('contextrestored', function() { screen.shownValid = false; });
      return true;
    },

    // Holds one drawImage call onto the canvas; false for a call it cannot compare later.
    record: function(image, args) {
      var w = brackenreachScreen.waiting;
      if (args.length !== 9 || w.count === brackenreachScreen.capacity ||
          !(image instanceof HTMLCanvasElement) || image === Module['canvas'] ||
          image.width === 0 || image.height === 0 || !brackenreachScreen.watchSource(image)) {
        return false; // drawn at once, as Emscripten's own SDL would (errors included)
      }
      var i = w.count++;
      w.images[i] = image;
      for (var k = 0; k < 8; k++) w.numbers[i * 8 + k] = args[k + 1];
      w.alphas[i] = brackenreachScreen.ctx.globalAlpha;
      w.modes[i] = brackenreachScreen.ctx.globalCompositeOperation;
      return true;
    },

    // Draws what waits, in order, as it would have been drawn at once.
    flush: function() {
      var screen = brackenreachScreen;
      var w = screen.waiting;
      if (w.count === 0) return;
      var ctx = screen.ctx;
      var alpha = ctx.globalAlpha;
      var mode = ctx.globalCompositeOperation;
      try {
        for (var i = 0; i < w.count; i++) {
          var n = i * 8;
          ctx.globalAlpha = w.alphas[i];
          ctx.globalCompositeOperation = w.modes[i];
          screen.drawImage.call(ctx, w.images[i], w.numbers[n], w.numbers[n + 1], w.numbers[n + 2],
                                w.numbers[n + 3], w.numbers[n + 4], w.numbers[n + 5],
                                w.numbers[n + 6], w.numbers[n + 7]);
        }
      } finally {
        ctx.globalAlpha = alpha;
        ctx.globalCompositeOperation = mode;
      }
      screen.waiting = screen.shown;
      screen.waiting.count = 0;
      screen.shown = w;
      screen.shownValid = screen.pure(w);
    },

    // Anything but our held drawImage calls, onto the canvas or a picture drawn onto it: what
    // waits is drawn first; a change (not a read) means the canvas is no longer known.
    touch: function(changes) {
      brackenreachScreen.flush();
      if (changes) brackenreachScreen.shownValid = false;
    },

    // The first call (flush draws at least one) covers the whole canvas with an opaque picture,
    // unscaled, at full alpha: what the calls draw then does not depend on what the canvas held
    // before.
    pure: function(calls) {
      var image = calls.images[0];
      var v = calls.numbers;
      var canvas = Module['canvas'];
      for (var k = 0; k < 8; k++) if (!Number.isInteger(v[k])) return false;
      return calls.alphas[0] === 1 && calls.modes[0] === 'source-over' &&
        v[0] >= 0 && v[1] >= 0 && v[0] + v[2] <= image.width && v[1] + v[3] <= image.height &&
        v[2] === v[6] && v[3] === v[7] && v[4] <= 0 && v[5] <= 0 &&
        v[4] + v[6] >= canvas.width && v[5] + v[7] >= canvas.height &&
        brackenreachScreen.opaque(image);
    },

    // Whether every pixel of a picture is opaque; kept on the picture until it changes.
    opaque: function(image) {
      if (image.brackenreachOpaque === undefined) {
        var data = image.getContext('2d').getImageData(0, 0, image.width, image.height).data;
        var opaque = true;
        for (var i = 3; opaque && i < data.length; i += 4) opaque = data[i] === 255;
        image.brackenreachOpaque = opaque;
      }
      return image.brackenreachOpaque;
    },

    watchSource: function(image) {
      if (image.brackenreachWatched === undefined) {
        var ctx = image.getContext('2d');
        image.brackenreachWatched = !!ctx;
        if (ctx) brackenreachScreen.watch(image, ctx, false);
      }
      return image.brackenreachWatched;
    },

    // Wraps the calls that draw on or read a canvas, and its width and height, which clear it.
    watch: function(canvas, ctx, isScreen) {
      var screen = brackenreachScreen;
      var changed = function() {
        screen.touch(true);
        canvas.brackenreachOpaque = undefined;
      };
      ['putImageData', 'fillRect', 'clearRect', 'fillText', 'strokeText', 'fill', 'stroke',
       'reset'].concat(isScreen ? [] : ['drawImage']).forEach(function(name) {
        var original = ctx[name];
        if (typeof original !== 'function') return;
        ctx[name] = function() {
          changed();
          return original.apply(ctx, arguments);
        };
      });
      if (isScreen) {
        var read = ctx.getImageData;
        ctx.getImageData = function() {
          screen.touch(false);
          return read.apply(ctx, arguments);
        };
      }
      ['width', 'height'].forEach(function(name) {
        var size = Object.getOwnPropertyDescriptor(HTMLCanvasElement.prototype, name);
        Object.defineProperty(canvas, name, {
          configurable: true,
          get: function() { return size.get.call(canvas); },
          set: function(value) {
            changed();
            size.set.call(canvas, value);
          },
        });
      });
    },
  },

  // The screen_scale setting (0: auto), for the page, which enlarges the canvas itself (page.js).
  brackenreach_scale_page: function(scale) {
    if (Module['scaleCanvas']) Module['scaleCanvas'](scale);
  },

  // Called by SDL_Flip: draws this frame's held calls onto the canvas, unless they are the ones
  // that drew what it shows.
  brackenreach_present__deps: ['$brackenreachScreen'],
  brackenreach_present: function() {
    var screen = brackenreachScreen;
    if (screen.ctx === null && !screen.install()) screen.ctx = false;
    if (!screen.ctx) return;
    var w = screen.waiting;
    var s = screen.shown;
    var same = screen.shownValid && w.count === s.count;
    for (var i = 0; same && i < w.count; i++) {
      same = w.images[i] === s.images[i] && w.alphas[i] === s.alphas[i] && w.modes[i] === s.modes[i];
    }
    for (var k = 0; same && k < w.count * 8; k++) same = w.numbers[k] === s.numbers[k];
    if (same) {
      w.count = 0;
      screen.frames.kept++;
    } else {
      screen.flush();
      screen.frames.drawn++;
    }
  },
});
