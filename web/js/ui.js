// What every view shares: elements made and found, status lines and
// alerts that follow the language, downloads, a progress bar, and actions
// whose failures are said in the page's own words.

const $ = id => document.getElementById(id);
const element = (tag, props = {}, ...children) => {
  const e = Object.assign(document.createElement(tag), props);
  e.append(...children);
  return e;
};
const keyOf = bytes => Array.from(bytes, b => b.toString(16).padStart(2, '0')).join('');

// What a status line or an alert says, kept as the words that make it, so
// that a change of language says it again in the new one. `words` is text,
// or a function that gives it in the page's language.
const spoken = new Map();  // element -> words
function speak(e, words) {
  if (typeof words === 'function') spoken.set(e, words);
  else spoken.delete(e);
  e.textContent = typeof words === 'function' ? words() : words;
}
// Says again, in the page's language, whatever was said with a function.
function speakAgain() {
  for (const [e, words] of spoken) {
    if (e.isConnected) e.textContent = words();
    else spoken.delete(e);
  }
}

// An alert (role="alert"), hidden while it says nothing.
function showMessage(id, message) {
  speak($(id), message);
  $(id).hidden = !message;
}
const setStatus = (id, message, bad = false) => {
  speak($(id), message);
  $(id).classList.toggle('bad', bad);
};
// The same, said with a text of the page: it follows the language.
const sayStatus = (id, key, ...args) => setStatus(id, () => t(key, ...args));
const sayBadStatus = (id, key, ...args) => setStatus(id, () => t(key, ...args), true);

// A name a file system takes: at most `limit` bytes of UTF-8, shortened
// before its extension. File systems take 255, but a browser adds its own
// suffix while it downloads (".crdownload", ".part").
function shortened(name, limit = 200) {
  const bytes = s => new TextEncoder().encode(s).length;
  if (bytes(name) <= limit) return name;
  const dot = name.lastIndexOf('.');
  const extension = dot > 0 && bytes(name.slice(dot)) <= 16 ? name.slice(dot) : '';
  let stem = Array.from(name.slice(0, name.length - extension.length));
  while (stem.length > 0 && bytes(stem.join('') + '…' + extension) > limit) stem.pop();
  return stem.join('') + '…' + extension;
}

function save(blob, name) {
  const url = URL.createObjectURL(blob);
  element('a', { href: url, download: shortened(name) }).click();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// Shows `done` of `total` on the <progress> `id` (hidden while total is 0).
function showProgress(id, done, total) {
  const bar = $(id);
  bar.hidden = !(total > 0);
  bar.max = Math.max(total, 1);
  bar.value = Math.min(done, bar.max);
}

// Runs an action; whatever it throws is said in the page's own words.
const guarded = (action, where, name) => async (...args) => {
  try {
    await action(...args);
  } catch (e) {
    setStatus(where, () => wordsOf(e, name), true);
  }
};

// Files dropped anywhere on the page go to `dropped` (a DataTransfer); the
// page is marked while something is dragged over it.
function onDrop(dropped) {
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
    dropped(e.dataTransfer);
  });
}
