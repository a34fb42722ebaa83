// ---- The edited scenario: names it adds, names it leaves out ----

// After an edit of the text (a moment after the last key), the edited
// scenario's list against the archive's: a name the archive lacks gets a
// row with an "Add file" button; an entry no longer listed is marked.
// With `toError` (on saving, not while typing), the caret goes to a
// character that has no code.
function analyseEdit(toError = false) {
  const { archive } = state;
  if (!archive) return;
  setStatus('scenario-status', '');
  const additions = new Map();
  let dropped = new Set();
  if (textEdited()) {
    const { index } = archive[INDEX];
    const text = $('scenario-edit').value;
    const encoded = index.encodeScenario(text);
    if (encoded.error) {
      setStatus('scenario-status', () => (encoded.character === 0xffffffff
        ? t('notUtf8Here', encoded.line, encoded.column)
        : t('encodeError', encoded.line, encoded.column,
            `U+${hex(encoded.character, 4)} '${String.fromCodePoint(encoded.character)}'`)), true);
      if (toError) {
        $('scenario').open = true;
        $('scenario-edit').focus();
        moveCaret($('scenario-edit'), encoded.line, encoded.column);
      }
      return;
    }
    const plan = new m.PackPlan(encoded.bytes);
    try {
      const problem = plan.problem();
      if (problem) {
        setStatus('scenario-status', () => t('newScenario', said(problem)), true);
        return;
      }
      const held = new Set(archive.entries.map(e => keyOf(e.nameBytes)));
      for (const nameBytes of plan.names()) {
        const key = keyOf(nameBytes);
        if (held.has(key) || additions.has(key)) continue;
        additions.set(key, { nameBytes, name: m.showName(nameBytes), file: state.additions.get(key)?.file ?? null });
      }
      const planned = index.update(encoded.bytes, [...additions.values()].map(a => ({ name: a.nameBytes, size: 0 })));
      dropped = new Set(planned.dropped ?? []);
    } finally {
      plan.delete();
    }
  }
  const changed = dropped.size !== state.dropped.size || [...dropped].some(i => !state.dropped.has(i));
  state.additions = additions;
  state.dropped = dropped;
  if (changed) relabelRows();
  showAddedRows();
}

// Puts the text box's caret at `line` and `column` (from 1, in
// characters), where an error was found, and brings it into view.
function moveCaret(box, line, column) {
  const lines = box.value.split('\n');
  let at = 0;
  for (let i = 0; i < Math.min(line - 1, lines.length - 1); ++i) at += lines[i].length + 1;
  const chars = Array.from(lines[Math.min(line, lines.length) - 1] ?? '').slice(0, Math.max(column - 1, 0));
  at += chars.join('').length;
  box.setSelectionRange(at, at);
  // A caret set by a script is not scrolled to: blur and focus do.
  if (document.activeElement === box) {
    box.blur();
    box.focus({ preventScroll: false });
  }
}

function scenarioEdited() {
  edited();
  clearTimeout(state.analysing);
  state.analysing = setTimeout(analyseEdit, 250);
}

// A text file dropped on the text box: its content (UTF-8) at the caret.
async function insertDropped(files) {
  const edit = $('scenario-edit');
  if (state.busy) return setStatus('scenario-status', () => t('busy'), true);
  if (files.length !== 1) return setStatus('scenario-status', () => t('insertOne'), true);
  const file = files[0];
  let text;
  try {
    text = utf8.decode(await readSlice(file, 0, file.size)).replace(/^\ufeff/, '');
  } catch (e) {
    return setStatus('scenario-status', () => (e instanceof TypeError ? t('notUtf8', file.name) : wordsOf(e, 'open')),
                     true);
  }
  edit.setRangeText(text.replace(/\r\n/g, '\n').replace(/\r/g, '\u240d'), edit.selectionStart, edit.selectionEnd, 'end');
  edit.focus();
  setStatus('scenario-status', () => t('inserted', file.name));
  scenarioEdited();
}

// ---- Editing ----

// The edits as update() takes them; null, after saying why in the
// status `where`, when they cannot be saved yet.
function editChanges(where) {
  const refuse = (text, bad = false) => {
    setStatus(where, text, bad);
    return null;
  };
  if (!state.archive || state.busy) return refuse(() => t('busy'), true);
  if (!hasEdits()) return refuse(() => t('nothingToSave'));
  clearTimeout(state.analysing);
  analyseEdit(true);
  const lacking = [...state.additions.values()].filter(a => !a.file).map(a => a.name);
  if (lacking.length > 0) return refuse(() => t('needsFile', lacking.join(', ')), true);
  const changes = {
    replaceAt: Object.fromEntries([...state.replacements.values()].map(r => [r.index, r.file])),
    add: [...state.additions.values()].map(a => [a.nameBytes, a.file]),
  };
  if (textEdited()) changes.scenarioText = $('scenario-edit').value;
  return changes;
}

async function saveEdited() {
  const { archive } = state;
  const changes = editChanges('save-status');
  if (!changes) return;
  setStatus('save-status', () => t('saving'));
  const version = state.editVersion;
  try {
    const made = await update(archive, changes);
    if (archive !== state.archive) return;
    save(made, made.name);
    state.savedVersion = version;
    setStatus('save-status', () => t('saved', made.name, made.size));
  } catch (e) {
    setStatus('save-status', () => wordsOf(e, 'save'), true);
  }
}

// A file picked for a row's Replace or an added name's Add file.
function fileChosen(file) {
  const target = state.replaceTarget;
  if (!state.archive || !target || !file) return;
  if (target.kind === 'entry') {
    state.replacements.set(target.key, { file, index: target.index });
    for (const row of state.rows) {
      if (keyOf(state.archive.entries[Number(row.dataset.index)].nameBytes) === target.key) labelRow(row);
    }
  } else if (state.additions.has(target.key)) {
    state.additions.get(target.key).file = file;
    for (const row of state.addedRows) labelAddedRow(row);
  }
  edited();
}

function choose(target) {
  if (state.busy) return setStatus('save-status', () => t('busy'), true);
  state.replaceTarget = target;
  $('replace-input').value = '';
  $('replace-input').click();
}

// ---- For translators ----

// The scenario's lines to translate, downloaded as kerv strings writes them.
function exportStrings(format) {
  const { archive } = state;
  if (!archive || state.busy) return sayBadStatus('strings-status', 'busy');
  save(new Blob([archive[INDEX].index.strings(format, archive.name)]), `${stem(archive.scenarioName)}.${format}`);
}

// A PO or CSV file of translations put into the scenario (as edited, where
// the text box holds edits), as kerv update --strings puts it: shown in the
// text box as an edit, or every problem listed.
async function importStrings(file) {
  const { archive } = state;
  $('strings-errors').hidden = true;
  if (!archive || state.busy) return sayBadStatus('strings-status', 'busy');
  const { index } = archive[INDEX];
  let base = null;
  if (textEdited()) {
    const encoded = index.encodeScenario($('scenario-edit').value);
    if (encoded.error) return sayBadStatus('strings-status', 'editFirst');
    base = encoded.bytes;
  }
  const r = index.translate(await readSlice(file, 0, file.size), file.name, base);
  if (archive !== state.archive) return;
  if (r.errors) {
    sayBadStatus('strings-status', 'translationsRefused', file.name, r.errors.length);
    const list = $('strings-errors');
    list.replaceChildren(...r.errors.map(e => {
      const item = element('li', { lang: 'ja' });
      const where = e.fileLine > 0 ? `${file.name}:${e.fileLine}${e.column > 0 ? `:${e.column}` : ''}` : file.name;
      speak(item, () => `${where}: ${saidOfStrings(e)}`);
      return item;
    }));
    list.hidden = false;
    return;
  }
  $('scenario').open = true;
  $('scenario-edit').value = m.editableText(r.scenario);
  scenarioEdited();
  sayStatus('strings-status', 'translationsApplied', file.name);
}
