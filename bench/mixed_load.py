#!/usr/bin/env python3
"""The peers of bench/mixed_load.sh, and its figures.

Each peer sends RAW, XPS and PDF jobs in turn (every other PDF with a text property)
from an address of its own to a printer of its own, one job at a time, until the time is
up; a job ends when all its documents are at the printer. Since a peer's printer only
ever holds the documents of that peer's current job, every document found there belongs
to it: no job needs to be told apart from another by its name. The printer's own time
for a document (the folder printer's <id>.json, ippeveprinter's kept file: the mtime of
its last write) is when the document reached the printer.

Meanwhile a sampler follows the server's resident memory with its render children and
the jobs it has under way (quillmesh_jobs_under_way on /metrics). The figures are
printed as lines that can be pasted as they are.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import threading
import time
import urllib.request
from dataclasses import dataclass, field

KINDS = ("raw", "xps", "pdf")
LABELS = ("raw", "xps", "pdf+property", "pdf")
# A job's documents must all be at the printer this long after its peer ended.
ARRIVAL_TIMEOUT_S = 600
# A CUPS queue that is idle with documents missing is asked again for this long first.
IDLE_GRACE_S = 3.0
# The folder printer has written a job's documents before its outcome: a document still
# missing this long after it is missing.
FOLDER_GRACE_S = 5.0
POLL_S = 0.05
SAMPLE_S = 0.25
# Once the peers are done, the server is given this long to end its last jobs before its
# resident memory after the load is read.
SETTLE_TIMEOUT_S = 60
# The peer waits this long for each reply (its default), then gives up on the job.
PEER_TIMEOUT_S = 900
FOLDER_DOCUMENT = re.compile(r"^\d+\.json$")


@dataclass
class Document:
    """A document at the printer: when it arrived, its pages, and (CUPS) the kept file
    that waits for its page count."""
    arrived_ns: int
    name: str = ""
    pages: int = 0
    kept: str = ""


@dataclass
class Job:
    """One job of one peer: what it was, when it started, the documents it made."""
    peer: int
    label: str
    started_ns: int
    documents: list = field(default_factory=list)
    failure: str = ""

    def pages(self):
        return sum(document.pages for document in self.documents)

    def first_ns(self):
        return min(document.arrived_ns for document in self.documents) - self.started_ns

    def whole_ns(self):
        return max(document.arrived_ns for document in self.documents) - self.started_ns


class Load:
    """What the peers share: the jobs done, the jobs in flight, the deadline."""

    def __init__(self, seconds):
        self.lock = threading.Lock()
        self.jobs = []
        self.in_flight = 0
        self.most_in_flight = 0
        self.start_ns = time.time_ns()
        self.deadline = time.monotonic() + seconds

    def job_started(self):
        with self.lock:
            self.in_flight += 1
            self.most_in_flight = max(self.most_in_flight, self.in_flight)

    def job_ended(self, job):
        with self.lock:
            self.in_flight -= 1
            self.jobs.append(job)


def peer_command(args, index, label):
    """The quillmesh-peer command line for one job of peer index."""
    command = [args.peer, "print", "--printer", args.printers[index], "--port", str(args.port),
               "--bind", f"127.0.0.{10 + index}", "--format"]
    if label == "raw":
        return command + ["raw", os.path.join(args.inputs, "raw.bin")]
    if label == "xps":
        return command + ["xps", "--devmode", os.path.join(args.inputs, "devmode.bin"),
                          "--document-name", "Mixed Load XPS", os.path.join(args.inputs, "input.xps")]
    if label == "pdf+property":
        command += ["pdf", "--property", args.property]
    else:
        command += ["pdf"]
    return command + [os.path.join(args.inputs, "input.pdf")]


def expected_documents(args, label):
    """Documents a job makes: one, or one a page for a PDF without a property."""
    return args.pages if label == "pdf" else 1


def collect_folder(args, spool, job):
    """Takes the folder printer's finished documents into the job; their count."""
    names = [name for name in os.listdir(spool) if FOLDER_DOCUMENT.match(name)]
    for name in names:
        path = os.path.join(spool, name)
        with open(path, encoding="utf-8") as description_file:
            description = json.load(description_file)
        data = os.path.join(spool, description["file"])
        document = Document(arrived_ns=os.stat(path).st_mtime_ns, name=description["file"])
        if job.label == "raw":
            if os.path.getsize(data) != args.raw_bytes:
                job.failure = f"RAW document of {os.path.getsize(data)} bytes"
        else:
            document.pages = description["pages"]
        job.documents.append(document)
        for leftover in (data, path, os.path.join(spool, name[:-len(".json")] + ".ticket.xml")):
            if os.path.exists(leftover):
                os.remove(leftover)
    return len(names)


def queue_idle(args, queue):
    """True when cupsd has no unfinished job on the queue."""
    listed = subprocess.run(["lpstat", "-h", args.cups_server, "-o", queue], capture_output=True,
                            text=True, check=False)
    return listed.returncode == 0 and not listed.stdout.strip()


def collect_cups(args, spool, job, index, sequence):
    """Moves ippeveprinter's kept documents aside for the page count; their count."""
    kept = 0
    for name in sorted(os.listdir(spool)):
        path = os.path.join(spool, name)
        if os.path.getsize(path) == 0:
            os.remove(path)  # the print command's empty output beside each document
            continue
        document = Document(arrived_ns=os.stat(path).st_mtime_ns, name=name)
        if job.label == "raw":
            if os.path.getsize(path) != args.raw_bytes:
                job.failure = f"RAW document of {os.path.getsize(path)} bytes"
            os.remove(path)
        else:
            document.kept = os.path.join(args.arrived, f"{index:02d}-{sequence:04d}-{name}")
            os.rename(path, document.kept)
        job.documents.append(document)
        kept += 1
    return kept


def kept_documents(spool):
    """Documents ippeveprinter has written to so far (its empty outputs left out)."""
    return sum(1 for name in os.listdir(spool) if os.path.getsize(os.path.join(spool, name)) > 0)


def await_folder_documents(args, spool, job):
    """Waits until the folder printer has every document of the job; takes them. The
    folder printer has written them before the outcome, so a failed job is not waited for."""
    wanted = expected_documents(args, job.label)
    deadline = time.monotonic() + (0 if job.failure else FOLDER_GRACE_S)
    while sum(1 for name in os.listdir(spool) if FOLDER_DOCUMENT.match(name)) < wanted:
        if time.monotonic() > deadline:
            break
        time.sleep(POLL_S)
    return collect_folder(args, spool, job)


def await_cups_documents(args, index, spool, job, sequence):
    """Waits until cupsd handed every document on and ippeveprinter kept them; takes them.
    After a failed job only until the queue is idle, so that none is left for the next."""
    wanted = 1_000_000 if job.failure else expected_documents(args, job.label)
    queue = args.printers[index]
    deadline = time.monotonic() + ARRIVAL_TIMEOUT_S
    idle_since = None
    asked = 0.0
    while time.monotonic() < deadline:
        enough = kept_documents(spool) >= wanted
        # cupsd is asked at once when the documents are there, else once a second.
        if enough or time.monotonic() - asked >= 1.0:
            asked = time.monotonic()
            if queue_idle(args, queue):
                if enough:
                    break
                idle_since = idle_since or asked
                if asked - idle_since > IDLE_GRACE_S:
                    break
        time.sleep(POLL_S)
    return collect_cups(args, spool, job, index, sequence)


def run_job(args, load, index, label, sequence):
    """Sends one job and waits for its documents at the printer."""
    spool = args.spools[index]
    load.job_started()
    job = Job(peer=index, label=label, started_ns=time.time_ns())
    try:
        peer = subprocess.run(peer_command(args, index, label), stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, timeout=PEER_TIMEOUT_S, check=False)
        if peer.returncode != 0:
            lines = peer.stderr.strip().splitlines() or ["no message"]
            job.failure = f"the peer exited {peer.returncode}: {lines[-1]}"
        if args.kind == "folder":
            arrived = await_folder_documents(args, spool, job)
        else:
            arrived = await_cups_documents(args, index, spool, job, sequence)
        wanted = expected_documents(args, label)
        if arrived != wanted and not job.failure:
            names = ", ".join(document.name for document in job.documents)
            job.failure = f"{arrived} of {wanted} documents reached the printer: {names}"
    except subprocess.TimeoutExpired:
        job.failure = f"the peer did not end within {PEER_TIMEOUT_S} s"
    finally:
        load.job_ended(job)


def run_peer(args, load, index):
    """One peer: RAW, XPS and PDF in turn from its own place in the turn, until the time is up."""
    sequence = 0
    pdf_jobs = index
    while time.monotonic() < load.deadline:
        kind = KINDS[(index + sequence) % len(KINDS)]
        label = kind
        if kind == "pdf":
            label = "pdf+property" if pdf_jobs % 2 == 0 else "pdf"
            pdf_jobs += 1
        run_job(args, load, index, label, sequence)
        sequence += 1


def proportional_kb(pid):
    """Pss of a process in kB (shared pages split among their sharers), 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/smaps_rollup", encoding="ascii") as rollup:
            for line in rollup:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def descendants(pid):
    """The process and every process below it."""
    found, waiting = [], [pid]
    while waiting:
        current = waiting.pop()
        found.append(current)
        try:
            tasks = os.listdir(f"/proc/{current}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{current}/task/{task}/children", encoding="ascii") as children:
                    waiting.extend(int(child) for child in children.read().split())
            except OSError:
                continue
    return found


def jobs_under_way(admin):
    """The server's quillmesh_jobs_under_way, or None when /metrics does not answer."""
    try:
        with urllib.request.urlopen(f"http://{admin}/metrics", timeout=2) as answer:
            for line in answer.read().decode("utf-8", "replace").splitlines():
                if line.startswith("quillmesh_jobs_under_way "):
                    return int(float(line.split()[1]))
    except (OSError, ValueError):
        return None
    return None


def await_no_jobs_under_way(admin):
    """Waits until the server has no job under way (or does not say), at most SETTLE_TIMEOUT_S."""
    deadline = time.monotonic() + SETTLE_TIMEOUT_S
    while jobs_under_way(admin) and time.monotonic() < deadline:
        time.sleep(SAMPLE_S)


class Sampler(threading.Thread):
    """Keeps the largest resident memory of the server with its children, and the most
    jobs the server had under way, until stopped."""

    def __init__(self, server_pid, admin):
        super().__init__(daemon=True)
        self.server_pid = server_pid
        self.admin = admin
        self.peak_tree_kb = 0
        self.peak_tree_pss_kb = 0
        self.most_children = 0
        self.most_under_way = None
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            tree = descendants(self.server_pid)
            self.most_children = max(self.most_children, len(tree) - 1)
            self.peak_tree_kb = max(self.peak_tree_kb, sum(status_kb(pid, "VmRSS") for pid in tree))
            self.peak_tree_pss_kb = max(self.peak_tree_pss_kb, sum(proportional_kb(pid) for pid in tree))
            under_way = jobs_under_way(self.admin)
            if under_way is not None:
                self.most_under_way = max(self.most_under_way or 0, under_way)
            self.stopping.wait(SAMPLE_S)


def status_kb(pid, name):
    """A kB figure of /proc/PID/status (VmHWM, VmRSS), 0 once the process is gone."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith(name + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def pdf_pages(path):
    """Pages of a PDF as Ghostscript counts them, 0 when it cannot read it."""
    counted = subprocess.run(
        ["gs", "-q", "-dNODISPLAY", "-dNOSAFER", "-dBATCH", "-c",
         f"({path}) (r) file runpdfbegin pdfpagecount = quit"],
        capture_output=True, text=True, check=False)
    try:
        return int(counted.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return 0


def count_kept_pages(jobs):
    """CUPS: the pages of every kept document, counted once the load is over."""
    for job in jobs:
        for document in job.documents:
            if document.kept:
                document.pages = pdf_pages(document.kept)
                os.remove(document.kept)


def check_pages(args, jobs):
    """A PDF or XPS job whose documents hold other than all its pages failed."""
    for job in jobs:
        if job.label != "raw" and not job.failure and job.pages() != args.pages:
            job.failure = f"{job.pages()} of {args.pages} pages reached the printer"


def percentile(values, share):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * share // 100))
    return ordered[int(rank) - 1]


def seconds(ns):
    return ns / 1e9


def latency_row(name, jobs):
    """One row of the latency table: jobs, first page median and 95th, whole job median,
    95th and max, in seconds."""
    if not jobs:
        return f"  {name:<13} {0:>5}"
    first = [seconds(job.first_ns()) for job in jobs]
    whole = [seconds(job.whole_ns()) for job in jobs]
    return (f"  {name:<13} {len(jobs):>5}   {percentile(first, 50):>8.2f} {percentile(first, 95):>7.2f}"
            f"   {percentile(whole, 50):>8.2f} {percentile(whole, 95):>7.2f} {max(whole):>7.2f}")


def pages_within(jobs, end_ns):
    """Pages of the jobs' documents that reached the printer by end_ns."""
    return sum(document.pages for job in jobs for document in job.documents
               if document.arrived_ns <= end_ns)


def report(args, load, sampler, hwm_kb, after_kb):
    """Prints the figures."""
    jobs = load.jobs
    done = [job for job in jobs if not job.failure]
    failed = [job for job in jobs if job.failure]
    window_end_ns = load.start_ns + int(args.seconds * 1e9)
    pages = pages_within(done, window_end_ns)
    # The whole run: until the last document arrived, so that jobs finishing together
    # just after the time is up are not all left out.
    run_ns = max((job.started_ns + job.whole_ns() for job in done), default=load.start_ns + 1) - load.start_ns
    run_minutes = run_ns / 60e9
    run_pages = sum(job.pages() for job in done)
    raw_mib = sum(1 for job in done if job.label == "raw") * args.raw_bytes / 1048576
    counts = ", ".join(f"{label} {sum(1 for job in done if job.label == label)}" for label in LABELS)
    load_average = " ".join(f"{figure:.2f}" for figure in os.getloadavg())
    print(f"{args.title}: {args.peers} peers for {args.seconds:g} s (load average at the end {load_average})")
    print(f"  jobs done: {len(done)} ({counts}); failed: {len(failed)}")
    print(f"  pages per minute at the printer: {run_pages / run_minutes:.0f} over the whole run "
          f"({run_pages} pages of XPS and PDF documents in {run_ns / 1e9:.1f} s, to the last document), "
          f"{pages / (args.seconds / 60):.0f} within the first {args.seconds:g} s ({pages} pages); "
          f"RAW {raw_mib / run_minutes:.0f} MiB per minute")
    print("  seconds        jobs   first page: median  95th   whole job: median  95th     max")
    print(latency_row("all", done))
    for label in LABELS:
        print(latency_row(label, [job for job in done if job.label == label]))
    most = sampler.most_under_way if sampler.most_under_way else load.most_in_flight
    rss_mib, pss_mib = sampler.peak_tree_kb / 1024, sampler.peak_tree_pss_kb / 1024
    print(f"  peak memory: VmHWM {hwm_kb / 1024:.1f} MiB; server with render children, sampled: "
          f"RSS {rss_mib:.1f} MiB, PSS {pss_mib:.1f} MiB; most jobs in flight {most} (server), "
          f"{load.most_in_flight} (peers); most render children {sampler.most_children}; "
          f"VmRSS once no job is under way {after_kb / 1024:.1f} MiB")
    print(f"  peak memory per job in flight: VmHWM {hwm_kb / 1024 / most:.1f} MiB; with render children "
          f"RSS {rss_mib / most:.1f} MiB, PSS {pss_mib / most:.1f} MiB")
    if done:
        slowest = max(done, key=Job.whole_ns)
        print(f"  longest job: peer {slowest.peer:02d}, {slowest.label}, started "
              f"{(slowest.started_ns - load.start_ns) / 1e9:.1f} s into the run, whole after "
              f"{seconds(slowest.whole_ns()):.2f} s")
    print(f"  failures: {len(failed)}")
    for job in failed:
        print(f"    peer {job.peer:02d} {job.label}: {job.failure}")
    return len(failed)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=("folder", "cups"), required=True)
    parser.add_argument("--title", required=True, help="the first line of the figures")
    parser.add_argument("--peer", required=True, help="the quillmesh-peer binary")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--server-pid", type=int, required=True)
    parser.add_argument("--admin", required=True, help="HOST:PORT of the administrator's window")
    parser.add_argument("--inputs", required=True, help="folder of raw.bin, input.xps, devmode.bin, input.pdf")
    parser.add_argument("--printers", required=True, help="comma-separated, one a peer")
    parser.add_argument("--spools", required=True, help="comma-separated folders, one a peer")
    parser.add_argument("--arrived", help="CUPS: where kept documents wait for their page count")
    parser.add_argument("--cups-server", default=os.environ.get("CUPS_SERVER", ""))
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--pages", type=int, required=True, help="pages of the XPS and PDF inputs")
    parser.add_argument("--raw-bytes", type=int, required=True)
    parser.add_argument("--property", required=True)
    args = parser.parse_args()
    args.printers = args.printers.split(",")
    args.spools = args.spools.split(",")
    args.peers = len(args.printers)
    if len(args.spools) != args.peers or args.peers > 240:
        parser.error("one spool folder a printer, at most 240 peers")
    return args


def main():
    args = parse_arguments()
    sampler = Sampler(args.server_pid, args.admin)
    sampler.start()
    load = Load(args.seconds)
    peers = [threading.Thread(target=run_peer, args=(args, load, index)) for index in range(args.peers)]
    for peer in peers:
        peer.start()
    for peer in peers:
        peer.join()
    sampler.stopping.set()
    sampler.join()
    hwm_kb = status_kb(args.server_pid, "VmHWM")
    await_no_jobs_under_way(args.admin)
    after_kb = status_kb(args.server_pid, "VmRSS")
    count_kept_pages(load.jobs)
    check_pages(args, load.jobs)
    return 1 if report(args, load, sampler, hwm_kb, after_kb) else 0


if __name__ == "__main__":
    sys.exit(main())
