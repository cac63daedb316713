"""The game installed like a Linux game: `cmake --install` into a scratch prefix, and the Debian
packages that cpack builds (the client, the server with its systemd unit, and the browser page),
checked with lintian, installed with dpkg and removed again. Each install is played through its
own launcher against its own server, started as its systemd unit starts it and serving the
installed page, as a user whose home is a scratch directory."""

import os
import platform
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.request
from xml.etree import ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (CLIENT, EXIT_TIMEOUT, SOURCE_DIR, START_TIMEOUT, GameServer,  # noqa: E402
                     Process, start_game_server, stop_game_server)
from harness import main, skip_or_fail  # noqa: E402

BUILD_DIR = os.path.dirname(os.path.abspath(CLIENT))
CI = bool(os.environ.get("CI"))
# Every package the installed client needs at run time (see cmake/Install.cmake), with the names
# each Debian release gives it: Debian 13 renamed libsimpleini1.
CLIENT_NEEDS = ("libsdl1.2debian", "libsdl-image1.2", "libsdl-mixer1.2", "libsdl-net1.2",
                "libsdl-ttf2.0-0", "libsimpleini1|libsimpleini1t64", "fonts-crosextra-carlito",
                "fontconfig")
# What a machine without a display must not be made to install for the server.
DESKTOP_PACKAGE = re.compile(r"^(libsdl|libx|libwayland|libgl|libfont|font|libfreetype|libpulse)")
METAINFO = "invalid.brackenreach.Brackenreach.metainfo.xml"
# Relative to the prefix ({games}: bin, or games under /usr): what an install must put where.
LAYOUT = {
    "{games}/brackenreach": True,  # True: executable
    "{games}/brackenreach-server": True,
    "libexec/brackenreach/brackenreach": True,
    "share/brackenreach/config.ini": False,
    "share/brackenreach/img/player2.png": False,
    "share/brackenreach/img/background3.png": False,
    "share/brackenreach/audio/softworld.wav": False,
    "share/applications/brackenreach.desktop": False,
    "share/icons/hicolor/128x128/apps/brackenreach.png": False,
    "share/metainfo/" + METAINFO: False,
    "share/man/man6/brackenreach.6.gz": False,
    "share/man/man6/brackenreach-server.6.gz": False,
    "share/doc/brackenreach/copyright": False,
    "share/doc/brackenreach-server/copyright": False,
    "share/doc/brackenreach-server/examples/nginx-brackenreach": False,
    "share/doc/brackenreach-server/examples/haproxy-brackenreach.cfg": False,
}
WEB_FILES = ("index.html", "page.js", "page_input.js", "page.css", "brackenreach.js", "brackenreach.wasm", "brackenreach.data")
# A video driver SDL does not have: the client reads config.ini, fails to initialise and exits
# with status 0 before it opens any connection, so a run only prepares the user's directory.
NO_VIDEO = {"SDL_VIDEODRIVER": "no-such-driver", "SDL_AUDIODRIVER": "dummy"}


# `cmake --install` and cpack both rewrite the build's install_manifest.txt, which is how a user
# uninstalls what they installed from this build: it is put back as it was after the tests.
MANIFEST = os.path.join(BUILD_DIR, "install_manifest.txt")
_saved_manifest = None


def setUpModule():
    global _saved_manifest
    if os.path.exists(MANIFEST):
        _saved_manifest = read(MANIFEST)


def tearDownModule():
    if _saved_manifest is None:
        if os.path.exists(MANIFEST):
            os.remove(MANIFEST)
    else:
        with open(MANIFEST, "wb") as f:
            f.write(_saved_manifest)


def cmake_cache(name, default=None):
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    if default is None:
        raise AssertionError("%s not in the build's CMakeCache.txt" % name)
    return default


def cache_on(name):
    return cmake_cache(name, "OFF").upper() in ("ON", "1", "TRUE", "YES")


# CI installs Emscripten, so there the build must have built the page.
WITH_PAGE = cache_on("BRACKENREACH_WEB_PAGE_BUILT")
if CI and not WITH_PAGE:
    raise AssertionError("the build leaves the browser page out: no page to install (see its configure's lines)")
PACKAGES = ("brackenreach", "brackenreach-server") + (("brackenreach-web",) if WITH_PAGE else ())
LAYOUT.update({"share/brackenreach/web/" + name: False for name in WEB_FILES if WITH_PAGE})


def run(argv, **kw):
    """Runs a tool to completion; fails the test with its output when it fails. The tools wait
    for nothing but a CPU: the file's TIMEOUT (tests/CMakeLists.txt) bounds them, not a clock."""
    result = subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kw)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s\n%s" % (" ".join(argv), result.returncode,
                                                         result.stdout, result.stderr))
    return result.stdout


def system_carlito():
    """The Carlito file fontconfig finds on this machine, or None."""
    if not shutil.which("fc-match"):
        return None
    found = subprocess.run(["fc-match", "-f", "%{file}", "Carlito:style=Regular"],
                           capture_output=True, text=True).stdout
    return found if os.path.basename(found).startswith("Carlito") and os.path.isfile(found) else None


def set_server(config_path, port):
    """Points the user's config.ini at 127.0.0.1:port, keeping every other line."""
    with open(config_path) as f:
        text = f.read()
    text, ips = re.subn(r"(?m)^server_ip\s*=.*$", "server_ip = 127.0.0.1", text)
    text, ports = re.subn(r"(?m)^server_port\s*=.*$", "server_port = %d" % port, text)
    assert ips == 1 and ports == 1, "the default config.ini lost server_ip or server_port"
    with open(config_path, "w") as f:
        f.write(text)
    return text


def finish(game):
    """Kills what is left of a run, the launcher's whole process group included (a launcher
    that forgot to exec leaves the client behind, holding the log pipes), and closes the pipes
    the harness leaves open."""
    try:
        os.killpg(game.proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    game.proc.wait()
    game._reader.join(EXIT_TIMEOUT)
    game._err_reader.join(EXIT_TIMEOUT)
    for pipe in (game.proc.stdout, game.proc.stderr):
        pipe.close()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def unit_settings(path):
    """The [Service] settings of a systemd unit: name -> its values in order."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif line and line[0] not in "#;" and section == "[Service]":
                name, value = line.split("=", 1)
                settings.setdefault(name, []).append(value)
    return settings


def environment_file(path):
    """The variables of a systemd EnvironmentFile: KEY=VALUE lines, quotes around a value dropped."""
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and line[0] not in "#;":
                name, value = line.split("=", 1)
                quoted = len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'"
                env[name] = value[1:-1] if quoted else value
    return env


def exec_argv(exec_start, env):
    """ExecStart's words as systemd expands them: $NAME is the value split at white space."""
    argv = []
    for word in exec_start.split():
        argv.extend(env.get(word[1:], "").split() if word.startswith("$") else [word])
    return argv


class Player:
    """A user with a scratch home who starts the game with an installed launcher."""

    def __init__(self, launcher, xdg_data_home=True):
        self.launcher = launcher
        self.home = tempfile.mkdtemp(prefix="brackenreach-home-")
        self.env = {"HOME": self.home}
        if xdg_data_home:
            self.env["XDG_DATA_HOME"] = os.path.join(self.home, "data")
            self.game_dir = os.path.join(self.home, "data", "brackenreach")
        else:
            # Empty counts as unset for XDG variables.
            self.env["XDG_DATA_HOME"] = ""
            self.game_dir = os.path.join(self.home, ".local", "share", "brackenreach")

    def path(self, rel):
        return os.path.join(self.game_dir, rel)

    def start(self, env=None):
        full = dict(self.env, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
        full.update(env or {})
        # setsid (it execs, so the pid stays the launcher's) gives the run a process group of
        # its own for finish() to kill.
        return Process(["setsid", self.launcher], cwd=self.home, env=full)

    def run_to_end(self, env=None):
        """(log lines, stderr, exit status) of a run that ends by itself."""
        game = self.start(env)
        try:
            status = game.wait()
            return game.lines, game.stderr, status
        finally:
            finish(game)

    def cleanup(self):
        shutil.rmtree(self.home, ignore_errors=True)


class InstalledGameChecks:
    """What both kinds of install must do; a subclass sets self.prefix, self.games (the commands'
    directory under it), self.unit and self.env_file (the server's options) before calling these."""

    def installed(self, rel):
        return os.path.join(self.prefix, rel.format(games=self.games))

    def check_layout(self):
        for rel, executable in LAYOUT.items():
            path = self.installed(rel)
            self.assertTrue(os.path.isfile(path), "missing after install: " + rel)
            self.assertEqual(executable, os.access(path, os.X_OK), rel)
        data = os.path.join(self.prefix, "share", "brackenreach")
        source_data = os.path.join(SOURCE_DIR, "data")
        for rel in ("config.ini", "img/player2.png", "img/background3.png", "audio/softworld.wav"):
            self.assertEqual(read(os.path.join(source_data, rel)), read(os.path.join(data, rel)), rel)
        with open(self.installed("{games}/brackenreach"), "rb") as f:
            self.assertEqual(b"#!/bin/sh\n", f.readline())

    def check_desktop_entry(self):
        desktop = os.path.join(self.prefix, "share", "applications", "brackenreach.desktop")
        metainfo = os.path.join(self.prefix, "share", "metainfo", METAINFO)
        # The desktops' and the software centres' own validators (tools/setup.sh test has them).
        if shutil.which("desktop-file-validate"):
            run(["desktop-file-validate", desktop])
        if shutil.which("appstreamcli"):
            run(["appstreamcli", "validate", "--no-net", metainfo])
        launchable = ElementTree.parse(metainfo).find("launchable[@type='desktop-id']")
        self.assertEqual(os.path.basename(desktop), launchable.text)
        with open(desktop) as f:
            lines = [l.rstrip("\n") for l in f]
        self.assertEqual("[Desktop Entry]", lines[0])
        entry = dict(l.split("=", 1) for l in lines[1:] if "=" in l and not l.startswith("#"))
        self.assertEqual("Application", entry["Type"])
        # Exec and Icon are names looked up on the PATH and in the icon theme: both must resolve
        # inside this install.
        self.assertEqual("brackenreach", entry["Exec"].split()[0])
        self.assertTrue(os.access(self.installed("{games}/" + entry["Exec"].split()[0]), os.X_OK))
        icon = os.path.join(self.prefix, "share", "icons", "hicolor", "128x128", "apps", entry["Icon"] + ".png")
        header = read(icon)[:24]
        self.assertEqual(b"\x89PNG\r\n\x1a\n", header[:8])
        self.assertEqual((128, 128), struct.unpack(">II", header[16:24]))
        categories = entry["Categories"].rstrip(";").split(";")
        self.assertIn("Game", categories)
        self.assertIn("RolePlaying", categories)

    def service_command(self):
        """The server's command line as its unit starts it, once the operator has put it on a
        free port in the options file; the unit must verify and stay sandboxed."""
        if shutil.which("systemd-analyze"):
            run(["systemd-analyze", "verify", "--man=no", self.unit])
            report = run(["systemd-analyze", "security", "--offline=true", self.unit])
            exposure = re.search(r"Overall exposure level for \S+: ([0-9.]+)", report)
            self.assertLess(float(exposure.group(1)), 2.0, report)
        settings = unit_settings(self.unit)
        self.assertEqual(["-" + self.env_file], settings["EnvironmentFile"])
        with open(self.env_file) as f:
            text = f.read()
        if WITH_PAGE:
            # The page served as the options file's example (the server guide's line) serves it.
            example = re.search(r'(?m)^#\s*(BRACKENREACH_SERVER_OPTS=".* --web-root /usr/(\S+) .*")$', text)
            with open(os.path.join(SOURCE_DIR, "docs", "server.md")) as f:
                self.assertIn(example.group(1), f.read())
            line = example.group(1).replace("/usr/" + example.group(2), self.installed(example.group(2)))
            text = re.sub(r'(?m)^BRACKENREACH_SERVER_OPTS=.*$', lambda _: line, text)
            text = re.sub(r"--web-port \d+", "--web-port 0", text)
        text, edits = re.subn(r'(?m)^(BRACKENREACH_SERVER_OPTS=".*--port )\d+', r"\g<1>0", text)
        self.assertEqual(1, edits, text)
        with open(self.env_file, "w") as f:
            f.write(text)
        argv = exec_argv(settings["ExecStart"][0], environment_file(self.env_file))
        self.assertEqual(self.installed("{games}/brackenreach-server"), argv[0])
        # As root, also without what the unit takes away: its own user, capabilities, new privileges.
        if os.geteuid() == 0:
            argv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--no-new-privs",
                    "--bounding-set=-all", "--inh-caps=-all", "--"] + argv
        return argv

    def check_play(self, xdg_data_home):
        """First start seeds the user's directory; the user edits config.ini; the second start
        plays against the installed server, started the way its unit starts it, keeps the edit,
        and quits on SIGTERM."""
        launcher = self.installed("{games}/brackenreach")
        client = os.path.realpath(os.path.join(self.prefix, "libexec", "brackenreach", "brackenreach"))
        data = os.path.realpath(os.path.join(self.prefix, "share", "brackenreach"))
        player = Player(launcher, xdg_data_home)
        self.addCleanup(player.cleanup)

        lines, stderr, status = player.run_to_end(NO_VIDEO)
        self.assertEqual(["Loading config file: config.ini", "Config loaded!", "Initializing ...",
                          "Error while initializing!"], lines, stderr)
        self.assertEqual(0, status)
        config = player.path("config.ini")
        self.assertFalse(os.path.islink(config))
        self.assertEqual(read(os.path.join(data, "config.ini")), read(config))
        for sub in ("img", "audio"):
            self.assertTrue(os.path.islink(player.path(sub)), sub)
            self.assertEqual(os.path.join(data, sub), os.path.realpath(player.path(sub)))
        font = system_carlito()
        if font:
            self.assertEqual(os.path.realpath(font), os.path.realpath(player.path("calibri.ttf")))
        else:
            self.assertFalse(os.path.lexists(player.path("calibri.ttf")))

        command = self.service_command()
        server = GameServer(command[0], command[1:], timeout=START_TIMEOUT, listen=())
        try:
            page = WITH_PAGE and server.wait_for(r"^serving the page at (http://127\.0\.0\.1:\d+/)$").group(1)
            for name in WEB_FILES if page else ():
                with urllib.request.urlopen(page + name, timeout=START_TIMEOUT) as answer:
                    self.assertEqual(read(self.installed("share/brackenreach/web/" + name)), answer.read())
            edited = set_server(config, server.port)
            game = player.start()
            try:
                game.wait_for_line("Connected successfully!")
                game.wait_for_line("Loading image: img/background3.png")
                # The launcher must have become the client, or SIGTERM would only end a shell.
                self.assertEqual(client, os.readlink("/proc/%d/exe" % game.proc.pid))
                game.signal(signal.SIGTERM)
                status = game.wait()
            finally:
                finish(game)
            server.wait_for(r"^goodbye #\d+ ", timeout=START_TIMEOUT)
        finally:
            server_lines = stop_game_server(server)
        self.assertEqual(0, status, game.stderr)
        self.assertIn("Connecting to server 127.0.0.1 on port %d" % server.port, game.lines)
        self.assertIn("Connected successfully!", game.lines)
        self.assertEqual("Cleaning up ...", game.lines[-1])
        self.assertEqual(1, len([l for l in server_lines if l.startswith("goodbye #")]), server_lines)
        with open(config) as f:
            self.assertEqual(edited, f.read())


class CMakeInstallTest(InstalledGameChecks, unittest.TestCase):
    """`cmake --install` into a scratch prefix, as a user without root would."""

    games = "bin"

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="brackenreach-prefix-")
        # Readable by all: as root the server runs as an unprivileged user, as its unit runs it.
        os.chmod(cls.root, 0o755)
        cls.prefix = os.path.join(cls.root, "usr")
        cls.unit = os.path.join(cls.prefix, "lib", "systemd", "system", "brackenreach-server.service")
        cls.env_file = os.path.join(cls.prefix, "etc", "default", "brackenreach-server")
        cls.cmake = cmake_cache("CMAKE_COMMAND")
        run([cls.cmake, "--install", BUILD_DIR, "--prefix", cls.prefix])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_files_are_in_place(self):
        self.check_layout()

    def test_desktop_entry_finds_the_launcher_and_the_icon(self):
        self.check_desktop_entry()

    def test_launcher_seeds_the_user_directory_and_plays(self):
        self.check_play(xdg_data_home=False)

    def test_moved_tree_still_finds_its_parts(self):
        with tempfile.TemporaryDirectory(prefix="brackenreach-move-") as scratch:
            before = os.path.join(scratch, "before")
            after = os.path.join(scratch, "elsewhere", "opt")
            run([self.cmake, "--install", BUILD_DIR, "--prefix", before])
            os.makedirs(os.path.dirname(after))
            os.rename(before, after)
            player = Player(os.path.join(after, "bin", "brackenreach"))
            self.addCleanup(player.cleanup)
            lines, stderr, status = player.run_to_end(NO_VIDEO)
            self.assertEqual("Error while initializing!", lines[-1] if lines else stderr)
            self.assertEqual(0, status)
            for sub in ("img", "audio"):
                self.assertEqual(os.path.realpath(os.path.join(after, "share", "brackenreach", sub)),
                                 os.path.realpath(player.path(sub)))

    def test_font_link_follows_fontconfig_each_start(self):
        font = system_carlito()
        if not font:
            self.skipTest("no Carlito on this machine (fonts-crosextra-carlito)")
        player = Player(os.path.join(self.prefix, "bin", "brackenreach"))
        self.addCleanup(player.cleanup)
        fake_bin = os.path.join(player.home, "bin")
        moved = os.path.join(player.home, "fonts", "Carlito-Regular.ttf")
        os.makedirs(fake_bin)
        os.makedirs(os.path.dirname(moved))
        shutil.copyfile(font, moved)

        def fc_match_answers(path):
            script = os.path.join(fake_bin, "fc-match")
            with open(script, "w") as f:
                f.write("#!/bin/sh\nprintf '%%s' '%s'\n" % path)
            os.chmod(script, 0o755)
            return dict(NO_VIDEO, PATH=fake_bin + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))

        _, _, status = player.run_to_end(fc_match_answers(font))
        self.assertEqual(0, status)
        self.assertEqual(font, os.readlink(player.path("calibri.ttf")))

        # The font moved (a package update, say): the next start links the new place.
        _, _, status = player.run_to_end(fc_match_answers(moved))
        self.assertEqual(0, status)
        self.assertEqual(moved, os.readlink(player.path("calibri.ttf")))

        # Without Carlito fontconfig offers another family; the game must not get it as Calibri,
        # and the old link goes rather than dangle.
        other = os.path.join(player.home, "fonts", "DejaVuSans.ttf")
        shutil.copyfile(font, other)
        lines, stderr, status = player.run_to_end(fc_match_answers(other))
        self.assertEqual(0, status)
        self.assertEqual("Error while initializing!", lines[-1])
        self.assertFalse(os.path.lexists(player.path("calibri.ttf")))
        self.assertIn("Carlito not found", stderr)

    def test_users_own_files_are_kept_and_the_exit_status_passes_through(self):
        player = Player(os.path.join(self.prefix, "bin", "brackenreach"))
        self.addCleanup(player.cleanup)
        server = start_game_server(path=os.path.join(self.prefix, "bin", "brackenreach-server"))
        try:
            # A user who already has settings and replaced the music with a directory of their own
            # (empty here, so the client's music fails: it exits with status 1).
            os.makedirs(player.path("audio"))
            with open(os.path.join(self.prefix, "share", "brackenreach", "config.ini")) as f:
                defaults = f.read()
            with open(player.path("config.ini"), "w") as f:
                f.write(defaults)
            mine = set_server(player.path("config.ini"), server.port)
            lines, stderr, status = player.run_to_end()
        finally:
            stop_game_server(server)
        self.assertIn("Connected successfully!", lines, stderr)
        self.assertEqual(1, status)
        self.assertFalse(os.path.islink(player.path("audio")))
        self.assertEqual([], os.listdir(player.path("audio")))
        self.assertTrue(os.path.islink(player.path("img")))
        with open(player.path("config.ini")) as f:
            self.assertEqual(mine, f.read())


def package_status(package):
    """dpkg's status of a package; empty when dpkg has nothing of it installed."""
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
    return "" if result.returncode != 0 or result.stdout.endswith("not-installed") else result.stdout


def project_version():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(\s*brackenreach\s+VERSION\s+([0-9.]+)", f.read()).group(1)


def package_names(field):
    """Every package name a Depends-style field mentions, alternatives included."""
    return {alt.strip().split()[0] for dep in field.split(",") if dep.strip() for alt in dep.split("|")}


@unittest.skipUnless(shutil.which("dpkg-deb") and shutil.which("dpkg-query"), "no dpkg here")
class DebianPackageTest(InstalledGameChecks, unittest.TestCase):
    """The two .debs from `cpack -G DEB`, checked as Debian checks packages; as root, installed
    under /usr with dpkg, played against each other and removed again."""

    prefix = "/usr"
    games = "games"
    env_file = "/etc/default/brackenreach-server"

    @classmethod
    def setUpClass(cls):
        if cache_on("BRACKENREACH_SANITIZE"):
            raise unittest.SkipTest("a sanitizer build is not a package to ship")
        cls.out = tempfile.mkdtemp(prefix="brackenreach-deb-")
        run([cmake_cache("CMAKE_CPACK_COMMAND"), "-G", "DEB", "-B", cls.out], cwd=BUILD_DIR)
        debs = [os.path.join(cls.out, f) for f in os.listdir(cls.out) if f.endswith(".deb")]
        cls.debs = {run(["dpkg-deb", "-f", deb, "Package"]).strip(): deb for deb in debs}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def test_packages_meet_debian_standards(self):
        self.assertEqual(sorted(PACKAGES), sorted(self.debs))
        depends = {}
        for package, deb in self.debs.items():
            fields = {name: run(["dpkg-deb", "-f", deb, name]).strip()
                      for name in ("Version", "Section", "Maintainer", "Depends", "Description",
                                   "Architecture")}
            self.assertEqual(project_version(), fields["Version"])
            # The page is the same everywhere; the programs are built for this machine.
            self.assertEqual(package == "brackenreach-web", fields["Architecture"] == "all", package)
            self.assertEqual("games", fields["Section"])
            self.assertRegex(fields["Maintainer"], r"^\S.* <[^<>\s]+@[^<>\s]+>$")
            self.assertTrue(fields["Description"])
            depends[package] = package_names(fields["Depends"])
            # Paths inside a package are relative to /: only the server's options sit outside /usr.
            for line in run(["dpkg-deb", "-c", deb]).splitlines():
                self.assertRegex(line.split()[-1], r"^\./(usr/.*|etc/(default/.*)?)?$", line)
        for need in CLIENT_NEEDS:
            self.assertTrue(set(need.split("|")) & depends["brackenreach"], (need, depends["brackenreach"]))
        # dpkg-shlibdeps ran (the C++ runtime), and nothing of a desktop came with it.
        self.assertIn("libstdc++6", depends["brackenreach-server"])
        self.assertEqual([], [name for name in depends["brackenreach-server"] if DESKTOP_PACKAGE.match(name)])

        self.check_hardening()
        if not shutil.which("lintian"):
            skip_or_fail("no lintian here (tools/setup.sh test installs it)")
        result = subprocess.run(["lintian", "-I", "--pedantic", *self.debs.values()], capture_output=True,
                                text=True, stdin=subprocess.DEVNULL)
        report = result.stdout + result.stderr
        self.assertEqual([], [l for l in result.stdout.splitlines()
                              if l.startswith("E:") or re.search(r": (hardening-|binary-has-unneeded-section)", l)],
                         report)
        self.assertEqual(0, result.returncode, report)

    def check_hardening(self):
        """Every ELF file in the packages as Debian's hardening-check judges it: PIE, stack
        protector, fortified calls, relro, bind-now, stack-clash probes where it can tell, and
        control-flow protection where the C runtime's start files carry it (Debian 12's and 13's
        glibc do not, so nothing linked there can be marked; the code is compiled for it all the
        same)."""
        if not shutil.which("hardening-check"):
            skip_or_fail("no hardening-check here (tools/setup.sh test installs devscripts)")
        crt = run(["c++", "-print-file-name=Scrt1.o"]).strip()
        skip = [] if "IBT" in run(["readelf", "-nW", crt]) else ["--nocfprotection"]
        # Debian 13's hardening-check also asks for AArch64's branch protection, which binaries
        # of other architectures cannot have.
        usage = subprocess.run(["hardening-check", "--help"], capture_output=True, text=True)
        if platform.machine() != "aarch64" and "--nobranchprotection" in usage.stdout + usage.stderr:
            skip.append("--nobranchprotection")
        for package, deb in self.debs.items():
            tree = tempfile.mkdtemp(prefix="brackenreach-elf-")
            self.addCleanup(shutil.rmtree, tree, True)
            run(["dpkg-deb", "-x", deb, tree])
            files = [os.path.join(top, name) for top, _, names in os.walk(tree) for name in names]
            elves = [f for f in files if not os.path.islink(f) and read(f)[:4] == b"\x7fELF"]
            self.assertEqual(package != "brackenreach-web", bool(elves), package)
            # A binary with no call that fortifying could check is exempt only where the package
            # says so, with its reason, in its lintian overrides.
            overrides = os.path.join(tree, "usr", "share", "lintian", "overrides", package)
            unfortifiable = re.findall(r"(?m)^%s: hardening-no-fortify-functions \[(.*)\]$" % package,
                                       read(overrides).decode() if os.path.exists(overrides) else "")
            for elf in elves:
                rel = os.path.relpath(elf, tree)
                with self.subTest(package=package, binary=rel):
                    run(["hardening-check", *skip, *(["--nofortify"] if rel in unfortifiable else []), elf])

    def test_install_play_remove(self):
        if os.geteuid() != 0:
            skip_or_fail("installing a .deb needs root: run it as root (sudo tools/test.sh -R e2e_test_package)")
        # The test removes the packages at the end: never do that to a player's real install.
        for package in PACKAGES:
            if package_status(package):
                skip_or_fail("%s is already known to dpkg (%s); not touching it" % (package, package_status(package)))
        # No apt-get -f install: whatever a missing dependency is must show as a failure here.
        self.addCleanup(self.remove_quietly)
        run(["dpkg", "-i", *self.debs.values()])
        owned = set()
        for package in PACKAGES:
            self.assertEqual("install ok installed", package_status(package))
            owned |= set(run(["dpkg-query", "-L", package]).split("\n"))
        for rel in LAYOUT:
            self.assertIn(self.installed(rel), owned)
        self.assertIn(self.env_file, owned)
        units = [path for path in owned if path.endswith("/systemd/system/brackenreach-server.service")]
        self.assertEqual(1, len(units), units)
        self.unit = units[0]
        self.check_layout()
        self.check_desktop_entry()
        self.check_play(xdg_data_home=True)
        # Enabled as docs/server.md says (without a booted systemd, systemctl only makes the link).
        enabled = "/etc/systemd/system/multi-user.target.wants/brackenreach-server.service"
        if shutil.which("systemctl"):
            run(["systemctl", "enable", "brackenreach-server"])
            self.assertTrue(os.path.islink(enabled))

        run(["dpkg", "-r", *PACKAGES])
        for package in PACKAGES:
            self.assertNotEqual("install ok installed", package_status(package))
        for path in [self.installed(rel) for rel in LAYOUT] + [self.unit]:
            self.assertFalse(os.path.lexists(path), "left after dpkg -r: " + path)
        self.assertFalse(os.path.exists("/usr/share/brackenreach"))
        # The operator's options stay until a purge, which also drops the enablement.
        self.assertTrue(os.path.isfile(self.env_file))
        run(["dpkg", "--purge", *PACKAGES])
        for path in (self.env_file, enabled):
            self.assertFalse(os.path.lexists(path), "left after dpkg --purge: " + path)

    def remove_quietly(self):
        if any(package_status(package) for package in PACKAGES):
            subprocess.run(["dpkg", "--purge", *PACKAGES], capture_output=True, stdin=subprocess.DEVNULL)


if __name__ == "__main__":
    main(verbosity=1)
