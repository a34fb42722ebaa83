// Archives opened, packed and changed: the library says which bytes of an
// archive it needs, and this reads them as slices of its Blob, so that an
// archive of any size opens in a few small reads; no data file is copied
// into WebAssembly memory, and an archive packed or edited is a Blob made
// of slices and files themselves. window.kerv offers it all to scripts.

// ---- Opening an archive ----

// How much of an archive one slice reads. A read costs about a
// millisecond in Chromium whatever its size, up to some hundred kilobytes;
// so where blocks are small, one slice reads through about 16 of them and
// gets all their size fields, and where they are large each size field
// gets a small slice of its own.
const kSmallWindow = 4096;
const kLargestWindow = 4 << 20;
const kLargestBlockReadThrough = 256 << 10;

// The next slice's size, after a slice that yielded the entries [from..to).
function nextWindow(index, window, from, to) {
  if (to === from) return window;
  let total = 0;
  for (let i = from; i < to; ++i) total += index.entrySize(i) + 4;
  const mean = total / (to - from);
  if (mean > kLargestBlockReadThrough) return kSmallWindow;
  return Math.min(kLargestWindow, Math.max(kSmallWindow, 16 * mean, to - from > 1 ? 2 * window : 0));
}

const indexes = new FinalizationRegistry(index => index.delete());
const PARTS = { 'the header': 'header', 'the scenario': 'scenario', 'a block size': 'size' };

// Indexes the archive held in `blob`. Resolves to what the archive holds;
// rejects with a KervError (its problem the reader's reason) when the
// Blob is no archive, or is cut short in its header or scenario.
// options.onProgress(n) is told the number of data blocks read so far;
// options.signal (an AbortSignal) stops the reading.
async function open(blob, options = {}) {
  await library;
  const index = new m.ArchiveIndex(blob.size);
  try {
    let window = kSmallWindow;
    let told = performance.now();
    for (let length; (length = index.nextLength()) > 0;) {
      options.signal?.throwIfAborted();
      const offset = index.nextOffset();
      const bytes = await readSlice(blob, offset, Math.min(blob.size, offset + Math.max(length, window)));
      if (bytes.length < length) {
        const part = PARTS[index.nextPart()] ?? 'size';
        throw new KervError(TEXTS.en.shrank(TEXTS.en.parts[part]), { key: 'shrank', args: [TEXTS.en.parts[part]] });
      }
      const before = index.entryCount();
      index.supply(offset, bytes);
      window = nextWindow(index, window, before, index.entryCount());
      if (options.onProgress && performance.now() - told > 100) {
        told = performance.now();
        options.onProgress(index.entryCount());
      }
    }
    options.signal?.throwIfAborted();
    const problem = index.problem();
    if (problem) throw problemError(problem);

    // The lists in a task of their own each: a list of 20,000 takes a while.
    const pause = () => new Promise(resolve => setTimeout(resolve, 0));
    await pause();
    const list = index.entries();
    const shown = list.shown.split('\0');
    const entries = Array.from(list.ends, (end, i) => Object.freeze({
      name: shown[i], nameBytes: list.names.subarray(i > 0 ? list.ends[i - 1] : 0, end),
      offset: list.offsets[i], size: list.sizes[i],
    }));
    await pause();
    options.signal?.throwIfAborted();
    const header = index.header();
    const listed = (names, n) => (n > 0 ? names.split('\0') : []);
    const name = blob.name ?? 'archive.krv';
    const scenarioName = index.scenarioFileName(name);
    const archive = Object.freeze({
      name,
      dialect: index.dialect(),
      scenarioSuffix: index.scenarioSuffix(),  // "ker" or "psc"
      version: index.version(),
      waitingTime: index.waitingTime(),
      entries: Object.freeze(entries),
      damage: Object.freeze(index.damage()),   // problems, each with its offset
      scenario: index.scenario(),
      // The scenario for a text box: CR LF as LF, a CR that no LF follows as ␍.
      scenarioEditable: index.editableScenario(),
      // The scenario's own file name, as kerv extract names it (story.krv
      // gives story.ker), and why it is not created where Windows would
      // not take it as a file's name (null when it is).
      scenarioName: scenarioName.path,
      scenarioNameProblem: scenarioName.problem ?? null,
      header: Object.freeze({
        title: header.title,
        fileList: listed(header.fileList, header.fileListLength),
        secondList: listed(header.secondList, header.secondListLength),
        // KERV's second number of the header line, in hundredths; null for P-KERV.
        headerValue: header.headerValue >= 0 ? header.headerValue : null,
      }),
      // The data of one entry: a slice of the archive, nothing copied.
      entryBlob(entry) {
        return blob.slice(entry.offset, entry.offset + entry.size);
      },
      [INDEX]: { index, blob },
    });
    indexes.register(archive, index);
    return archive;
  } catch (e) {
    index.delete();
    throw e;
  }
}

// ---- Packing and updating ----

// A path for matching: '\' taken as '/', without empty and '.' parts.
const pathKey = name => name.replace(/\\/g, '/').split('/').filter(p => p !== '' && p !== '.').join('/');
const utf8 = new TextDecoder('utf-8', { fatal: true });
const asUtf8 = bytes => {
  try {
    return utf8.decode(bytes);
  } catch {
    return null;
  }
};

// Finds, among picked files, the file of each name of a file list as
// kerv create finds it: by the name as stored (the bytes as a UTF-8
// system names a file), then by its decoded name, '\' separating folders
// either way; by the path below a picked folder first, then by the name
// of a file picked alone.
function fileFinder(files) {
  const byPath = new Map();
  const byName = new Map();
  for (const file of files) {
    if (file.webkitRelativePath) {
      byPath.set(pathKey(file.webkitRelativePath.split('/').slice(1).join('/')), file);
    } else if (!byName.has(file.name)) {
      byName.set(file.name, file);
    }
  }
  return nameBytes => {
    for (const name of [asUtf8(nameBytes), m.decodeName(nameBytes)]) {
      if (name === null) continue;
      const key = pathKey(name);
      const file = byPath.get(key) ?? byName.get(key) ?? byName.get(key.split('/').pop());
      if (file) return file;
    }
    return null;
  };
}

// The data files a scenario's plan lists, found among `files`: for each
// name {name (for people), nameBytes, file, problem}, problem being the
// library's (a name that leads outside) or the page's ('missing',
// 'tooLarge', 'collide' with `other`).
function matchDataFiles(plan, files) {
  const find = fileFinder(files);
  const names = plan.names();
  const outside = plan.nameProblems();
  const seen = new Map();  // file -> the first name that found it
  return names.map((nameBytes, i) => {
    const name = m.showName(nameBytes);
    if (outside[i]) return { name, nameBytes, file: null, problem: outside[i] };
    const file = find(nameBytes);
    if (!file) return { name, nameBytes, file: null, problem: 'missing' };
    if (file.size > m.PackPlan.maxBlockSize()) return { name, nameBytes, file, problem: 'tooLarge' };
    const first = seen.get(file);
    if (first && !sameBytes(first.nameBytes, nameBytes)) return { name, nameBytes, file, problem: 'collide', other: first.name };
    if (!first) seen.set(file, { nameBytes, name });
    return { name, nameBytes, file, problem: null };
  });
}

const sameBytes = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);

// Packs `scenarioFile` and the data files its file list names, found
// among `files` (as kerv create finds them; names that are absolute or
// hold '..' are refused). Resolves to the archive as a File (a Blob with
// a name), byte for byte what krvmake or pkvmake would make; rejects with
// a KervError that names the cause when it cannot be made.
async function pack(scenarioFile, files) {
  await library;
  const tooLong = m.PackPlan.lengthProblem(scenarioFile.size);
  if (tooLong) throw problemError(tooLong, scenarioFile.name);
  const plan = new m.PackPlan(await readSlice(scenarioFile, 0, scenarioFile.size));
  try {
    const problem = plan.problem();
    if (problem) throw problemError(problem, scenarioFile.name);
    const found = matchDataFiles(plan, Array.from(files).filter(f => f !== scenarioFile));
    const refused = found.find(f => f.problem && typeof f.problem === 'object');
    if (refused) throw textError('packRefused', refused.name, refused.problem.english);
    const collide = found.find(f => f.problem === 'collide');
    if (collide) throw textError('packCollide', collide.other, collide.name);
    const missing = found.filter(f => f.problem === 'missing').map(f => f.name);
    if (missing.length > 0) throw textError('notPicked', scenarioFile.name, missing.join(', '));
    const tooLarge = found.filter(f => f.problem === 'tooLarge').map(f => `${f.name} (${f.file.size} bytes)`);
    if (tooLarge.length > 0) throw textError('tooLarge', m.PackPlan.maxBlockSize(), tooLarge.join(', '));
    const parts = [plan.head()];
    for (const f of found) parts.push(m.PackPlan.sizeField(f.file.size), f.file);
    return new File(parts, plan.archiveName(scenarioFile.name), { type: 'application/octet-stream' });
  } finally {
    plan.delete();
  }
}

// The archive `archive` (from open()) changed. `changes`:
//   replace:    {decoded name: Blob}: every occurrence of that name;
//   replaceAt:  {entry index: Blob}: every occurrence of that entry's
//               stored name (a row of the table, however its name shows);
//   add:        [[stored name (Uint8Array), Blob], ...]: files for names
//               the new scenario lists that the archive lacks;
//   scenarioText: the scenario's new text (CR LF or LF line ends; a lone
//               CR, or ␍ as the page shows it, is a CR), or
//   scenario:   its bytes.
// Resolves to a File with the archive's name, made of slices of the
// opened archive and the new Blobs: with no change, the archive byte for
// byte. Rejects with a KervError saying why it cannot be made.
async function update(archive, changes = {}) {
  const { parts } = await planUpdate(archive, changes);
  return new File(parts, archive.name, { type: 'application/octet-stream' });
}

// The archive changed, as update() makes it: {parts} for a Blob, and
// {pieces}, each a copy of the opened archive ({copy, length}), bytes
// ({bytes}) or a Blob ({blob}), for a patch.
async function planUpdate(archive, changes) {
  await library;
  const { index, blob } = archive[INDEX];
  let scenario = null;
  if (typeof changes.scenarioText === 'string') {
    const text = changes.scenarioText.replace(/\r\n/g, '\n').replace(/\r/g, '\u240d');
    const encoded = index.encodeScenario(text);
    if (encoded.error) {
      if (encoded.character === 0xffffffff) throw textError('notUtf8Here', encoded.line, encoded.column);
      const c = String.fromCodePoint(encoded.character);
      throw textError('encodeError', encoded.line, encoded.column, `U+${hex(encoded.character, 4)} '${c}'`);
    }
    scenario = encoded.bytes;
  } else if (changes.scenario) {
    scenario = new Uint8Array(changes.scenario);
  }
  // The names the replacements may have: the new scenario's list, else the archive's.
  let names = archive.entries.map(e => e.nameBytes);
  if (scenario) {
    const plan = new m.PackPlan(scenario);
    try {
      const problem = plan.problem();
      if (problem) throw textError('newScenario', problem);
      names = plan.names();
    } finally {
      plan.delete();
    }
  }
  const given = [];  // [stored name, Blob]
  for (const [name, file] of Object.entries(changes.replace ?? {})) {
    const at = m.nameIndex(names, name);
    const stored = at >= 0 ? names[at] : names.find(n => m.showName(n) === name);
    if (!stored) throw textError('noDataFile', name);
    given.push([stored, file]);
  }
  for (const [at, file] of Object.entries(changes.replaceAt ?? {})) {
    const entry = archive.entries[Number(at)];
    if (!entry) throw textError('noDataFile', `#${at}`);
    given.push([entry.nameBytes, file]);
  }
  for (const [name, file] of changes.add ?? []) given.push([new Uint8Array(name), file]);
  // One file per name: the same file given twice for a name is given once.
  const replaced = [];
  const files = [];
  for (const [name, file] of given) {
    const i = replaced.findIndex(r => sameBytes(r.name, name));
    if (i >= 0 && files[i] !== file) throw textError('givenTwice', m.showName(name));
    if (i < 0) {
      replaced.push({ name, size: file.size });
      files.push(file);
    }
  }
  const plan = index.update(scenario, replaced);
  if (plan.problem) throw plan.newScenario ? textError('newScenario', plan.problem) : problemError(plan.problem);
  const parts = plan.pieces.map(p => p.bytes ?? (p.file !== undefined ? files[p.file]
                                                                       : blob.slice(p.offset, p.offset + p.length)));
  const pieces = plan.pieces.map(p => (p.bytes ? { bytes: p.bytes } : p.file !== undefined ? { blob: files[p.file] }
                                                                                     : { copy: p.offset, length: p.length }));
  return { parts, pieces };
}

// What differs between two opened archives, as kerv diff says it:
// {equal, changes}.
const diff = (olds, news, options = {}) =>
  diffBlobs(olds[INDEX].blob, olds.name, news[INDEX].blob, news.name, false, options);

// The patch that makes `news` (an archive from open(), or changes as
// update() takes them) from the archive `olds`: {file (NAME.vcdiff),
// changes, equal}, byte for byte the patch kerv diff --patch makes of the
// same two files. xdelta3 applies it ('xdelta3 -d -s OLD PATCH'), and so do
// applyPatch() and kerv patch, which check first that the archive is the
// one it was made from.
async function makePatch(olds, news, options = {}) {
  const edited = news?.[INDEX] ? news[INDEX].blob : await update(olds, news ?? {});
  return diffBlobs(olds[INDEX].blob, olds.name, edited, news?.[INDEX] ? news.name : olds.name, true, options);
}

window.kerv = Object.freeze({
  open, pack, update, diff, makePatch, applyPatch, KervError, ready: library.then(() => true),
  decodeName: async bytes => (await library).showName(bytes),
});
