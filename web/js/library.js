// The library (the archive format, the code page 932 codec, patches),
// compiled to WebAssembly as createKervModule, and the worker in which it
// makes and applies patches.
//
// Patches are made and applied by the library itself, as kerv diff and
// kerv patch make and apply them: in a worker of the page, where the
// browser reads a file synchronously (FileReaderSync) as the library asks
// for its bytes, so that the page waits for nothing while it works.

const library = createKervModule();
let m = null;  // the library, once it is ready
library.then(ready => { m = ready; });

async function readSlice(blob, start, end) {
  return new Uint8Array(await blob.slice(start, end).arrayBuffer());
}

// An archive's index lives in WebAssembly memory as long as the archive
// object does (it plans updates).
const INDEX = Symbol('index');

// ---- The worker ----

let worker = null;
let nextJob = 0;
const jobs = new Map();  // id -> {take(message), fail(error)}

// The worker runs the library's own script (the page holds it once) and
// the worker's.
function startWorker() {
  if (worker) return worker;
  const source = ['kerv-module', 'kerv-worker'].map(id => document.getElementById(id).textContent);
  worker = new Worker(URL.createObjectURL(new Blob(source, { type: 'text/javascript' })));
  worker.onmessage = ({ data }) => jobs.get(data.id)?.take(data);
  worker.onerror = e => {
    e.preventDefault();
    stopWorker(new Error(e.message || 'the worker stopped'));
  };
  return worker;
}

// Ends the worker and every job in it; the next job starts another.
function stopWorker(error) {
  worker?.terminate();
  worker = null;
  for (const job of jobs.values()) job.fail(error);
  jobs.clear();
}

// Runs `op` in the worker with `args`; `onMessage` takes what it hands on
// meanwhile. Resolves to its result. `signal` stops it (the worker is
// ended: it does its work in one go).
function inWorker(op, args, onMessage = () => {}, signal = null) {
  return new Promise((resolve, reject) => {
    signal?.throwIfAborted();
    const id = nextJob++;
    const stop = () => stopWorker(signal.reason);
    jobs.set(id, {
      take: data => {
        if (data.done === undefined && data.failed === undefined) return onMessage(data);
        jobs.delete(id);
        signal?.removeEventListener('abort', stop);
        if (data.failed !== undefined) reject(new Error(data.failed));
        else resolve(data.done);
      },
      fail: reject,
    });
    signal?.addEventListener('abort', stop, { once: true });
    startWorker().postMessage({ id, op, ...args });
  });
}

// ---- Patches ----

const stem = name => name.replace(/\.[^.]*$/, '');

// A patch's complaint, as a KervError.
const patchError = (problem, name) => problemError(problem, problem.code.startsWith('patch.') ? name : null);

// What differs from the archive `olds` (a Blob, `oldName`) to `news`
// (`newName`), and with `patch` the patch that makes one from the other,
// byte for byte kerv diff --patch's: {equal, changes: [{kind ("header",
// "scenario", "changed", "added", "removed"), name, nameBytes, oldSize,
// newSize, english}], file (NEW.vcdiff, with `patch`)}. Rejects with a
// KervError for a file that is no archive, archives of two dialects, or a
// damaged one. options.onProgress(done, total) is told the bytes read.
async function diffBlobs(olds, oldName, news, newName, patch, options = {}) {
  const parts = [];
  const r = await inWorker('diff', { old: { blob: olds, name: oldName }, new: { blob: news, name: newName }, patch },
                           data => (data.patch ? parts.push(data.patch)
                                               : options.onProgress?.(data.progress.done, data.progress.total)),
                           options.signal);
  if (r.problem) throw problemError(r.problem, r.which === 'new' ? newName : r.which === 'old' ? oldName : null);
  const out = { equal: r.equal, changes: r.changes, oldName, oldSize: olds.size, newName, newSize: news.size };
  if (patch) out.file = new File(parts, `${stem(newName)}.vcdiff`, { type: 'application/vcdiff' });
  return out;
}

// What a patch's header says: {newName, oldName, oldSize, newSize} (sizes
// -1 where it names none). Rejects with a KervError where it is no patch.
async function patchHeaderOf(patch) {
  await library;
  const h = m.patchHeader(await readSlice(patch, 0, Math.min(patch.size, (1 << 20) + 64)));
  if (h.problem) throw patchError(h.problem, patch.name ?? 'patch');
  return h;
}

// The archive `archive` (a Blob) as the patch `patch` (a Blob) makes it,
// checked as kerv patch checks it: nothing of it is offered unless the
// archive is the one the patch was made from, every window has its
// checksum, and the result has the size and sum the patch promises.
// With options.writable (a FileSystemWritableFileStream) the result is
// written into it as it is made and the stream closed once it is checked,
// or aborted (the browser keeps nothing of it); without, the result is
// made of slices of the archive and the patch's bytes, and handed over
// only once checked. Resolves to {file (without writable), name, size,
// unchecked}; rejects with a KervError. A patch that cannot tell the right
// file (no sums, windows without checksums) is refused unless
// options.allowUnchecked. options.onProgress(done, total, phase) is told
// the bytes read ("checking" the archive) and made ("patching").
async function applyPatch(archive, patch, options = {}) {
  const { writable = null } = options;
  const parts = [];
  let writing = Promise.resolve();
  let r;
  try {
    r = await inWorker('apply', {
      archive: { blob: archive, name: archive.name ?? 'archive' },
      patch: { blob: patch, name: patch.name ?? 'patch' },
      allowUnchecked: Boolean(options.allowUnchecked),
    }, data => {
      if (data.progress) return options.onProgress?.(data.progress.done, data.progress.total, data.progress.phase);
      const part = data.part.bytes ?? archive.slice(data.part.from, data.part.to);
      if (writable) writing = writing.then(() => writable.write(part));
      else parts.push(part);
    }, options.signal);
    await writing;
    if (!r.ok) throw patchError(r.problem, patch.name ?? 'patch');
  } catch (e) {
    await writable?.abort().catch(() => {});
    throw e;
  }
  await writable?.close();
  const name = shortened(r.name.split(/[\\/]/).pop() || archive.name || 'archive');
  return { file: writable ? null : new File(parts, name, { type: 'application/octet-stream' }), name, size: r.size,
           unchecked: r.unchecked };
}

// Whether `archive` is the file the patch `patch` (Blobs) was made from, as
// far as the patch can tell, reading the archive once: resolves to "fits",
// or "unknown" where the patch names no file (xdelta3's); rejects with a
// KervError saying how it differs (another size: without reading it).
async function checkArchive(archive, patch, options = {}) {
  const r = await inWorker('check', { archive: { blob: archive, name: archive.name ?? 'archive' },
                                      patch: { blob: patch, name: patch.name ?? 'patch' } },
                           data => options.onProgress?.(data.progress.done, data.progress.total), options.signal);
  if (r.problem) throw patchError(r.problem, patch.name ?? 'patch');
  return r.fit;
}

// A patcher page for players (see PatcherPage.h): this page's own library
// script and the page built for them, with `patch` (a Blob) and `info`
// ({oldName, oldSize, newName, newSize, title, note}) put in. A File named
// NEW-patcher.html.
async function makePatcherPage(patch, info) {
  await library;
  const bytes = Uint8Array.from(atob($('kerv-patcher-template').textContent.trim()), c => c.charCodeAt(0));
  const template = new TextDecoder().decode(bytes).replace('@KERV_MODULE@', () => $('kerv-module').textContent);
  const page = m.patcherPage(template, await readSlice(patch, 0, patch.size),
                             { title: '', note: '', ...info });
  if (!page) throw new KervError('the patcher page could not be made');
  return new File([page], `${stem(info.newName)}-patcher.html`, { type: 'text/html' });
}
