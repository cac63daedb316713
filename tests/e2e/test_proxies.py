"""The deployment recipes the server package ships (packaging/examples), run as they are with
Debian's haproxy and nginx in a network namespace of the test's own, with the server behind them:
players from many addresses through haproxy's PROXY headers, and browser players over wss:// on a
port other than 443 through nginx. Only the addresses, ports and certificate are the test's."""

import base64
import ctypes
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (SOURCE_DIR, Netns, Workdir, namespaces_unavailable, network_config, run_client,  # noqa: E402
                     wait_until)
from harness import in_own_namespaces, main, run_in_own_namespaces, skip_or_fail  # noqa: E402
run_in_own_namespaces(__name__)  # first: a normal user's run starts again here, see harness
from server_peer import (GOODBYE, encode_updates, read_http_head, server_path,  # noqa: E402
                         start_game_server, websocket_messages)

EXAMPLES = os.path.join(SOURCE_DIR, "packaging", "examples")


def entering(ns):
    """A preexec_fn that moves the child into ns before it runs."""
    def enter():
        with open("/run/netns/" + ns.name) as handle:
            if ctypes.CDLL(None, use_errno=True).setns(handle.fileno(), 0x40000000) != 0:
                raise OSError(ctypes.get_errno(), "setns")
    return enter


def recipe(name, replacements):
    """The shipped file with the test's addresses, each replaced exactly where the file has it."""
    with open(os.path.join(EXAMPLES, name)) as f:
        text = f.read()
    for old, new in replacements:
        if old not in text:
            raise AssertionError("%s no longer has %r" % (name, old))
        text = text.replace(old, new)
    return text


class Recipes(unittest.TestCase):
    def setUp(self):
        why = namespaces_unavailable() or next(
            ("Debian's %s is not installed (tools/setup.sh test installs it)" % tool
             for tool in ("haproxy", "nginx", "openssl") if not shutil.which(tool)), None)
        if why:
            skip_or_fail(why)
        self.ns = Netns("proxies")
        self.addCleanup(self.ns.close)
        self.dir = tempfile.mkdtemp(prefix="brackenreach-proxies-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def server(self, *args, web_root=None):
        server = start_game_server(None, args, preexec_fn=entering(self.ns), web_root=web_root)
        self.addCleanup(server.kill)
        return server

    def run_tool(self, argv, port):
        tool = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, preexec_fn=entering(self.ns))
        self.addCleanup(tool.stdout.close)
        self.addCleanup(tool.wait, 10)
        self.addCleanup(tool.terminate)
        wait_until(lambda: self.connect(port, probe=True) or tool.poll() is not None,
                   "%s listening" % argv[0], 10)
        if tool.poll() is not None:
            self.fail("%s ended: %s" % (argv[0], tool.stdout.read().decode(errors="replace")))

    def connect(self, port, source="127.0.0.1", probe=False):
        sock = self.ns.socket()
        sock.settimeout(5)
        try:
            sock.bind((source, 0))
            sock.connect(("127.0.0.1", port))
        except OSError:
            sock.close()
            if probe:
                return None
            raise
        if probe:
            sock.close()
            return True
        self.addCleanup(sock.close)
        return sock

    def test_players_from_many_addresses_through_haproxy(self):
        servers = [self.server("--trusted-proxy", "127.0.0.1", "--max-per-address", "4")
                   for _ in range(2)]
        front = 21337
        config = os.path.join(self.dir, "haproxy.cfg")
        with open(config, "w") as f:
            f.write(recipe("haproxy-brackenreach.cfg", [
                ("bind :1337", "bind 127.0.0.1:%d" % front),
                ("192.0.2.11:1337", "127.0.0.1:%d" % servers[0].port),
                ("192.0.2.12:1337", "127.0.0.1:%d" % servers[1].port)]))
        self.run_tool(["haproxy", "-db", "-f", config], front)
        joined = r"^joined #\d+ 127\.0\.{}\.\d+ via 127\.0\.0\.1:\d+$"
        players = [self.connect(front, "127.0.1.%d" % n) for n in range(1, 41)]
        for n, sock in enumerate(players):
            sock.sendall(encode_updates([n]))
        wait_until(lambda: sum(len(s.matching(joined.format(1))) for s in servers) == 40,
                   "40 players from 40 addresses joined", 15)
        # One address behind the balancer still gets its share of each server, no more.
        crowd = [self.connect(front, "127.0.2.1") for _ in range(10)]
        for sock in crowd:
            sock.sendall(encode_updates([1]))
        refused = r"^refused 127\.0\.2\.1 via 127\.0\.0\.1:\d+ reason=address_limit "
        wait_until(lambda: sum(len(s.matching(refused)) + len(s.matching(joined.format(2)))
                               for s in servers) == 10, "the crowd answered", 15)
        self.assertEqual([4, 4], [len(s.matching(joined.format(2))) for s in servers])
        for sock in players:
            sock.sendall(GOODBYE)
        wait_until(lambda: sum(len(s.matching(r"^goodbye #")) for s in servers) == 40,
                   "40 goodbyes", 15)
        for server in servers:
            self.assertEqual(0, server.stop()[0])

    def test_the_game_comes_back_through_haproxy_after_a_server_restart(self):
        # The game behind the recipe's balancer, its server restarted on the same port: back once
        # the balancer sees the server, its goodbye on the new one.
        server = self.server("--trusted-proxy", "127.0.0.1")
        port, front = server.port, 21338
        config = os.path.join(self.dir, "haproxy.cfg")
        with open(config, "w") as f:
            f.write(recipe("haproxy-brackenreach.cfg", [
                ("bind :1337", "bind 127.0.0.1:%d" % front), ("192.0.2.11:1337", "127.0.0.1:%d" % port),
                ("192.0.2.12:1337", "127.0.0.1:%d" % port)]))
        self.run_tool(["haproxy", "-db", "-f", config], front)
        joined = r"^joined #\d+ 127\.0\.0\.1 via 127\.0\.0\.1:\d+$"
        with Workdir(config=network_config(front)) as wd:
            game = run_client(wd, wrap=self.ns.wrap())
            self.addCleanup(game.kill)
            server.wait_for(joined, timeout=20)
            self.assertEqual(0, server.stop()[0])
            game.wait_for_line(lambda line: line.endswith("; reconnecting"))
            server = self.server("--trusted-proxy", "127.0.0.1", "--port", str(port))
            server.wait_for(joined, timeout=60)  # the balancer's checks must see it first
            game.wait_for_line(lambda line: line.startswith("Reconnected to server"), timeout=20)
            self.assertEqual(0, game.stop())
        server.wait_for(r"^goodbye #\d+ updates=\d+ last_x=400$")
        self.assertEqual(1, sum(line.endswith("; reconnecting") for line in game.lines), game.lines)

    def test_browser_players_over_wss_through_nginx(self):
        site = os.path.join(self.dir, "site")
        os.mkdir(site)
        with open(os.path.join(site, "index.html"), "w") as f:
            f.write("<!doctype html><title>Brackenreach</title>\n")
        # As the recipe says: desktop players on every address, the page on loopback for nginx.
        server = self.server("--host", "0.0.0.0", "--web-host", "127.0.0.1", "--trusted-proxy",
                             "127.0.0.1", web_root=site)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-keyout", os.path.join(self.dir, "key.pem"),
                        "-out", os.path.join(self.dir, "cert.pem")], check=True, capture_output=True)
        tls, plain = 8443, 8081
        site_conf = os.path.join(self.dir, "site.conf")
        with open(site_conf, "w") as f:
            f.write(recipe("nginx-brackenreach", [
                ("listen 80;", "listen 127.0.0.1:%d;" % plain), ("listen [::]:80;", ""),
                ("listen 443 ssl;", "listen 127.0.0.1:%d ssl;" % tls), ("listen [::]:443 ssl;", ""),
                ("/etc/letsencrypt/live/game.example.org/fullchain.pem", self.dir + "/cert.pem"),
                ("/etc/letsencrypt/live/game.example.org/privkey.pem", self.dir + "/key.pem"),
                ("http://127.0.0.1:8080", "http://127.0.0.1:%d" % server.web_port)]))
        main = os.path.join(self.dir, "nginx.conf")
        with open(main, "w") as f:
            # nginx started by root hands its work to nobody, which its own namespaces lack.
            f.write(("user root; " if in_own_namespaces() else "") +
                    "daemon off; pid {0}/nginx.pid; error_log {0}/error.log; events {{}}\n"
                    "http {{ access_log off; client_body_temp_path {0}/body; proxy_temp_path "
                    "{0}/proxy; fastcgi_temp_path {0}/fastcgi; uwsgi_temp_path {0}/uwsgi; scgi_temp_path "
                    "{0}/scgi; include {1}; }}\n".format(self.dir, site_conf))
        self.run_tool(["nginx", "-p", self.dir, "-c", main], tls)
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        host = "127.0.0.1:%d" % tls

        def request(port, source, lines, secure=True):
            sock = self.connect(port, source)
            if secure:
                sock = context.wrap_socket(sock)
                self.addCleanup(sock.close)
            sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
            return sock, read_http_head(sock)

        _, (status, headers) = request(plain, "127.0.0.2", ["GET /?name=Ann HTTP/1.1",
                                                            "Host: 127.0.0.1"], secure=False)
        self.assertEqual((301, "https://127.0.0.1/?name=Ann"), (status, headers.get("location")))
        _, (status, headers) = request(tls, "127.0.0.2", ["GET / HTTP/1.1", "Host: " + host])
        self.assertEqual(200, status)
        self.assertRegex(headers.get("strict-transport-security", ""), r"^max-age=\d+")
        players = []
        for source in ("127.0.0.2", "127.0.0.3"):
            key = base64.b64encode(os.urandom(16)).decode()
            sock, (status, _) = request(tls, source, [
                "GET / HTTP/1.1", "Host: " + host, "Upgrade: websocket", "Connection: Upgrade",
                "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13",
                "Sec-WebSocket-Protocol: binary", "Origin: https://" + host])
            self.assertEqual(101, status)
            players.append(sock)
            server.wait_for(r"^joined #\d+ %s via 127\.0\.0\.1:\d+ websocket$" % re.escape(source))
        for sock in players:
            sock.sendall(websocket_messages(encode_updates([5]) + GOODBYE))
        server.wait_for_count(r"^goodbye #\d+ updates=1 last_x=5$", 2)
        # The game port takes desktop players on every address; the page port is nginx's alone.
        self.assertTrue(server.matching(r"^listening on 0\.0\.0\.0:\d+$"))
        self.assertTrue(server.matching(r"^serving the page at http://127\.0\.0\.1:\d+/$"))
        self.assertEqual(0, server.stop()[0])


if __name__ == "__main__":
    server_path()  # fails early without BRACKENREACH_SERVER
    main()
