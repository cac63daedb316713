// The browser's side of web/sdl_net.cpp: what a WebSocket under one of Emscripten's socket
// descriptors is doing; and the page's hold on the runtime until the game starts. Linked with
// --js-library; brackenreach_websocket_settle may sleep, so it is one of the build's
// ASYNCIFY_IMPORTS.

mergeInto(LibraryManager.library, {
  // The page holds the runtime from its first step until the player presses Start. The runtime
  // ends itself (EXIT_RUNTIME) after any callback that leaves nothing keeping it alive, and the
  // audio preloader's 10 s safety timer is one: without the hold it ended the program before
  // main ran whenever a player took more than 10 s to press Start.
  brackenreach_page_hold__deps: ['$runtimeKeepalivePush', '$runtimeKeepalivePop'],
  brackenreach_page_hold__postset:
    "Module['holdRuntime'] = runtimeKeepalivePush; Module['releaseRuntime'] = runtimeKeepalivePop;",
  brackenreach_page_hold: function() {},

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
});
