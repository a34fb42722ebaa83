'use strict';
// The page's script, and window.kerv for scripts that embed or drive it.
//
// The archive format is the library's (compiled to WebAssembly as
// createKervModule): it says which bytes of an archive it needs, indexes
// the data blocks, finds damage and lays out an archive to pack. This file
// reads those bytes as slices of the archive's Blob, so that an archive of
// any size opens in a few small reads; it never copies a data file into
// WebAssembly memory, and a packed archive is a Blob made of the picked
// files themselves.

(() => {
  const library = createKervModule();

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

  class KervError extends Error {
    constructor(message) {
      super(message);
      this.name = 'KervError';
    }
  }

  // ---- Names and text (Shift_JIS, as code page 932 maps it) ----

  const strictSjis = new TextDecoder('shift_jis', { fatal: true });
  const looseSjis = new TextDecoder('shift_jis');

  const isLead = b => (b >= 0x81 && b <= 0x9f) || (b >= 0xe0 && b <= 0xfc);
  const escape = b => '\\x' + b.toString(16).toUpperCase().padStart(2, '0');

  // A file-list name for people: decoded character by character; a byte
  // that does not decode, and a control character, shows as \xNN and the
  // next byte is decoded on its own, as kervls shows names.
  function decodeName(bytes) {
    let out = '';
    for (let i = 0; i < bytes.length;) {
      const b = bytes[i];
      const width = isLead(b) ? 2 : 1;
      const printableAscii = b >= 0x20 && b < 0x7f;
      const katakana = b >= 0xa1 && b <= 0xdf;
      if ((width === 2 && i + 1 < bytes.length) || printableAscii || katakana) {
        try {
          out += strictSjis.decode(bytes.subarray(i, i + width));
          i += width;
          continue;
        } catch {
          // falls through to the escape
        }
      }
      out += escape(b);
      i += 1;
    }
    return out;
  }

  const decodeText = bytes => looseSjis.decode(bytes).replace(/\r\n/g, '\n');

  // ---- Opening an archive ----

  async function readSlice(blob, start, end) {
    return new Uint8Array(await blob.slice(start, end).arrayBuffer());
  }

  // Indexes the archive held in `blob`. Resolves to what the archive holds;
  // rejects with a KervError whose message is the reader's reason when the
  // Blob is no archive, or is cut short in its header or scenario.
  async function open(blob) {
    const m = await library;
    const index = new m.ArchiveIndex(blob.size);
    try {
      let window = kSmallWindow;
      for (let length; (length = index.nextLength()) > 0;) {
        const offset = index.nextOffset();
        const bytes = await readSlice(blob, offset, Math.min(blob.size, offset + Math.max(length, window)));
        if (bytes.length < length) {
          throw new KervError(`the file ends inside ${index.nextPart()}: it is shorter than when it was opened`);
        }
        const before = index.entryCount();
        index.supply(offset, bytes);
        window = nextWindow(index, window, before, index.entryCount());
      }
      if (index.error()) throw new KervError(index.error());

      const entries = [];
      for (let i = 0, n = index.entryCount(); i < n; ++i) {
        const nameBytes = index.entryName(i);
        entries.push(Object.freeze({
          name: decodeName(nameBytes), nameBytes, offset: index.entryOffset(i), size: index.entrySize(i),
        }));
      }
      const header = index.header();
      return Object.freeze({
        dialect: index.dialect(),
        scenarioSuffix: index.scenarioSuffix(),  // "ker" or "psc"
        version: index.version(),
        waitingTime: index.waitingTime(),
        entries: Object.freeze(entries),
        damage: Object.freeze(index.damage()),
        scenario: index.scenario(),
        header: Object.freeze({
          title: decodeText(header.title),
          fileList: header.fileList.map(decodeName),
          secondList: header.secondList.map(decodeName),
          // KERV's second number of the header line, in hundredths; null for P-KERV.
          headerValue: header.headerValue >= 0 ? header.headerValue : null,
        }),
        // The data of one entry: a slice of the archive, nothing copied.
        entryBlob(entry) {
          return blob.slice(entry.offset, entry.offset + entry.size);
        },
      });
    } finally {
      index.delete();
    }
  }

  // ---- Packing ----

  // A path for matching: '\' taken as '/', without empty and '.' parts.
  const pathKey = name => name.replace(/\\/g, '/').split('/').filter(p => p !== '' && p !== '.').join('/');

  // The picked files by the names a file list may use: the path below the
  // picked folder (a folder pick), or the file's own name.
  function filesByName(files) {
    const byPath = new Map();
    const byName = new Map();
    for (const file of files) {
      if (file.webkitRelativePath) {
        byPath.set(pathKey(file.webkitRelativePath.split('/').slice(1).join('/')), file);
      } else {
        byName.set(file.name, file);
      }
    }
    return name => {
      const key = pathKey(name);
      return byPath.get(key) ?? byName.get(key) ?? byName.get(key.split('/').pop());
    };
  }

  // The archive's name: the scenario's with its last three characters
  // replaced, as the packer names it (story.ker gives story.krv).
  const archiveName = (name, suffix) => (name.length >= 3 ? name.slice(0, -3) : name + '.') + suffix;

  // Packs `scenarioFile` and the data files its file list names, found
  // among `files`. Resolves to the archive as a File (a Blob with a name),
  // byte for byte what krvmake or pkvmake would make; rejects with a
  // KervError that names the cause when it cannot be made.
  async function pack(scenarioFile, files) {
    const m = await library;
    const tooLong = m.PackPlan.lengthError(scenarioFile.size);
    if (tooLong) throw new KervError(`${scenarioFile.name}: ${tooLong}`);
    const plan = new m.PackPlan(await readSlice(scenarioFile, 0, scenarioFile.size));
    try {
      if (plan.error()) throw new KervError(`${scenarioFile.name}: ${plan.error()}`);
      const find = filesByName(Array.from(files).filter(f => f !== scenarioFile));
      const parts = [plan.head()];
      const missing = [];
      const tooLarge = [];
      for (const nameBytes of plan.names()) {
        const name = decodeName(nameBytes);
        const file = find(name);
        if (!file) {
          missing.push(name);
        } else if (file.size > m.PackPlan.maxBlockSize()) {
          tooLarge.push(`${name} (${file.size} bytes)`);
        } else {
          parts.push(m.PackPlan.sizeField(file.size), file);
        }
      }
      if (missing.length > 0) {
        throw new KervError(`${scenarioFile.name} lists data files that were not picked: ${missing.join(', ')}`);
      }
      if (tooLarge.length > 0) {
        throw new KervError(`a data file holds at most ${m.PackPlan.maxBlockSize()} bytes (under 2 GiB): ` +
                            tooLarge.join(', '));
      }
      return new File(parts, archiveName(scenarioFile.name, plan.archiveSuffix()),
                      { type: 'application/octet-stream' });
    } finally {
      plan.delete();
    }
  }

  async function safeName(nameBytes) {
    return (await library).safeName(nameBytes);
  }

  window.kerv = Object.freeze({ open, pack, decodeName, KervError, ready: library.then(() => true) });

  // ---- The page ----

  const $ = id => document.getElementById(id);
  const element = (tag, props = {}, ...children) => {
    const e = Object.assign(document.createElement(tag), props);
    e.append(...children);
    return e;
  };

  const state = { file: null, archive: null, rendering: null, previewUrl: null, packUrl: null, picked: [] };

  function showError(message) {
    $('error').textContent = message;
    $('error').hidden = !message;
  }

  function save(blob, name) {
    const url = URL.createObjectURL(blob);
    element('a', { href: url, download: name }).click();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  async function openFile(file) {
    showError('');
    state.rendering = null;
    $('archive').hidden = true;
    $('extract-log').replaceChildren();
    $('extract-status').textContent = '';
    try {
      const archive = await open(file);
      state.file = file;
      state.archive = archive;
      showArchive(file, archive);
    } catch (e) {
      state.file = state.archive = null;
      showError(e instanceof KervError ? `${file.name}: ${e.message}` : `${file.name}: cannot be read (${e.message})`);
    }
  }

  function showArchive(file, archive) {
    const n = archive.entries.length;
    $('summary').textContent = `${file.name}: ${archive.dialect} archive, version ${archive.version}, ` +
      `waiting time ${archive.waitingTime} s, ${n} data file${n === 1 ? '' : 's'}`;
    $('damage').replaceChildren(...archive.damage.map(finding => element('li', {}, finding)));

    // The first rows at once, the rest in chunks, each after the page has
    // been painted, so that it shows at once and stays responsive; the
    // table is aria-busy until every row is in.
    const table = $('entries');
    const token = state.rendering = {};
    table.tBodies[0].replaceChildren(rowsOf(archive.entries, 0, kFirstRows));
    table.setAttribute('aria-busy', String(n > kFirstRows));
    const afterPaint = (f, ...args) => requestAnimationFrame(() => setTimeout(f, 0, ...args));
    const more = from => {
      if (state.rendering !== token) return;  // another archive is shown now
      table.tBodies[0].append(rowsOf(archive.entries, from, from + kRowsPerChunk));
      if (from + kRowsPerChunk < n) {
        afterPaint(more, from + kRowsPerChunk);
      } else {
        table.setAttribute('aria-busy', 'false');
      }
    };
    if (n > kFirstRows) afterPaint(more, kFirstRows);
    showPreview(null);
    showScenario(archive);
    $('archive').hidden = false;
  }

  const kFirstRows = 500;
  const kRowsPerChunk = 5000;

  // One row as rowsOf fills it in: cloning it is quicker than building each.
  const rowTemplate = element('tr', { tabIndex: 0 }, element('td', { className: 'mono' }),
                              element('td', { className: 'number' }), element('td', { className: 'number' }),
                              element('td', {}, element('button', { type: 'button', className: 'save' }, 'Save')));

  // Table rows for entries [from..to).
  function rowsOf(entries, from, to) {
    const rows = document.createDocumentFragment();
    for (let i = from; i < Math.min(to, entries.length); ++i) {
      const entry = entries[i];
      const row = rowTemplate.cloneNode(true);
      const [name, size, offset, save] = row.cells;
      name.textContent = entry.name;
      size.textContent = entry.size;
      offset.textContent = entry.offset;
      save.firstChild.setAttribute('aria-label', `Save ${entry.name}`);
      row.dataset.offset = entry.offset;
      row.dataset.size = entry.size;
      row.dataset.index = i;
      rows.append(row);
    }
    return rows;
  }

  function showScenario(archive) {
    const h = archive.header;
    const fields = [
      ['Dialect', archive.dialect], ['Version', archive.version], ['Waiting time', `${archive.waitingTime} s`],
    ];
    if (h.headerValue !== null) fields.push(['Second number', (h.headerValue / 100).toFixed(2)]);
    fields.push(['Title', h.title.replace(/\n$/, '')], ['File list', h.fileList.join('\n')],
                ['Second list', h.secondList.join('\n')]);
    $('scenario-header').replaceChildren(...fields.flatMap(([k, v]) => [element('dt', {}, k), element('dd', {}, v)]));
    $('scenario-text').textContent = decodeText(archive.scenario);
  }

  // ---- Preview, by content ----

  const startsWith = (bytes, at, ...values) => values.every((v, i) => bytes[at + i] === v);
  const ascii = s => Array.from(s, c => c.charCodeAt(0));

  function kindOf(b) {
    if (startsWith(b, 0, 0x89, ...ascii('PNG\r\n'), 0x1a, 0x0a)) return ['image', 'image/png'];
    if (startsWith(b, 0, 0xff, 0xd8, 0xff)) return ['image', 'image/jpeg'];
    if (startsWith(b, 0, ...ascii('GIF87a')) || startsWith(b, 0, ...ascii('GIF89a'))) return ['image', 'image/gif'];
    if (startsWith(b, 0, ...ascii('RIFF')) && startsWith(b, 8, ...ascii('WEBP'))) return ['image', 'image/webp'];
    if (startsWith(b, 0, ...ascii('RIFF')) && startsWith(b, 8, ...ascii('WAVE'))) return ['audio', 'audio/wav'];
    if (startsWith(b, 0, ...ascii('BM')) && b.length >= 18 && [12, 40, 52, 56, 64, 108, 124].includes(b[14]) &&
        b[15] === 0 && b[16] === 0 && b[17] === 0) {
      return ['image', 'image/bmp'];
    }
    if (startsWith(b, 0, ...ascii('OggS'))) return ['audio', 'audio/ogg'];
    if (startsWith(b, 0, ...ascii('ID3')) || (b[0] === 0xff && (b[1] & 0xe0) === 0xe0 && (b[1] & 0x06) !== 0)) {
      return ['audio', 'audio/mpeg'];
    }
    return ['bytes', ''];
  }

  function hexDump(bytes) {
    const lines = [];
    for (let at = 0; at < bytes.length; at += 16) {
      const row = bytes.subarray(at, at + 16);
      const hex = Array.from(row, b => b.toString(16).padStart(2, '0')).join(' ');
      const text = Array.from(row, b => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
      lines.push(`${at.toString(16).padStart(8, '0')}  ${hex.padEnd(47)}  |${text}|`);
    }
    return lines.join('\n');
  }

  function showPreview(content) {
    if (state.previewUrl) URL.revokeObjectURL(state.previewUrl);
    state.previewUrl = null;
    $('preview').replaceChildren(...(content ? [content] : []));
  }

  async function preview(row) {
    for (const r of $('entries').tBodies[0].querySelectorAll('tr[aria-selected="true"]')) r.removeAttribute('aria-selected');
    row.setAttribute('aria-selected', 'true');
    const { archive } = state;
    const entry = archive.entries[Number(row.dataset.index)];
    const data = archive.entryBlob(entry);
    const head = await readSlice(data, 0, Math.min(entry.size, 512));
    if (archive !== state.archive) return;  // another archive was opened meanwhile
    const [kind, type] = kindOf(head);
    const figure = element('figure', {}, element('figcaption', {}, `${entry.name}, ${entry.size} bytes`));
    if (kind === 'bytes') {
      figure.append(element('pre', { className: 'hex' }, hexDump(head)));
      showPreview(figure);
      return;
    }
    showPreview(figure);
    state.previewUrl = URL.createObjectURL(data.slice(0, data.size, type));
    figure.append(kind === 'image' ? element('img', { src: state.previewUrl, alt: entry.name })
                                   : element('audio', { src: state.previewUrl, controls: true }));
  }

  // ---- Extracting ----

  // Creates `name` (parts separated by '/' or '\') below `folder`,
  // subfolders and all; never replaces a file that exists.
  async function createIn(folder, name, blob) {
    const parts = name.split(/[\\/]/);
    for (const part of parts.slice(0, -1)) {
      if (part !== '' && part !== '.') folder = await folder.getDirectoryHandle(part, { create: true });
    }
    const last = parts[parts.length - 1];
    try {
      await folder.getFileHandle(last);
      throw new KervError('File exists');
    } catch (e) {
      if (e instanceof KervError || e.name !== 'NotFoundError') throw e;
    }
    const file = await folder.getFileHandle(last, { create: true });
    await blob.stream().pipeTo(await file.createWritable());
  }

  async function extractAll() {
    const { file, archive } = state;
    if (!window.showDirectoryPicker) {
      $('extract-status').textContent =
        'This browser cannot write into a folder; save the data files one by one with the Save buttons.';
      return;
    }
    let folder;
    try {
      folder = await window.showDirectoryPicker({ mode: 'readwrite', id: 'kerv-extract' });
    } catch {
      return;  // the user chose no folder
    }
    const log = $('extract-log');
    log.replaceChildren();
    const report = (text, bad) => log.append(element('li', bad ? { className: 'bad' } : {}, text));
    let created = 0;
    const scenarioName = archiveName(file.name, archive.scenarioSuffix);
    const jobs = [[scenarioName, new Blob([archive.scenario]), true],
                  ...archive.entries.map(e => [e.name, archive.entryBlob(e), false, e.nameBytes])];
    for (const [name, blob, isScenario, nameBytes] of jobs) {
      $('extract-status').textContent = `creating "${name}"…`;
      if (!isScenario && !(await safeName(nameBytes))) {
        report(`can not create ${name} : name leads outside the current directory`, true);
        continue;
      }
      try {
        await createIn(folder, name, blob);
        created += 1;
        report(`created "${name}"`, false);
      } catch (e) {
        report(`can not create ${name} : ${e.message}`, true);
      }
    }
    $('extract-status').textContent = `${created} of ${jobs.length} files created in ${folder.name}.`;
  }

  // ---- Packing from the page ----

  const isScenario = f => /\.(ker|psc)$/i.test(f.name);

  async function packPicked(scenarioFile) {
    showError('');
    $('pack-result').textContent = `packing ${scenarioFile.name}…`;
    try {
      const archive = await pack(scenarioFile, state.picked);
      if (state.packUrl) URL.revokeObjectURL(state.packUrl);
      state.packUrl = URL.createObjectURL(archive);
      const link = element('a', { href: state.packUrl, download: archive.name, id: 'pack-download' }, archive.name);
      $('pack-result').replaceChildren(link, ` (${archive.size} bytes) is ready.`);
      link.click();
    } catch (e) {
      $('pack-result').textContent = '';
      showError(e instanceof KervError ? e.message : `${scenarioFile.name}: ${e.message}`);
    }
  }

  function picked(files) {
    state.picked = Array.from(files);
    const scenarios = state.picked.filter(isScenario);
    const choice = $('pack-scenario');
    choice.replaceChildren(...scenarios.map((f, i) =>
      element('option', { value: String(i) }, f.webkitRelativePath || f.name)));
    $('pack-choice').hidden = scenarios.length < 2;
    if (scenarios.length === 0) {
      showError('No scenario among the picked files: pick a .ker or .psc file with its data files.');
    } else if (scenarios.length === 1) {
      packPicked(scenarios[0]);
    } else {
      showError('');
      $('pack-result').textContent = `${scenarios.length} scenarios were picked: choose one and press Pack.`;
      $('pack-start').onclick = () => packPicked(scenarios[Number(choice.value)]);
    }
  }

  // ---- Wiring ----

  $('open').addEventListener('change', e => {
    if (e.target.files.length > 0) openFile(e.target.files[0]);
  });
  $('pack').addEventListener('change', e => picked(e.target.files));
  $('pack-folder').addEventListener('change', e => picked(e.target.files));
  $('extract-all').addEventListener('click', extractAll);

  const body = $('entries').tBodies[0];
  body.addEventListener('click', e => {
    const row = e.target.closest('tr');
    if (!row) return;
    if (e.target.closest('button.save')) {
      const entry = state.archive.entries[Number(row.dataset.index)];
      save(state.archive.entryBlob(entry), entry.name);
    } else {
      preview(row);
    }
  });
  body.addEventListener('keydown', e => {
    if ((e.key === 'Enter' || e.key === ' ') && e.target.matches('tr')) {
      e.preventDefault();
      preview(e.target);
    }
  });

  document.addEventListener('dragover', e => {
    e.preventDefault();
    document.body.classList.add('dragging');
  });
  document.addEventListener('dragleave', e => {
    if (e.relatedTarget === null) document.body.classList.remove('dragging');
  });
  document.addEventListener('drop', e => {
    e.preventDefault();
    document.body.classList.remove('dragging');
    const file = e.dataTransfer.files[0];
    if (file) openFile(file);
  });

  library.catch(e => showError(`The page cannot start: ${e.message ?? e}`));
})();
