// The archive open in the page: its summary, damage, table of data files
// (filled and relabelled in short tasks), preview by content, extraction
// into a folder, and what waits while another archive opens.

const state = {
  opening: null,       // the AbortController of the open under way
  busy: false,         // an archive is opening: what would change the open one waits
  archive: null,
  file: null,
  filling: null,       // the token of the rows being added
  relabelling: null,   // the token of the rows being relabelled
  previewUrl: null,
  packUrl: null,
  rows: [],            // the table's rows of the archive's entries, by index
  addedRows: [],       // rows of names the edited scenario adds
  replaceTarget: null, // {kind: 'entry' | 'added', key, index} of the button pressed
  replacements: new Map(),  // stored name (hex) -> {file, index}: every entry of that name
  additions: new Map(),     // stored name (hex) -> {nameBytes, name, file}: names the edited scenario adds
  dropped: new Set(),       // indexes of entries the edited scenario no longer lists
  editVersion: 0,           // counts the edits; savedVersion the count when last saved
  savedVersion: 0,
  analysing: null,          // the timer of the edited scenario's analysis
  pack: { scenario: null, files: [] },
  applying: false,          // a patch is being applied
  lastPatch: null,          // the patch made last (makePatch's result), for a patcher page
};

const textEdited = () => state.archive !== null && $('scenario-edit').value !== state.archive.scenarioEditable;
const hasEdits = () => state.replacements.size > 0 || [...state.additions.values()].some(a => a.file) || textEdited();
const unsaved = () => state.archive !== null && hasEdits() && state.editVersion !== state.savedVersion;

function edited() {
  state.editVersion += 1;
  updateControls();
}

const showError = message => showMessage('error', message);

// The name a row's data file downloads under: the last part of its
// decoded name where the library would create it, else its place in the
// list ("entry-3.qvd", keeping an extension of letters and digits).
function downloadName(entry, i) {
  const checked = m.extractPath(entry.nameBytes);
  if (checked.path) return checked.path.split('/').pop();
  const dot = entry.nameBytes.lastIndexOf(0x2e);
  const extension = dot >= 0 ? String.fromCharCode(...entry.nameBytes.subarray(dot)) : '';
  return `entry-${i + 1}${/^\.[A-Za-z0-9]{1,8}$/.test(extension) ? extension : ''}`;
}

// ---- Busy: what waits while an archive opens ----

function updateControls() {
  const busy = state.busy;
  for (const id of ['extract-all', 'save-archive']) {
    const disabled = busy || (id === 'save-archive' && !hasEdits());
    $(id).setAttribute('aria-disabled', String(disabled));
    $(id).disabled = disabled && id === 'save-archive' && !busy;
  }
  // The grid and every button of its rows, when busy starts or ends (a
  // row made meanwhile takes it from the grid: see rowOf).
  if ($('entries').getAttribute('aria-disabled') !== String(busy)) {
    $('entries').setAttribute('aria-disabled', String(busy));
    for (const button of $('entries').querySelectorAll('tbody button')) button.setAttribute('aria-disabled', String(busy));
  }
  const edit = $('scenario-edit');
  edit.readOnly = busy;
  edit.setAttribute('aria-disabled', String(busy));
  const opened = state.archive !== null && !busy;
  $('make-needs').hidden = state.archive !== null;
  $('patch-new').disabled = !opened;
  $('patch-edits').disabled = !opened || !hasEdits();
  $('apply-open-hint').textContent = state.archive ? t('applyOpen', state.file.name) : '';
}

function setBusy(busy) {
  state.busy = busy;
  updateControls();
}

// ---- Asking before edits are lost ----

// Resolves to true when the person chooses to discard the unsaved edits
// for `name`, false when they keep editing (also by Escape).
function confirmDiscard(name) {
  const dialog = $('discard-dialog');
  $('discard-text').textContent = t('discardText', state.file.name, name);
  $('discard-open').textContent = t('discardOpen', name);
  return new Promise(resolve => {
    const done = answer => {
      $('discard-open').onclick = $('discard-keep').onclick = dialog.oncancel = null;
      if (dialog.open) dialog.close();
      resolve(answer);
    };
    $('discard-open').onclick = () => done(true);
    $('discard-keep').onclick = () => done(false);
    dialog.oncancel = e => {
      e.preventDefault();
      done(false);
    };
    dialog.showModal();
    $('discard-keep').focus();
  });
}

window.addEventListener('beforeunload', e => {
  if (!unsaved()) return;
  e.preventDefault();
  e.returnValue = '';
});

// ---- Opening ----

// Opens `file`, after asking when edits would be lost; false when the
// person chose to keep editing.
async function openFile(file) {
  if (unsaved() && !(await confirmDiscard(file.name))) return false;
  state.opening?.abort();  // the last choice wins
  const opening = state.opening = new AbortController();
  showError('');
  const section = $('archive');
  if (!state.archive) {
    section.hidden = false;
    section.setAttribute('aria-busy', 'true');
  }
  setBusy(true);
  const status = n => { $('open-status').textContent = `${t('opening', file.name, n)} ${t('busyReason')}`; };
  status(0);
  try {
    const archive = await open(file, { signal: opening.signal, onProgress: status });
    if (state.opening !== opening) return true;
    state.opening = null;
    showArchive(file, archive);
  } catch (e) {
    if (state.opening !== opening) return true;  // a later choice is opening
    state.opening = null;
    setBusy(false);
    $('open-status').textContent = '';
    if (!state.archive) {
      section.hidden = true;
      section.setAttribute('aria-busy', 'false');
    }
    const why = wordsOf(e, 'open');
    showError(`${t('notOpened', file.name, why)}${state.archive ? ` ${t('stillOpen', state.file.name)}` : ''}`);
  }
  return true;
}

function showArchive(file, archive) {
  state.filling = state.relabelling = null;
  state.file = file;
  state.archive = archive;
  state.replacements.clear();
  state.additions.clear();
  state.dropped.clear();
  state.editVersion = state.savedVersion = 0;
  clearTimeout(state.analysing);
  const section = $('archive');
  section.hidden = false;
  section.setAttribute('aria-busy', 'true');
  for (const id of ['extract-status', 'save-status', 'scenario-status']) setStatus(id, '');
  $('extract-log').replaceChildren();
  for (const body of Array.from($('entries').tBodies)) body.remove();
  state.rows = [];
  state.addedRows = [];
  showPreview(null);
  $('summary').textContent = t('summary', file.name, archive);
  showDamage(archive);
  showScenario(archive);
  setBusy(false);
  fillRows(archive);
}

function showDamage(archive) {
  $('damage').replaceChildren(...archive.damage.map(finding => element('li', {}, said(finding))));
}

// Adds the table's rows a few milliseconds' worth at a time, each batch
// after a paint, so that no frame takes long however long the list; the
// section is aria-busy until every row is in. Every 100 rows are a body
// of their own, which the browser lays out only while it is in view.
function fillRows(archive) {
  const token = state.filling = {};
  const n = archive.entries.length;
  let next = 0;
  const step = () => {
    if (state.filling !== token) return;  // another archive is shown now
    const start = performance.now();
    const bodies = document.createDocumentFragment();
    while (next < n && performance.now() - start < 12) {
      // A body has a language of its own, so that a change of the page's
      // restyles the rows a body at a time (relabelRows), not all at once.
      const body = bodies.appendChild(element('tbody', { lang: language }));
      for (const end = Math.min(n, next + 100); next < end; ++next) {
        const row = rowOf(archive.entries[next], next);
        state.rows.push(row);
        body.append(row);
      }
      body.style.containIntrinsicSize = `auto ${2.1 * body.rows.length}rem`;
    }
    $('entries').append(bodies);
    if (next < n) {
      $('open-status').textContent = t('listing', next, n);
      requestAnimationFrame(() => setTimeout(step, 0));
    } else {
      $('open-status').textContent = '';
      $('archive').setAttribute('aria-busy', 'false');
      state.filling = null;
      showAddedRows();
    }
  };
  step();
}

// Relabels every row in the page's language, a body (100 rows) at a time
// and RELABEL_BODIES bodies a task, so that no task holds the page long
// whatever the machine.
const RELABEL_BODIES = 3;
function relabelRows() {
  if (state.filling) return;  // rows still being added are labelled as they come
  const token = state.relabelling = {};
  const bodies = Array.from($('entries').tBodies);
  let next = 0;
  const step = () => {
    if (state.relabelling !== token) return;
    for (const end = next + RELABEL_BODIES; next < bodies.length && next < end;) {
      const body = bodies[next++];
      body.lang = language;
      for (const row of body.rows) {
        if (row.dataset.index !== undefined) labelRow(row);
        else labelAddedRow(row);
      }
    }
    if (next < bodies.length) {
      setTimeout(step, 0);
    } else {
      state.relabelling = null;
    }
  };
  setTimeout(step, 0);  // after the page's own texts, in a task of its own
}

// One row as rowOf fills it in: cloning it is quicker than building each.
const rowTemplate = element('tr', { tabIndex: -1 },
  element('td', { className: 'name', lang: 'ja' }), element('td', { className: 'number' }),
  element('td', { className: 'number offset' }),
  element('td', { className: 'buttons' }, element('button', { type: 'button', className: 'save', tabIndex: -1 }),
          element('button', { type: 'button', className: 'replace', tabIndex: -1 })));

function rowOf(entry, i) {
  const row = rowTemplate.cloneNode(true);
  const [name, size, offset] = row.cells;
  name.textContent = entry.name;
  name.title = entry.name;
  size.textContent = entry.size;
  offset.textContent = entry.offset;
  row.dataset.offset = entry.offset;
  row.dataset.size = entry.size;
  row.dataset.index = i;
  if (i === 0) row.tabIndex = 0;
  for (const button of row.cells[3].children) button.setAttribute('aria-disabled', String(state.busy));
  labelRow(row);
  return row;
}

// The texts of a row that follow the language, and its replacement.
function labelRow(row) {
  const i = Number(row.dataset.index);
  const entry = state.archive.entries[i];
  const [save, replace] = row.cells[3].children;
  save.textContent = t('save');
  replace.textContent = t('replace');
  save.setAttribute('aria-label', t('saveName', entry.name));
  replace.setAttribute('aria-label', t('replaceName', entry.name));
  const replacement = state.replacements.size > 0 ? state.replacements.get(keyOf(entry.nameBytes)) : undefined;
  const file = replacement?.file;
  const gone = state.dropped.has(i);
  row.classList.toggle('replaced', Boolean(file));
  row.classList.toggle('dropped', gone);
  row.cells[1].textContent = file ? `${entry.size} → ${file.size}` : String(entry.size);
  row.cells[0].title = gone ? `${entry.name} (${t('leftOut')})` : entry.name;
  row.setAttribute('aria-label', t('rowLabel', entry.name, entry.size) +
                   (file ? `; ${t('replacedBy', file.name, file.size)}` : '') + (gone ? `; ${t('leftOut')}` : ''));
}

// The rows of names that the edited scenario's list adds, after the archive's;
// a row stays while its name is listed.
function showAddedRows() {
  if (state.filling) return;  // shown once the archive's rows are in
  const body = $('entries').querySelector('tbody.added') ??
               $('entries').appendChild(element('tbody', { className: 'added', lang: language }));
  const kept = new Map(state.addedRows.map(row => [row.dataset.key, row]));
  state.addedRows = [...state.additions.entries()].map(([key, a]) => {
    const row = kept.get(key) ?? element('tr', { tabIndex: -1, className: 'added' },
      element('td', { className: 'name', lang: 'ja', title: a.name }, a.name), element('td', { className: 'number' }),
      element('td', { className: 'number offset' }),
      element('td', { className: 'buttons' }, element('button', { type: 'button', className: 'add', tabIndex: -1 })));
    row.dataset.key = key;
    row.querySelector('button').setAttribute('aria-disabled', String(state.busy));
    labelAddedRow(row);
    return row;
  });
  body.replaceChildren(...state.addedRows);
  body.hidden = state.addedRows.length === 0;
}

function labelAddedRow(row) {
  const a = state.additions.get(row.dataset.key);
  const button = row.querySelector('button.add');
  button.textContent = t('addFile');
  button.setAttribute('aria-label', t('addFileName', a.name));
  row.cells[1].textContent = a.file ? String(a.file.size) : '—';
  row.cells[2].textContent = t('added');
  row.setAttribute('aria-label', a.file ? t('addedBy', a.name, a.file.size) : t('addedRow', a.name));
}

function showScenarioHeader(archive) {
  const h = archive.header;
  const [dialect, version, waiting, second, title, fileList, secondList] = t('fields');
  const fields = [[dialect, archive.dialect], [version, archive.version], [waiting, t('seconds', archive.waitingTime)]];
  if (h.headerValue !== null) fields.push([second, (h.headerValue / 100).toFixed(2)]);
  fields.push([title, h.title.replace(/\r\n/g, '\n').replace(/\n$/, '')], [fileList, h.fileList.join('\n')],
              [secondList, h.secondList.join('\n')]);
  $('scenario-header').replaceChildren(...fields.flatMap(([k, v]) => [element('dt', {}, k),
                                                                      element('dd', { lang: 'ja' }, v)]));
}

function showScenario(archive) {
  showScenarioHeader(archive);
  $('scenario-edit').value = archive.scenarioEditable;
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

// A hex dump that fits its box: 16 bytes a line where that fits at a
// readable size, else 8.
function hexDump(bytes) {
  const pre = element('pre', { className: 'hex' });
  const box = $('preview-box');
  const probe = box.appendChild(element('pre', { className: 'hex probe' }, '0'.repeat(78)));
  const perLine = probe.scrollWidth <= box.clientWidth ? 16 : 8;
  probe.remove();
  const lines = [];
  for (let at = 0; at < bytes.length; at += perLine) {
    const row = bytes.subarray(at, at + perLine);
    const hexes = Array.from(row, b => b.toString(16).padStart(2, '0')).join(' ');
    const text = Array.from(row, b => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push(`${at.toString(16).padStart(8, '0')}  ${hexes.padEnd(perLine * 3 - 1)}  |${text}|`);
  }
  pre.textContent = lines.join('\n');
  return pre;
}

function showPreview(content, announcement = '') {
  if (state.previewUrl) URL.revokeObjectURL(state.previewUrl);
  state.previewUrl = null;
  $('preview').replaceChildren(...(content ? [content] : []));
  $('preview-status').textContent = announcement;
}

// Makes `row` the table's one tab stop, and the selected row.
function select(row, focus) {
  for (const r of $('entries').querySelectorAll('tbody tr[tabindex="0"], tbody tr[aria-selected]')) {
    r.tabIndex = -1;
    r.removeAttribute('aria-selected');
  }
  row.tabIndex = 0;
  row.setAttribute('aria-selected', 'true');
  if (focus) {
    row.focus();
    row.scrollIntoView({ block: 'nearest' });
  }
}

async function preview(row) {
  select(row, false);
  if (row.dataset.index === undefined) return;  // a name the edited scenario adds: no data yet
  const { archive } = state;
  const i = Number(row.dataset.index);
  const entry = archive.entries[i];
  const data = archive.entryBlob(entry);
  let head;
  try {
    head = await readSlice(data, 0, Math.min(entry.size, 512));
  } catch (e) {
    showPreview(element('p', { className: 'bad' }, wordsOf(e, 'preview')));
    return;
  }
  if (archive !== state.archive) return;  // another archive was opened meanwhile
  const [kind, type] = kindOf(head);
  const figure = element('figure', {}, element('figcaption', { lang: 'ja' }, t('rowLabel', entry.name, entry.size)));
  const kindWord = t(kind === 'image' ? 'picture' : kind === 'audio' ? 'sound' : 'bytes');
  showPreview(figure, t('previewOf', entry.name, entry.size, kindWord));
  if (kind === 'bytes') {
    figure.append(hexDump(head));
    return;
  }
  state.previewUrl = URL.createObjectURL(data.slice(0, data.size, type));
  if (kind === 'audio') {
    figure.append(element('audio', { src: state.previewUrl, controls: true }));
    return;
  }
  const image = element('img', { src: state.previewUrl, alt: entry.name });
  image.addEventListener('error', () => image.replaceWith(element('p', { className: 'bad' }, t('notAPicture')),
                                                          hexDump(head)));
  figure.append(image);
}

// ---- Extracting ----

class FileExists extends Error {}

// Creates the file `path` ('/' between its folders) below `folder`,
// subfolders and all; never replaces a file that exists.
async function createIn(folder, path, blob) {
  const parts = path.split('/');
  for (const part of parts.slice(0, -1)) folder = await folder.getDirectoryHandle(part, { create: true });
  const last = parts[parts.length - 1];
  try {
    await folder.getFileHandle(last);
    throw new FileExists();
  } catch (e) {
    if (e instanceof FileExists || e.name !== 'NotFoundError') throw e;
  }
  const file = await folder.getFileHandle(last, { create: true });
  await blob.stream().pipeTo(await file.createWritable());
}

async function extractAll() {
  const { archive } = state;
  if (!archive || state.busy) return setStatus('extract-status', () => t('busy'), true);
  if (!window.showDirectoryPicker) return setStatus('extract-status', () => t('noFolderPicker'));
  let folder;
  try {
    folder = await window.showDirectoryPicker({ mode: 'readwrite', id: 'kerv-extract' });
  } catch {
    return;  // the user chose no folder
  }
  setStatus('extract-status', '');
  const log = $('extract-log');
  log.replaceChildren();
  const report = (text, bad) => log.append(element('li', bad ? { className: 'bad', lang: 'ja' } : { lang: 'ja' }, text));
  let created = 0;
  // Each file is created under exactly the path the library checked.
  const jobs = [{ shown: archive.scenarioName, path: archive.scenarioName, problem: archive.scenarioNameProblem,
                  blob: new Blob([archive.scenario]) },
                ...archive.entries.map(e => ({ shown: e.name, ...m.extractPath(e.nameBytes), blob: archive.entryBlob(e) }))];
  for (const job of jobs) {
    if (job.problem) {
      report(t('cannotCreate', job.shown, said(job.problem)), true);
      continue;
    }
    setStatus('extract-status', () => t('creating', job.path));
    try {
      await createIn(folder, job.path, job.blob);
      created += 1;
      report(t('created', job.path), false);
    } catch (e) {
      report(t('cannotCreate', job.path, e instanceof FileExists ? t('fileExists') : t('writeFailed')), true);
      if (!(e instanceof FileExists)) console.error(e);
    }
  }
  setStatus('extract-status', () => t('extracted', created, jobs.length, folder.name));
}
