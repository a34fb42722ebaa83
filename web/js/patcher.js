// A patcher page: one patch, put in by kerv diff --page (or the page's
// button), and the archive it needs. The person picks or drops that
// archive; another one is refused at once (by its size, or by its sum as
// it is read), and the result is checked as it is made and offered only
// once it is whole.

const info = (() => {
  const text = $('kerv-patch-info').textContent;
  return text.startsWith('{') ? JSON.parse(text) : null;  // the built page, no patch put in yet
})();
const patchFile = info ? new File([Uint8Array.from(atob($('kerv-patch').textContent), c => c.charCodeAt(0))],
                                  `${stem(info.newName)}.vcdiff`) : null;
let chosen = null;    // the archive picked, once it fits
let checking = null;  // the AbortController of the check under way

function applyTexts() {
  document.documentElement.lang = language;
  for (const e of document.querySelectorAll('[data-text]')) e.textContent = t(e.dataset.text);
  $('language').value = language;
  const title = info?.title || (info ? t('patcherHeading', info.newName) : t('patcherTitle'));
  document.title = title;
  $('patcher-title').textContent = title;
  $('patcher-note').textContent = info?.note ?? '';
  $('patcher-note').hidden = !info?.note;
  $('patcher-needs').textContent = info ? t('patcherNeeds', info.oldName, info.oldSize, info.newName) : t('patcherEmpty');
  $('patcher-pick').textContent = info ? t('patcherPick', info.oldName) : '';
  speakAgain();
}

// An archive picked or dropped: refused at once where it cannot be the
// one; else read through for its sum, and then it may be patched.
async function chooseArchive(file) {
  checking?.abort();
  chosen = null;
  $('patcher-apply').disabled = true;
  showMessage('patcher-error', '');
  setStatus('patcher-status', '');
  if (!file || !info) return;
  if (file.size !== info.oldSize) {
    showMessage('patcher-error', () => t('patcherOtherSize', file.name, info.oldName, info.oldSize, file.size));
    return;
  }
  const check = checking = new AbortController();
  sayStatus('patcher-status', 'checkingArchive', file.name, 0, file.size);
  try {
    await checkArchive(file, patchFile, {
      signal: check.signal,
      onProgress: (done, total) => {
        showProgress('patcher-progress', done, total);
        sayStatus('patcher-status', 'checkingArchive', file.name, done, total);
      },
    });
  } catch (e) {
    if (check.signal.aborted) return;
    showProgress('patcher-progress', 0, 0);
    setStatus('patcher-status', '');
    showMessage('patcher-error', () => t('notApplied', wordsOf(e, 'apply')));
    return;
  }
  checking = null;
  showProgress('patcher-progress', 0, 0);
  chosen = file;
  $('patcher-apply').disabled = false;
  sayStatus('patcher-status', 'patcherReady', file.name);
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
$('patcher-archive').addEventListener('change', guarded(e => chooseArchive(e.target.files[0]), 'patcher-status', 'apply'));
$('patcher-apply').addEventListener('click', guarded(async () => {
  if (!chosen) return;
  $('patcher-apply').disabled = true;
  try {
    await applyForPerson(chosen, patchFile, { status: 'patcher-status', alert: 'patcher-error', progress: 'patcher-progress' });
  } finally {
    $('patcher-apply').disabled = !chosen;
  }
}, 'patcher-status', 'apply'));
onDrop(transfer => {
  const files = Array.from(transfer.files);
  if (files.length !== 1) return showMessage('patcher-error', () => t('patcherOneFile'));
  guarded(chooseArchive, 'patcher-status', 'apply')(files[0]);
});

applyTexts();
library.catch(e => showMessage('patcher-error', () => t('startFailed', e.message ?? e)));
