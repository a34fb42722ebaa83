// Applying a patch for a person, on the page and on a patcher page: the
// result is written where they choose, or offered as a download, only as
// it is checked (a failed check discards it); a failure is an alert; a
// patch that cannot tell the right file is applied only after they confirm
// the risk.

// Whether the browser saves through a stream into a file the person picks
// (the File System Access API, as Chromium has it): the result is written
// as it is made and checked, and discarded (abort()) on a failed check.
// Elsewhere (Firefox) it is built and offered as a download once checked.
const canStream = () => typeof window.showSaveFilePicker === 'function';

// Resolves to true when the person chooses to apply the patch `name`,
// which cannot be checked, all the same.
function confirmUnchecked(name) {
  const dialog = $('unchecked-dialog');
  $('unchecked-text').textContent = t('uncheckedText', name);
  return new Promise(resolve => {
    const done = answer => {
      $('unchecked-apply').onclick = $('unchecked-cancel').onclick = dialog.oncancel = null;
      if (dialog.open) dialog.close();
      resolve(answer);
    };
    $('unchecked-apply').onclick = () => done(true);
    $('unchecked-cancel').onclick = () => done(false);
    dialog.oncancel = e => {
      e.preventDefault();
      done(false);
    };
    dialog.showModal();
    $('unchecked-cancel').focus();
  });
}

// Where the result goes: a writable of a file the person picks, or null
// for a download; undefined when they picked none. A file that was empty
// when picked (the browser made it) is removed again if nothing is kept.
async function pickTarget(name) {
  if (!canStream()) return null;
  let handle;
  try {
    handle = await window.showSaveFilePicker({ suggestedName: name, id: 'kerv-patched' });
  } catch (e) {
    if (e.name === 'AbortError') return undefined;
    throw e;
  }
  const madeEmpty = (await handle.getFile()).size === 0;
  const writable = await handle.createWritable();
  const abort = writable.abort.bind(writable);
  writable.abort = async reason => {
    await abort(reason);
    if (madeEmpty) await handle.remove?.().catch(() => {});
  };
  return writable;
}

// Applies `patch` to `archive` (Files) for a person; `ui` names the
// elements that say how it goes: {status, alert, progress}. Resolves to
// true once the result is saved.
async function applyForPerson(archive, patch, ui, allowUnchecked = false) {
  showMessage(ui.alert, '');
  setStatus(ui.status, '');
  const refused = e => {
    showProgress(ui.progress, 0, 0);
    setStatus(ui.status, '');
    showMessage(ui.alert, () => t('notApplied', wordsOf(e, 'apply')));
    return false;
  };
  let writable;
  try {
    const header = await patchHeaderOf(patch);
    writable = await pickTarget(shortened(header.newName.split(/[\\/]/).pop() || archive.name));
  } catch (e) {
    return refused(e);
  }
  if (writable === undefined) return false;  // no file picked
  sayStatus(ui.status, 'applying', patch.name, archive.name);
  try {
    const made = await applyPatch(archive, patch, {
      writable, allowUnchecked,
      onProgress: (done, total, phase) => {
        showProgress(ui.progress, done, total);
        sayStatus(ui.status, phase === 'checking' ? 'checkingArchive' : 'patchingArchive', archive.name, done, total);
      },
    });
    showProgress(ui.progress, 0, 0);
    if (made.file) save(made.file, made.name);
    sayStatus(ui.status, made.unchecked ? 'savedUnchecked' : 'savedChecked', made.name, made.size, archive.name);
    return true;
  } catch (e) {
    if (e instanceof KervError && e.problem?.code === 'unchecked' && !allowUnchecked) {
      showProgress(ui.progress, 0, 0);
      setStatus(ui.status, '');
      if (await confirmUnchecked(patch.name)) return applyForPerson(archive, patch, ui, true);
    }
    return refused(e);
  }
}
