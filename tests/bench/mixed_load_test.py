#!/usr/bin/env python3
"""The mixed-load benchmark's accounting, against a stand-in peer that leaves documents in
its folder-printer folder as the server would: which jobs count as done, which failed and
why, and which pages count within the time. Runs no server."""
import os
import sys
import tempfile
import textwrap
import types
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import mixed_load  # noqa: E402

# The stand-in peer: writes FAKE_DOCUMENTS documents of FAKE_PAGES pages (a RAW job: one
# .prn of FAKE_BYTES bytes) into FAKE_SPOOL as the folder printer names them, the
# description last and in one step, then says FAKE_MESSAGE on standard error and exits
# FAKE_EXIT. With FAKE_LATE=1 the last document comes from a child once the peer ended.
FAKE_PEER = textwrap.dedent("""\
    #!/usr/bin/env python3
    import json, os, sys, time
    spool = os.environ["FAKE_SPOOL"]
    raw = "raw" in sys.argv

    def write(number):
        data = f"{number}." + ("prn" if raw else "pdf")
        with open(os.path.join(spool, data), "wb") as out:
            out.write(b"x" * int(os.environ["FAKE_BYTES"]))
        with open(os.path.join(spool, ".partial"), "w") as out:
            json.dump({"pages": int(os.environ["FAKE_PAGES"]), "file": data}, out)
        os.rename(os.path.join(spool, ".partial"), os.path.join(spool, f"{number}.json"))

    documents = int(os.environ["FAKE_DOCUMENTS"])
    late = os.environ.get("FAKE_LATE") == "1"
    for number in range(1, documents + (0 if late else 1)):
        write(number)
    if late and os.fork() == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # the driver waits for its peer's stderr to close
        time.sleep(1)
        write(documents)
        os._exit(0)
    print(os.environ.get("FAKE_MESSAGE", ""), file=sys.stderr)
    sys.exit(int(os.environ.get("FAKE_EXIT", "0")))
    """)

PAGES = 3
RAW_BYTES = 64


class FolderJobs(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        root = self.scratch.name
        self.spool = os.path.join(root, "Bench-01")
        os.mkdir(self.spool)
        peer = os.path.join(root, "peer")
        with open(peer, "w", encoding="utf-8") as out:
            out.write(FAKE_PEER)
        os.chmod(peer, 0o755)
        self.args = types.SimpleNamespace(
            kind="folder", peer=peer, port=1, printers=["Bench-01"], spools=[self.spool],
            inputs=root, arrived=root, pages=PAGES, raw_bytes=RAW_BYTES, property="PageSize:A4")
        os.environ.update(FAKE_SPOOL=self.spool, FAKE_BYTES=str(RAW_BYTES), FAKE_EXIT="0", FAKE_LATE="0")
        # Generous: a document that does not come costs this much once.
        mixed_load.FOLDER_GRACE_S = 10

    def tearDown(self):
        self.scratch.cleanup()

    def run_job(self, label, documents, pages, **environment):
        """One job through the driver; its record after the page check."""
        os.environ.update(FAKE_DOCUMENTS=str(documents), FAKE_PAGES=str(pages), **environment)
        load = mixed_load.Load(seconds=60)
        mixed_load.run_job(self.args, load, 0, label, 0)
        mixed_load.check_pages(self.args, load.jobs)
        self.assertEqual(load.in_flight, 0)
        self.assertEqual(os.listdir(self.spool), [], "the next job would find these documents")
        return load.jobs[0]

    def test_complete_jobs_are_done_with_their_pages_and_times(self):
        pdf = self.run_job("pdf", documents=PAGES, pages=1)
        self.assertEqual((pdf.failure, pdf.pages(), len(pdf.documents)), ("", PAGES, PAGES))
        self.assertLessEqual(0, pdf.first_ns())
        self.assertLessEqual(pdf.first_ns(), pdf.whole_ns())
        whole = self.run_job("pdf+property", documents=1, pages=PAGES)
        self.assertEqual((whole.failure, whole.pages()), ("", PAGES))
        raw = self.run_job("raw", documents=1, pages=1)
        self.assertEqual((raw.failure, raw.pages()), ("", 0), "RAW data has no pages to count")
        late = self.run_job("pdf", documents=PAGES, pages=1, FAKE_LATE="1")
        self.assertEqual((late.failure, late.pages()), ("", PAGES), "a document just after the outcome counts")

    def test_what_falls_short_of_the_printer_fails_the_job(self):
        self.assertEqual(self.run_job("pdf", documents=PAGES - 1, pages=1).failure,
                         f"{PAGES - 1} of {PAGES} documents reached the printer: 1.pdf, 2.pdf")
        self.assertEqual(self.run_job("xps", documents=1, pages=PAGES - 1).failure,
                         f"{PAGES - 1} of {PAGES} pages reached the printer")
        self.assertEqual(self.run_job("raw", documents=1, pages=1, FAKE_BYTES=str(RAW_BYTES - 1)).failure,
                         f"RAW document of {RAW_BYTES - 1} bytes")

    def test_a_job_its_peer_saw_fail_is_a_failure_with_the_peers_reason(self):
        job = self.run_job("xps", documents=0, pages=0, FAKE_EXIT="1",
                           FAKE_MESSAGE="quillmesh-peer: the job failed: printer not found")
        self.assertEqual(job.failure, "the peer exited 1: quillmesh-peer: the job failed: printer not found")
        partial = self.run_job("pdf", documents=1, pages=1, FAKE_EXIT="1", FAKE_MESSAGE="")
        self.assertEqual(partial.failure, "the peer exited 1: no message")


class Figures(unittest.TestCase):
    def test_nearest_rank_percentiles_at_their_edges(self):
        twenty = list(range(1, 21))
        self.assertEqual(mixed_load.percentile(twenty, 95), 19)
        self.assertEqual(mixed_load.percentile(twenty + [21], 95), 20)
        self.assertEqual(mixed_load.percentile([4, 1], 50), 1)
        self.assertEqual(mixed_load.percentile([7], 95), 7)

    def test_pages_count_up_to_the_end_of_the_time_and_not_after(self):
        job = mixed_load.Job(peer=0, label="pdf", started_ns=0, documents=[
            mixed_load.Document(arrived_ns=999, pages=1), mixed_load.Document(arrived_ns=1000, pages=2),
            mixed_load.Document(arrived_ns=1001, pages=4)])
        self.assertEqual(mixed_load.pages_within([job], end_ns=1000), 3)
        self.assertEqual(mixed_load.pages_within([job], end_ns=998), 0)


if __name__ == "__main__":
    unittest.main()
