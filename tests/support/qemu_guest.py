"""What the tests that boot a real Debian kernel under qemu share: Debian's
packages fetched with apt-get download and unpacked with dpkg -x (never
installed here), an initramfs of the modules a test needs with their
dependencies, and the guest's console, through which the host runs one line
at a time in the guest's init and reads the answer.

The guest's init sources guest_init.sh, which answers each line with
"@@done N STATUS"; any line of its own for the host starts with "@@".  Used by tests/device_kernel (a MIPS
device) and tests/attach_kernel (an amd64 laptop and device in one guest).
"""

import ctypes
import hashlib
import json
import os
import pwd
import select
import shutil
import signal
import subprocess
import tempfile
import time

PR_SET_PDEATHSIG = 1
LIBC = ctypes.CDLL(None, use_errno=True)


def run(*command, **options):
    return subprocess.run(command, check=True, **options)


def apt_download(directory, package):
    """apt-get download as the invoking user, whose build tree this is."""
    command = ["apt-get", "-q", "-o", "APT::Sandbox::User=%s" % pwd.getpwuid(os.getuid()).pw_name,
               "download", package]
    if subprocess.run(command, cwd=directory, stdout=subprocess.DEVNULL).returncode != 0:
        # Package lists older than the architecture, or stale ones.
        run("apt-get", "update", "-qq")
        run(*command, cwd=directory, stdout=subprocess.DEVNULL)
    found = [name for name in os.listdir(directory)
             if name.startswith(package.split(":")[0] + "_") and name.endswith(".deb")]
    return os.path.join(directory, found[0])


def unpack_kernel(debs, meta, into):
    """The image package that the meta-package (e.g. linux-image-amd64)
    names for this release, unpacked into `into`; returns the release."""
    depends = subprocess.run(["dpkg-deb", "-f", apt_download(debs, meta), "Depends"], check=True,
                             capture_output=True, text=True).stdout
    image = depends.split(",")[0].split("|")[0].split()[0]
    suffix = meta[meta.index(":"):] if ":" in meta else ""
    run("dpkg", "-x", apt_download(debs, image + suffix), into)
    (release,) = os.listdir(os.path.join(into, "lib", "modules"))
    return release


def module_closure(modules_dir, names):
    """The modules' files with everything they depend on, dependencies first."""
    paths = {}
    for root, _, files in os.walk(modules_dir):
        for file in files:
            if file.endswith(".ko"):
                paths[file[:-3].replace("-", "_")] = os.path.join(root, file)
    ordered = []

    def visit(name):
        path = paths[name.replace("-", "_")]
        if path in ordered:
            return
        depends = subprocess.run(["modinfo", "-F", "depends", path], check=True,
                                 capture_output=True, text=True).stdout.strip()
        for dependency in filter(None, depends.split(",")):
            visit(dependency)
        ordered.append(path)

    for name in names:
        visit(name)
    return ordered


def stage_modules(kernel, staging, release, names):
    """The modules named and those they need, copied from the unpacked
    kernel package into the staging tree with their modules.dep, so that
    busybox's modprobe finds them."""
    modules = os.path.join(kernel, "lib", "modules", release)
    staged = os.path.join(staging, "lib", "modules", release)
    for path in module_closure(modules, names):
        target = os.path.join(staged, os.path.relpath(path, modules))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(path, target)
    # Beside the modules: the package's lists of built-in ones, and ours in order.
    for name in ["modules.builtin", "modules.builtin.modinfo"]:
        shutil.copy(os.path.join(modules, name), os.path.join(staged, name))
    with open(os.path.join(staged, "modules.order"), "w") as order:
        for root, _, files in sorted(os.walk(staged)):
            order.writelines(os.path.relpath(os.path.join(root, file), staged) + "\n"
                             for file in sorted(files) if file.endswith(".ko"))
    run("depmod", "-b", staging, release)


def console_node(staging):
    """The kernel gives init its console only if the initramfs has the node."""
    os.makedirs(os.path.join(staging, "dev"), exist_ok=True)
    os.mknod(os.path.join(staging, "dev", "console"), 0o600 | 0o020000, os.makedev(5, 1))


def base_accounts(staging):
    """root and nobody, whom the guests' programs run as, and the console."""
    with open(os.path.join(staging, "etc", "passwd"), "w") as passwd:
        passwd.write("root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n")
    with open(os.path.join(staging, "etc", "group"), "w") as group:
        group.write("root:x:0:\nnogroup:x:65534:\n")
    console_node(staging)


def cached_base(cache, recipe, build, say):
    """The kernel and the base initramfs, made once per cache directory and
    again whenever the recipe (what goes into them) changes: build(work,
    debs) stages them in work, fetching into debs, and returns the staging
    directory and the kernel image. say tells that it is made."""
    kernel = os.path.join(cache, "vmlinuz")
    digest = hashlib.sha256(json.dumps(recipe).encode()).hexdigest()[:12]
    base = os.path.join(cache, "base-%s.cpio" % digest)
    if os.path.exists(kernel) and os.path.exists(base):
        return kernel, base
    say("unpacking the kernel and busybox into %s" % cache)
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as work:
        debs = os.path.join(work, "debs")
        os.mkdir(debs)
        staging, image = build(work, debs)
        cpio(staging, base + ".new")
        shutil.copy(image, kernel + ".new")
    for stale in os.listdir(cache):
        if stale.startswith("base") and stale.endswith(".cpio"):
            os.remove(os.path.join(cache, stale))
    os.rename(base + ".new", base)
    os.rename(kernel + ".new", kernel)
    return kernel, base


def init_files(init, staging):
    """The test's init and what it sources (guest_init.sh), into staging."""
    os.makedirs(os.path.join(staging, "lib"), exist_ok=True)
    shutil.copy(init, os.path.join(staging, "init"))
    os.chmod(os.path.join(staging, "init"), 0o755)
    shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest_init.sh"),
                os.path.join(staging, "lib", "guest_init.sh"))


def cpio(directory, output):
    names = subprocess.run("find . -mindepth 1 | LC_ALL=C sort", shell=True, cwd=directory,
                           check=True, capture_output=True).stdout
    with open(output, "wb") as archive:
        subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=directory,
                       input=names, stdout=archive, check=True)


def concatenate(parts, output):
    """Archives one after the other: the kernel reads them as one."""
    with open(output, "wb") as out:
        for part in parts:
            with open(part, "rb") as archive:
                shutil.copyfileobj(archive, out)
    return output


def die_with_parent():
    """Killed when the parent ends, however it ends: a test runner's timeout
    must not leave an emulator running."""
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class GuestEnded(Exception):
    pass


class Console:
    """The emulator, and the guest's console: every line it printed with the
    time it came, and the lines of ours (after "@@") not yet taken."""

    def __init__(self, command):
        self.launched = time.monotonic()
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        os.set_blocking(self.process.stdout.fileno(), False)
        self.partial = b""
        self.lines = []           # [time, text]
        self.unread = []          # (time, text) of ours, not yet taken

    def pump(self, until, for_line=False):
        """Reads the console until the time, or the guest's end; for_line: or
        until a line of ours is there to take."""
        while not (for_line and self.unread):
            left = until - time.monotonic()
            if left <= 0:
                return
            if select.select([self.process.stdout], [], [], left)[0]:
                chunk = self.process.stdout.read()
                if not chunk:
                    self.process.wait()
                    raise GuestEnded("qemu ended with status %d" % self.process.returncode)
                self.take(time.monotonic(), chunk)

    def take(self, now, chunk):
        lines = (self.partial + chunk).split(b"\n")
        self.partial = lines.pop()
        for raw in lines:
            text = raw.decode("utf-8", "replace").replace("\r", "")
            self.lines.append([now, text])
            if "Kernel panic" in text:
                raise GuestEnded("kernel panic: " + text)
            at = text.find("@@")
            if at >= 0:
                self.unread.append((now, text[at + 2:]))

    def expect(self, prefix, limit):
        """The next line of ours that starts with the prefix, when it came,
        and the lines of ours before it."""
        deadline = time.monotonic() + limit
        taken = []
        while True:
            while self.unread:
                when, line = self.unread.pop(0)
                if line.startswith(prefix):
                    return line, when, taken
                taken.append(line)
            if time.monotonic() >= deadline:
                raise GuestEnded("no %r from the guest within %.0f s" % (prefix, limit))
            self.pump(deadline, for_line=True)

    def command(self, line, limit):
        """Runs the line in the guest's init: its status, its lines of ours,
        and when it was sent and done."""
        sent = time.monotonic()
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()
        done, when, output = self.expect("done ", limit)
        return {"line": line, "sent": sent, "done": when, "status": int(done.split()[2]),
                "output": output}

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        return self.process.returncode
