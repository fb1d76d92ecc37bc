"""The relays under test and the servers behind them. Every one gets its config in
a temporary directory of its own and runs in the foreground, so its PID is ours."""

import os
import resource
import shutil
import subprocess
import tempfile

import procs

START_SECONDS = 10


def _nofile():
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


class Relay:
    """A relay kind: start() brings up one instance listening on a free port and
    forwarding to dest_port, and returns (port, Proc or None)."""

    name = ""
    binary = ""
    # Relays only the HTTP workloads, to the backend's port that expects the PROXY header.
    http_proxy_only = False

    def missing(self):
        """Why this relay cannot run here, or None."""
        if self.binary and shutil.which(self.binary) is None:
            return f"{self.binary} not installed"
        return None

    def start(self, dest_port, workdir):
        port = procs.free_port()
        argv, cwd, env = self.command(port, dest_port, workdir)
        log = open(os.path.join(workdir, f"{self.name}.log"), "ab")
        try:
            proc = procs.start(self.name, argv, cwd=cwd, env=env, stdout=log, stderr=log)
        finally:
            log.close()
        if not procs.wait_port(port, START_SECONDS, proc):
            proc.stop()
            raise RuntimeError(f"{self.name} did not accept on port {port}")
        return port, proc

    def command(self, port, dest_port, workdir):
        raise NotImplementedError


class Direct(Relay):
    name = "direct"

    def start(self, dest_port, workdir):
        return dest_port, None


class TarnwickPico(Relay):
    name = "tarnwick-pico"

    # Keys added to the port's section (the logging variant adds LOG=1).
    extra_keys = ""

    def __init__(self, executable):
        self.executable = os.path.abspath(executable)
        self.copy_dir = None

    def missing(self):
        if not os.access(self.executable, os.X_OK):
            return f"executable not built ({self.executable})"
        return None

    def command(self, port, dest_port, workdir):
        # The program reads its settings beside its executable, so it runs from a
        # copy in a folder of its own.
        if self.copy_dir is None:
            self.copy_dir = tempfile.mkdtemp(prefix="tarnwick-", dir=workdir)
            shutil.copy2(self.executable, self.copy_dir)
        with open(os.path.join(self.copy_dir, "TarnwickPico.ini"), "w") as f:
            f.write(f"[TCP-PORT0]\nACT=1\nPORT={port}\nFORWARDHOST=127.0.0.1\n"
                    f"FORWARDPORT={dest_port}\n{self.keys(dest_port)}")
        # Its single-instance lock lives in the runtime folder: with one of its own, a
        # copy that someone runs meanwhile on this machine does not keep ours from starting.
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.copy_dir)
        exe = os.path.join(self.copy_dir, os.path.basename(self.executable))
        return [exe], self.copy_dir, env

    def keys(self, dest_port):
        return self.extra_keys


class TarnwickPicoLogging(TarnwickPico):
    """The same program writing its connection log; run only when named in --relays."""
    name = "tarnwick-pico-log"
    extra_keys = "LOG=1\n"
    on_request = True


class TarnwickPicoProxy(TarnwickPico):
    """PROXYPROTOCOL=2 in front of the HTTP backend's proxy_protocol port (HTTP workloads
    only); run only when named in --relays."""
    name = "tarnwick-pico-proxy2"
    extra_keys = "PROXYPROTOCOL=2\n"
    on_request = True
    http_proxy_only = True


class TarnwickPicoThreeDestinations(TarnwickPico):
    """Three destinations in turn (all the same backend); run only when named in --relays."""
    name = "tarnwick-pico-3dest"
    on_request = True

    def keys(self, dest_port):
        return (f"DESTINATIONS=127.0.0.1:{dest_port},127.0.0.1:{dest_port}\n"
                "BALANCE=ROUNDROBIN\n")


class Socat(Relay):
    name = "socat"
    binary = "socat"

    def command(self, port, dest_port, workdir):
        return ["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,fork,reuseaddr",
                f"TCP:127.0.0.1:{dest_port}"], None, None


class Rinetd(Relay):
    name = "rinetd"
    binary = "rinetd"

    def command(self, port, dest_port, workdir):
        conf = _write(workdir, "rinetd.conf", f"127.0.0.1 {port} 127.0.0.1 {dest_port}\n")
        return ["rinetd", "-f", "-c", conf], None, None


class Haproxy(Relay):
    binary = "haproxy"

    def __init__(self, threads):
        self.threads = threads
        self.name = "haproxy-1t" if threads == 1 else "haproxy"

    def command(self, port, dest_port, workdir):
        nbthread = f"    nbthread {self.threads}\n" if self.threads else ""
        # haproxy refuses to start when maxconn needs more descriptors than allowed.
        maxconn = max(100, (_nofile() - 40) // 2)
        conf = _write(workdir, f"{self.name}.cfg",
                      f"global\n    maxconn {maxconn}\n" + nbthread +
                      "defaults\n    mode tcp\n    timeout connect 5s\n"
                      "    timeout client 120s\n    timeout server 120s\n"
                      f"listen relay\n    bind 127.0.0.1:{port}\n"
                      f"    server dest 127.0.0.1:{dest_port}\n")
        return ["haproxy", "-db", "-f", conf], None, None


class NginxStream(Relay):
    name = "nginx-stream"
    binary = "nginx"
    module = "/usr/lib/nginx/modules/ngx_stream_module.so"

    def missing(self):
        if not os.path.exists(self.module):
            return "libnginx-mod-stream not installed"
        return super().missing()

    def command(self, port, dest_port, workdir):
        prefix = tempfile.mkdtemp(prefix="nginx-stream-", dir=workdir)
        conf = _write(prefix, "nginx.conf",
                      f"load_module {self.module};\n" + _nginx_main(prefix, "auto") +
                      f"events {{\n    worker_connections {_nofile()};\n}}\n"
                      f"stream {{\n    server {{\n        listen 127.0.0.1:{port} backlog=4096;\n"
                      f"        proxy_pass 127.0.0.1:{dest_port};\n"
                      "        proxy_timeout 120s;\n    }\n}\n")
        return ["nginx", "-p", prefix, "-c", conf, "-e", os.path.join(prefix, "error.log")], \
            None, None


def relays(tarnwick_executable):
    return [Direct(), TarnwickPico(tarnwick_executable), TarnwickPicoLogging(tarnwick_executable),
            TarnwickPicoProxy(tarnwick_executable),
            TarnwickPicoThreeDestinations(tarnwick_executable), Socat(), Rinetd(), Haproxy(1), Haproxy(None), NginxStream()]


def start_http_backend(workdir):
    """nginx serving a 1 KiB file with keep-alive, on a plain port and on one that expects
    the PROXY header first; returns (port, proxy_port, Proc)."""
    prefix = tempfile.mkdtemp(prefix="nginx-http-", dir=workdir)
    os.chmod(prefix, 0o755)  # the workers run as nobody
    os.makedirs(os.path.join(prefix, "www"))
    _write(os.path.join(prefix, "www"), "1k", "x" * 1023 + "\n")
    port = procs.free_port()
    proxy_port = procs.free_port()
    conf = _write(prefix, "nginx.conf",
                  _nginx_main(prefix, "1") +
                  f"events {{\n    worker_connections {_nofile()};\n}}\n"
                  "http {\n    access_log off;\n    default_type application/octet-stream;\n"
                  "    keepalive_requests 10000000;\n    keepalive_timeout 120s;\n"
                  f"    server {{\n        listen 127.0.0.1:{port} backlog=4096;\n"
                  f"        listen 127.0.0.1:{proxy_port} proxy_protocol backlog=4096;\n"
                  f"        root {prefix}/www;\n    }}\n}}\n")
    proc = procs.start("nginx-http", ["nginx", "-p", prefix, "-c", conf,
                                      "-e", os.path.join(prefix, "error.log")])
    if not procs.wait_port(port, START_SECONDS, proc):
        raise RuntimeError("the nginx HTTP backend did not start")
    return port, proxy_port, proc


class IperfServer:
    """The iperf3 server behind the relays; started again after a failed test,
    since a test cut off half way can leave it busy."""

    def __init__(self):
        self.port = procs.free_port()
        self.proc = None

    def ensure(self):
        if self.proc is not None and self.proc.alive():
            return True
        self.proc = procs.start("iperf3-server", ["iperf3", "-s", "-B", "127.0.0.1",
                                                  "-p", str(self.port)])
        return procs.wait_port_listening(self.port, START_SECONDS, self.proc)

    def restart(self):
        if self.proc is not None:
            self.proc.stop(grace=2)
            self.proc = None
        return self.ensure()


def start_tool_server(binary, name):
    """One of our own servers; it prints "port N" once it listens."""
    popen_proc = procs.start(name, [binary, "--max-seconds", "7200"], stdout=subprocess.PIPE)
    line = procs.read_line(popen_proc.popen, START_SECONDS)
    if not line or not line.startswith("port "):
        raise RuntimeError(f"{name} did not start")
    return int(line.split()[1]), popen_proc


def _nginx_main(prefix, workers):
    return (f"daemon off;\nmaster_process on;\nworker_processes {workers};\n"
            f"worker_rlimit_nofile {_nofile()};\npid {prefix}/nginx.pid;\n"
            f"error_log {prefix}/error.log warn;\n")


def _write(directory, name, text):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write(text)
    return path
