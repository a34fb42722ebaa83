// The page kerv.html: what is dropped on it, its controls wired, and its
// texts in the chosen language.

// ---- Dropping ----

async function dropped(transfer) {
  const items = Array.from(transfer.items ?? []).filter(i => i.kind === 'file');
  const files = Array.from(transfer.files);
  if (files.length === 0) return;
  if (items.some(i => i.webkitGetAsEntry?.()?.isDirectory)) return showError(t('droppedFolder'));
  if (files.length === 1 && /\.(po|pot|csv)$/i.test(files[0].name) && state.archive) {
    // Translations: put into the open archive's scenario.
    showError('');
    $('scenario').scrollIntoView({ block: 'start' });
    await importStrings(files[0]);
    return;
  }
  if (files.length === 1 && await isPatch(files[0])) {
    // A patch: the one to apply.
    const chosen = new DataTransfer();
    chosen.items.add(files[0]);
    $('apply-patch').files = chosen.files;
    showError('');
    setStatus('apply-status', () => t('patchChosen', files[0].name));
    $('patch-section').scrollIntoView({ block: 'start' });
    return;
  }
  const scenarios = [];
  for (const f of files) {
    if (await looksLikeScenario(f)) scenarios.push(f);
  }
  if (scenarios.length === 1) {
    // A scenario, perhaps with its data files: packing it asks for what is missing.
    showError('');
    $('pack-section').scrollIntoView({ block: 'start' });
    await packFiles(files, { scenario: scenarios[0], fresh: true });
  } else if (files.length > 1) {
    showError(t('droppedSeveral', files.length));
  } else {
    await openFile(files[0]);
  }
}

// ---- Wiring ----

function applyTexts() {
  document.documentElement.lang = language;
  for (const e of document.querySelectorAll('[data-text]')) e.textContent = t(e.dataset.text);
  $('language').value = language;
  if (state.archive) {
    $('summary').textContent = t('summary', state.file.name, state.archive);
    showDamage(state.archive);
    showScenarioHeader(state.archive);
    relabelRows();
  }
  updateControls();
  speakAgain();
  if (state.pack.scenario) showPackView();
}


$('language').addEventListener('change', e => {
  language = e.target.value;
  try {
    localStorage.setItem('kerv-language', language);
  } catch {
    // remembered for this visit only
  }
  applyTexts();
});
$('open').addEventListener('change', guarded(async e => {
  const file = e.target.files[0];
  if (file && !(await openFile(file))) e.target.value = '';  // kept editing: the same file may be picked again
}, 'open-status', 'open'));
$('pack').addEventListener('change', guarded(e => packFiles(Array.from(e.target.files), { fresh: true }), 'pack-result', 'pack'));
$('pack-folder').addEventListener('change', guarded(e => packFiles(Array.from(e.target.files)), 'pack-result', 'pack'));
$('pack-more').addEventListener('change', guarded(e => packFiles(Array.from(e.target.files)), 'pack-result', 'pack'));
$('extract-all').addEventListener('click', guarded(extractAll, 'extract-status', 'extract'));
$('patch-new').addEventListener('change', guarded(async e => {
  const file = e.target.files[0];
  e.target.value = '';  // the same file may be picked again
  if (file) await makePatchTo(file);
}, 'make-status', 'patch'));
$('patch-edits').addEventListener('click', guarded(makeEditsPatch, 'make-status', 'patch'));
$('apply-button').addEventListener('click', guarded(applyChosen, 'apply-status', 'apply'));
$('make-patcher').addEventListener('click', guarded(makePatcher, 'make-status', 'patch'));
$('export-po').addEventListener('click', guarded(() => exportStrings('po'), 'strings-status', 'save'));
$('export-csv').addEventListener('click', guarded(() => exportStrings('csv'), 'strings-status', 'save'));
$('strings-input').addEventListener('change', guarded(async e => {
  const file = e.target.files[0];
  e.target.value = '';  // the same file may be picked again
  if (file) await importStrings(file);
}, 'strings-status', 'open'));
$('save-archive').addEventListener('click', guarded(saveEdited, 'save-status', 'save'));
$('replace-input').addEventListener('change', e => fileChosen(e.target.files[0]));
$('scenario-edit').addEventListener('input', scenarioEdited);
$('scenario-edit').addEventListener('dragover', e => {
  if (e.dataTransfer.types.includes('Files')) e.stopPropagation();
});
$('scenario-edit').addEventListener('drop', e => {
  if (!e.dataTransfer.types.includes('Files')) return;  // text dragged in: the browser inserts it
  e.preventDefault();
  e.stopPropagation();
  document.body.classList.remove('dragging');
  guarded(insertDropped, 'scenario-status', 'open')(Array.from(e.dataTransfer.files));
});

const table = $('entries');
const rowIndex = row => Number(row.dataset.index);
table.addEventListener('click', guarded(async e => {
  const row = e.target.closest('tbody tr');
  if (!row || !state.archive) return;
  if (state.busy && e.target.closest('button')) return sayBadStatus('save-status', 'busy');
  if (row.dataset.key !== undefined) {  // a name the edited scenario adds
    if (e.target.closest('button.add')) choose({ kind: 'added', key: row.dataset.key });
    return;
  }
  const i = rowIndex(row);
  const entry = state.archive.entries[i];
  if (e.target.closest('button.save')) {
    save(state.archive.entryBlob(entry), downloadName(entry, i));
  } else if (e.target.closest('button.replace')) {
    choose({ kind: 'entry', key: keyOf(entry.nameBytes), index: i });
  } else {
    await preview(row);
  }
}, 'save-status', 'preview'));
// One tab stop for the table: the arrows move between rows (and into a
// row's buttons), Home and End to the first and last, Enter previews.
table.addEventListener('keydown', e => {
  const row = e.target.closest('tbody tr');
  if (!row) return;
  const rows = [...state.rows, ...state.addedRows];
  const at = rows.indexOf(row);
  const button = e.target.closest('button');
  const go = i => select(rows[Math.max(0, Math.min(rows.length - 1, i))], true);
  const moves = {
    ArrowDown: () => go(at + 1), ArrowUp: () => go(at - 1),
    PageDown: () => go(at + 10), PageUp: () => go(at - 10),
    Home: () => go(0), End: () => go(rows.length - 1),
    ArrowRight: () => (button?.nextElementSibling ?? (button ? button : row.querySelector('button'))).focus(),
    ArrowLeft: () => (button?.previousElementSibling ?? row).focus(),
  };
  if (moves[e.key]) {
    e.preventDefault();
    moves[e.key]();
  } else if (!button && (e.key === 'Enter' || e.key === ' ')) {
    e.preventDefault();
    guarded(preview, 'save-status', 'preview')(row);
  }
});

onDrop(guarded(dropped, 'open-status', 'open'));

applyTexts();
library.catch(e => showError(t('startFailed', e.message ?? e)));
