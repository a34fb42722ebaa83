// The page's Patches section: a patch made from the open archive to a
// changed one or to its edits (the changes listed as kerv diff prints
// them), a patch applied to a picked or the open archive, and a patcher
// page made for players.

// Says what a patch made holds: saved, with its changes listed; a patcher
// page of it may be made next.
function showMade(made, from, to) {
  save(made.file, made.file.name);
  state.lastPatch = made;
  $('patcher-maker').hidden = false;
  sayStatus('make-status', made.equal ? 'noChange' : 'madePatch', made.file.name, made.file.size, made.changes.length,
            from, to);
  $('make-changes').replaceChildren(...made.changes.map(c => element('li', { lang: 'ja' }, t('changeLine', c))));
}

// A patch from the open archive to `file`, a changed copy of it.
async function makePatchTo(file) {
  const { archive } = state;
  if (!archive || state.busy) return sayBadStatus('make-status', 'busy');
  $('make-changes').replaceChildren();
  sayStatus('make-status', 'comparing', state.file.name, file.name);
  const changed = await open(file);
  const made = await makePatch(archive, changed, { onProgress: (done, total) => showProgress('make-progress', done, total) });
  showProgress('make-progress', 0, 0);
  if (archive === state.archive) showMade(made, state.file.name, file.name);
}

// A patch from the open archive to the archive as edited: the patch kerv
// diff --patch makes of the original and the saved archive.
async function makeEditsPatch() {
  const { archive } = state;
  $('make-changes').replaceChildren();
  const changes = editChanges('make-status');
  if (!changes) return;
  sayStatus('make-status', 'summing');
  const made = await makePatch(archive, changes, { onProgress: (done, total) => showProgress('make-progress', done, total) });
  showProgress('make-progress', 0, 0);
  if (archive === state.archive) showMade(made, state.file.name, state.file.name);
}

// The picked patch applied to the picked archive, or to the open one.
async function applyChosen() {
  const patch = $('apply-patch').files[0];
  const archive = $('apply-archive').files[0] ?? (state.busy ? null : state.file);
  showMessage('apply-error', '');
  if (!patch || !archive) return sayBadStatus('apply-status', state.busy ? 'busy' : 'applyNeeds');
  if (state.applying) return sayBadStatus('apply-status', 'stillApplying');
  state.applying = true;
  try {
    await applyForPerson(archive, patch, { status: 'apply-status', alert: 'apply-error', progress: 'apply-progress' });
  } finally {
    state.applying = false;
  }
}

// A patcher page of the patch made last, with the title and note given.
async function makePatcher() {
  const made = state.lastPatch;
  if (!made) return;
  const page = await makePatcherPage(made.file, {
    oldName: made.oldName, oldSize: made.oldSize, newName: made.newName, newSize: made.newSize,
    title: $('patcher-title-input').value.trim(), note: $('patcher-note-input').value.trim(),
  });
  save(page, page.name);
  sayStatus('make-status', 'madePatcher', page.name, page.size);
}

const isPatch = async file => {
  const head = await readSlice(file, 0, 4);
  return head[0] === 0xd6 && head[1] === 0xc3 && head[2] === 0xc4 && head[3] === 0;
};
