"""Jobs of the app, each run by a worker process (kelvara.app.worker).

A worker is started ahead of need, with the analysis already imported, and
goes back to the pool when its job is done.  Cancelling a job stops its
worker; a worker that dies takes only its own job with it, which answers
500.  Every job has a folder (`in`: its uploads, `out`: its downloads)
under the server's temporary folder.
"""

from __future__ import annotations

import asyncio
import json
import multiprocessing
import os
import re
import shutil
import time
import uuid
from collections import OrderedDict
from typing import List, Optional, Set, Tuple

from kelvara.app import worker as worker_module
from kelvara.app.worker import error_json
from kelvara.errors import KelvaraError

__all__ = ["Job", "Jobs"]

JOB_ID = re.compile(r"^[A-Za-z0-9_-]{8,64}$")


class Worker:
    """A worker process and the server's end of its pipe."""

    def __init__(self, context):
        self.connection, child = context.Pipe()
        self.process = context.Process(target=worker_module.main, args=(child,), name="kelvara-worker", daemon=True)
        self.process.start()
        child.close()

    @property
    def alive(self):
        return self.process.is_alive()

    def kill(self):
        if self.process.is_alive():
            self.process.kill()

    def stop(self, wait=2.0):
        """Close the pipe (the worker then ends by itself), or kill it."""
        try:
            self.connection.close()
        except OSError:
            pass
        self.process.join(wait)
        if self.process.is_alive():
            self.process.kill()
            self.process.join(wait)


class Job:
    def __init__(self, job_id, command, fields, files, folder):
        self.id = job_id
        self.command = command
        self.fields: List[Tuple[str, str]] = fields
        self.files: List[str] = files
        self.folder = folder
        self.state = "waiting"
        self.progress = "waiting for a worker"
        self.status: Optional[int] = None
        self.text: Optional[str] = None  # the answer: JSON as the command writes it
        self.view: Optional[dict] = None
        self.downloads: List[str] = []
        self.warning: Optional[str] = None  # why some downloads are missing (a full disk)
        self.started = time.monotonic()
        self.cancelled = False
        self.worker: Optional[Worker] = None
        self.task: Optional[asyncio.Task] = None  # held, so that the loop does not drop it
        self.answered = asyncio.Event()
        self.finished = asyncio.Event()

    @property
    def inputs(self):
        return os.path.join(self.folder, "in")

    @property
    def outputs(self):
        return os.path.join(self.folder, "out")

    def saved_name(self, name: str) -> str:
        """What a download is saved as: after the data and the analysis
        ("pbi-c12_cooperative_fit.png"), so that a second analysis does not
        overwrite the first."""
        example = [v for k, v in self.fields if k == "example"]
        first = self.files[0] if self.files else f"example-{example[0]}" if example else "kelvara"
        stem = re.sub(r"[^\w.-]+", "-", os.path.splitext(os.path.basename(first))[0]).strip("-.") or "kelvara"
        what = self.command
        if self.command == "fit" and self.status == 200 and self.text:
            what = json.loads(self.text).get("model") or what
        return f"{stem}_{name}" if name.startswith(what) else f"{stem}_{what}_{name}"

    def answer(self, status, text, view=None):
        if self.status is None:
            self.status, self.text, self.view = status, text, view
            self.state = "answered"
        self.answered.set()

    def to_dict(self, view=True):
        out = {"id": self.id, "command": self.command, "state": self.state, "progress": self.progress,
               "seconds": round(time.monotonic() - self.started, 1), "status": self.status,
               "downloads": list(self.downloads), "warning": self.warning}
        if view and self.status is not None:
            out["error"] = json.loads(self.text)["error"] if self.status != 200 and self.text else None
            out["view"] = self.view
        return out


class Jobs:
    """The jobs of one server and the workers that run them."""

    def __init__(self, root, keep=30, concurrent=3, idle=1):
        self.root = root
        self.keep = keep
        self.idle_limit = idle
        self.jobs: "OrderedDict[str, Job]" = OrderedDict()
        self.idle: List[Worker] = []
        self.busy: List[Worker] = []
        self.context = multiprocessing.get_context("spawn")
        self.concurrent = concurrent
        self.slots: Optional[asyncio.Semaphore] = None  # made in the server's loop (Python 3.9 binds it at birth)
        self.closed = False
        # Every id given in this server's life: never given again, so that a
        # download key of a job gone (its link saved) opens no later job's.
        self.used: Set[str] = set()

    def warm(self):
        """A worker ready before the first job."""
        if not self.idle and not self.closed:
            self.idle.append(Worker(self.context))

    def new(self, job_id=None):
        """A job's id and folder: the client's id (for following its progress) or a new one."""
        if job_id is None:
            job_id = uuid.uuid4().hex
        elif not JOB_ID.match(job_id) or job_id in self.used or os.path.exists(os.path.join(self.root, job_id)):
            raise KelvaraError(f"a job id is 8 to 64 letters, digits, '-' or '_', and new: not {job_id!r}")
        self.used.add(job_id)
        folder = os.path.join(self.root, job_id)
        os.makedirs(os.path.join(folder, "in"))
        os.makedirs(os.path.join(folder, "out"))
        return job_id, folder

    def submit(self, job_id, folder, command, fields, files) -> Job:
        job = Job(job_id, command, fields, files, folder)
        self.jobs[job.id] = job
        self._forget_old()
        job.task = asyncio.get_running_loop().create_task(self._run(job))
        return job

    def get(self, job_id) -> Optional[Job]:
        """The job, kept as recently used: a page that still shows it keeps it."""
        job = self.jobs.get(job_id)
        if job is not None:
            self.jobs.move_to_end(job_id)
        return job

    def cancel(self, job):
        job.cancelled = True
        if job.worker is not None:
            job.worker.kill()
        if job.status is None and job.worker is None:
            self._cancelled(job)

    def _cancelled(self, job):
        """The answer of a job stopped before its end: by its client (409), or
        because the app is stopping (503)."""
        if job.cancelled or not self.closed:
            job.answer(409, error_json("the analysis was cancelled"))
            job.state = job.progress = "cancelled"
        else:
            job.answer(503, error_json("the app was stopped before the analysis ended"))
            job.progress = "stopped"
        job.finished.set()

    async def _run(self, job):
        if self.slots is None:
            self.slots = asyncio.Semaphore(self.concurrent)
        async with self.slots:
            try:
                if job.cancelled or self.closed:
                    self._cancelled(job)
                else:
                    worker, pooled = await self._worker(job, pooled=True)
                    if not await self._work(job, worker, retry=pooled):  # the pool's worker had died unseen
                        worker, _ = await self._worker(job, pooled=False)
                        await self._work(job, worker, retry=False)
            finally:
                if job.state != "cancelled":
                    job.state = "done"
                    if job.status == 200:
                        job.progress = "done" if job.warning is None else f"done, but {job.warning}"
                job.answered.set()
                job.finished.set()

    async def _worker(self, job, pooled):
        """A worker for `job`: the pool's spare if `pooled` and it lives, else
        a new one; and whether it came from the pool.  A new spare is started
        behind it, warm by the time the next job comes."""
        loop = asyncio.get_running_loop()
        worker = self.idle.pop() if pooled and self.idle else None
        if worker is not None and not worker.alive:
            await loop.run_in_executor(None, worker.stop)
            worker = None
        if worker is None:
            job.progress = "starting a worker"
            worker, pooled = await loop.run_in_executor(None, Worker, self.context), False
        if not self.idle and not self.closed:
            spare = await loop.run_in_executor(None, Worker, self.context)
            if self.closed:
                await loop.run_in_executor(None, spare.stop)
            else:
                self.idle.append(spare)
        return worker, pooled

    async def _work(self, job, worker, retry):
        """Run `job` on `worker`; False if the worker was dead before the job
        reached it and `retry` allows another, else True (the job answered)."""
        loop = asyncio.get_running_loop()
        if job.cancelled or self.closed:  # while a worker was starting
            await loop.run_in_executor(None, worker.stop)
            self._cancelled(job)
            return True
        job.worker = worker
        self.busy.append(worker)
        job.state = "running"
        job.progress = "starting"
        healthy = started = False
        try:
            await loop.run_in_executor(None, worker.connection.send, {
                "command": job.command, "fields": job.fields, "files": job.files,
                "folder": job.inputs, "out": job.outputs})
            while True:
                message = await loop.run_in_executor(None, worker.connection.recv)
                kind = message[0]
                if kind == "started":
                    started = True
                elif kind == "progress":
                    job.progress = message[1]
                elif kind == "warning":
                    job.warning = job.progress = message[1]
                elif kind == "answer":
                    job.answer(message[1], message[2], message[3])
                    job.progress = "writing the downloads" if message[1] == 200 else "failed"
                elif kind == "file":
                    job.downloads.append(message[1])
                elif kind == "done":
                    healthy = True
                    break
        except (EOFError, OSError):
            if job.cancelled or self.closed:
                self._cancelled(job)
            elif retry and not started:
                return False
            else:
                code = worker.process.exitcode
                job.answer(500, error_json("the analysis stopped unexpectedly (its process ended"
                                           + (f" with exit code {code})" if code is not None else ")")))
        finally:
            self.busy.remove(worker)
            job.worker = None
            if healthy and not self.closed and len(self.idle) < self.idle_limit:
                self.idle.append(worker)
            else:
                await loop.run_in_executor(None, worker.stop)
        return True

    def _forget_old(self):
        """Keep the `keep` most recently used finished fits and comparisons,
        and as many readings, with their folders: the page reads the data
        again at every change of a reading option, and such readings do not
        take the place of a fit it shows."""
        for reading in (True, False):
            kind = [j for j in self.jobs.values() if (j.command == "read") == reading]
            finished = [j for j in kind if j.finished.is_set()]
            for job in finished[:max(0, len(kind) - self.keep)]:
                del self.jobs[job.id]
                shutil.rmtree(job.folder, ignore_errors=True)

    async def close(self, wait=5.0):
        """Stop every worker; a running job answers as cancelled.

        A busy worker's pipe is read by a thread of the loop: it is killed, so
        that the read ends, and its job closes the pipe itself.  Closing the
        pipe under the reading thread would break the read mid-way."""
        self.closed = True
        for worker in self.busy + self.idle:
            worker.kill()
        running = [job.task for job in self.jobs.values() if job.task is not None and not job.task.done()]
        if running:
            await asyncio.wait(running, timeout=wait)
        loop = asyncio.get_running_loop()
        while self.idle:  # a busy worker's pipe is its job's to close
            await loop.run_in_executor(None, self.idle.pop().stop, wait)
