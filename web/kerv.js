'use strict';
// The page's script, and window.kerv for scripts that embed or drive it.
//
// The archive format and the code page 932 codec are the library's
// (compiled to WebAssembly as createKervModule): it says which bytes of an
// archive it needs, indexes the data blocks, finds damage, decodes names,
// decides which names may be created, and lays out an archive to pack or
// an archive changed. This file reads those bytes as slices of the
// archive's Blob, so that an archive of any size opens in a few small
// reads; it never copies a data file into WebAssembly memory, and an
// archive it packs or edits is a Blob made of slices and files themselves.

(() => {
  const library = createKervModule();

  // ---- Texts, in English and Japanese ----

  const TEXTS = {
    en: {
      title: 'KERV archives',
      language: 'Language',
      intro: 'Open, check, preview, edit and extract KERV and P-KERV archives, or pack a scenario with its data files. ' +
             'Everything happens on this computer: no file leaves it.',
      openHeading: 'Open an archive',
      openLabel: 'Archive (.krv or .pkv):',
      dropHint: 'or drop it anywhere on this page.',
      goToPack: 'Pack this scenario…',
      archiveHeading: 'Archive',
      extractAll: 'Extract all…',
      tableCaption: "Data files, in the order of the scenario's file list. Arrow keys move between rows, Enter " +
                    "previews, → reaches the row's buttons.",
      name: 'Name', size: 'Size', offset: 'Offset', actions: 'Actions',
      save: 'Save', replace: 'Replace',
      saveName: name => `Save ${name}`, replaceName: name => `Replace ${name}`,
      rowLabel: (name, size) => `${name}, ${size} bytes`,
      replacedBy: (name, size) => `replaced by ${name}, ${size} bytes`,
      scenarioHeading: 'Scenario',
      editLabel: 'Edit the scenario (the text is encoded back as Shift_JIS; lines left as they are keep their bytes):',
      saveArchive: 'Save the edited archive',
      packHeading: 'Pack a scenario',
      packIntro: 'Pick a scenario (.ker or .psc) together with the data files it lists, or the folder that holds them. ' +
                 'The archive is made from the files themselves and saved as a download.',
      packFiles: 'Scenario and data files:', packFolder: 'Or a whole folder:', packScenario: 'Scenario:', pack: 'Pack',
      summary: (name, a) => `${name}: ${a.dialect} archive, version ${a.version}, waiting time ${a.waitingTime} s, ` +
                            `${a.entries.length} data file${a.entries.length === 1 ? '' : 's'}`,
      opening: (name, n) => `Opening ${name}: ${n} data block${n === 1 ? '' : 's'} read…`,
      listing: (n, total) => `${n} of ${total} rows in the table…`,
      cannotRead: (name, why) => `${name}: cannot be read (${why})`,
      droppedFolder: 'That is a folder. Drop one archive (.krv or .pkv); to pack a folder, pick it under ' +
                     '“Pack a scenario”.',
      droppedSeveral: n => `${n} files were dropped. Drop one archive at a time; to pack a scenario with its data ` +
                           'files, pick them under “Pack a scenario”.',
      droppedScenario: name => `${name} is a scenario, not an archive: pack it with its data files.`,
      fields: ['Dialect', 'Version', 'Waiting time', 'Second number', 'Title', 'File list', 'Second list'],
      seconds: n => `${n} s`,
      picture: 'picture', sound: 'sound', bytes: 'bytes',
      previewOf: (name, size, kind) => `${name}, ${size} bytes: ${kind}`,
      notAPicture: 'This looks like a picture, but it does not decode. Its first bytes:',
      noFolderPicker: 'This browser cannot write into a folder; save the data files one by one with the Save buttons.',
      creating: name => `creating "${name}"…`,
      created: name => `created "${name}"`,
      cannotCreate: (name, why) => `can not create ${name} : ${why}`,
      fileExists: 'File exists',
      extracted: (n, total, folder) => `${n} of ${total} files created in ${folder}.`,
      packing: name => `packing ${name}…`,
      packed: (name, size) => [name, ` (${size} bytes) is ready.`],
      noScenario: 'No scenario among the picked files: pick a .ker or .psc file with its data files.',
      severalScenarios: n => `${n} scenarios were picked: choose one and press Pack.`,
      notPicked: (name, missing) => `${name} lists data files that were not picked: ${missing}`,
      tooLarge: (max, list) => `a data file holds at most ${max} bytes (under 2 GiB): ${list}`,
      saving: 'making the archive…',
      saved: (name, size) => `${name} (${size} bytes) is saved.`,
      encodeError: (line, column, character) => `line ${line}, column ${column}: ${character} has no code in ` +
                                                'Shift_JIS (code page 932)',
      noDataFile: name => `no data file ${name}`,
      startFailed: why => `The page cannot start: ${why}`,
    },
    ja: {
      title: 'KERV アーカイブ',
      language: '言語',
      intro: 'KERV と P-KERV のアーカイブを開き、検査し、プレビューし、編集し、取り出します。シナリオとデータファイルを' +
             'まとめることもできます。すべてこのコンピューターの中で行われ、ファイルが外に出ることはありません。',
      openHeading: 'アーカイブを開く',
      openLabel: 'アーカイブ (.krv または .pkv):',
      dropHint: 'このページのどこにでもドロップできます。',
      goToPack: 'このシナリオをまとめる…',
      archiveHeading: 'アーカイブ',
      extractAll: 'すべて取り出す…',
      tableCaption: 'データファイル (シナリオのファイルリストの順)。矢印キーで行を移動し、Enter でプレビュー、' +
                    '→ で行のボタンへ移ります。',
      name: '名前', size: 'サイズ', offset: 'オフセット', actions: '操作',
      save: '保存', replace: '差し替え',
      saveName: name => `${name} を保存`, replaceName: name => `${name} を差し替え`,
      rowLabel: (name, size) => `${name}、${size} バイト`,
      replacedBy: (name, size) => `${name} (${size} バイト) に差し替え`,
      scenarioHeading: 'シナリオ',
      editLabel: 'シナリオを編集 (テキストは Shift_JIS に戻されます。変えていない行はバイトのまま残ります):',
      saveArchive: '編集したアーカイブを保存',
      packHeading: 'シナリオをまとめる',
      packIntro: 'シナリオ (.ker または .psc) と、そのリストにあるデータファイル、またはそれらを含むフォルダーを' +
                 '選んでください。アーカイブはファイルそのものから作られ、ダウンロードとして保存されます。',
      packFiles: 'シナリオとデータファイル:', packFolder: 'またはフォルダーごと:', packScenario: 'シナリオ:',
      pack: 'まとめる',
      summary: (name, a) => `${name}: ${a.dialect} アーカイブ、バージョン ${a.version}、待ち時間 ${a.waitingTime} 秒、` +
                            `データファイル ${a.entries.length} 個`,
      opening: (name, n) => `${name} を開いています: データブロック ${n} 個を読みました…`,
      listing: (n, total) => `表に ${total} 行のうち ${n} 行…`,
      cannotRead: (name, why) => `${name}: 読めません (${why})`,
      droppedFolder: 'フォルダーがドロップされました。アーカイブ (.krv または .pkv) を一つドロップしてください。' +
                     'フォルダーをまとめるには「シナリオをまとめる」で選んでください。',
      droppedSeveral: n => `${n} 個のファイルがドロップされました。アーカイブは一つずつドロップしてください。` +
                           'シナリオとデータファイルをまとめるには「シナリオをまとめる」で選んでください。',
      droppedScenario: name => `${name} はアーカイブではなくシナリオです。データファイルと一緒にまとめてください。`,
      fields: ['方言', 'バージョン', '待ち時間', '第二の数', 'タイトル', 'ファイルリスト', '第二リスト'],
      seconds: n => `${n} 秒`,
      picture: '画像', sound: '音声', bytes: 'バイト列',
      previewOf: (name, size, kind) => `${name}、${size} バイト: ${kind}`,
      notAPicture: '画像のようですが、表示できません。先頭のバイト:',
      noFolderPicker: 'このブラウザーはフォルダーに書き込めません。保存ボタンで一つずつ保存してください。',
      creating: name => `「${name}」を作成中…`,
      created: name => `「${name}」を作成しました`,
      cannotCreate: (name, why) => `${name} を作成できません: ${why}`,
      fileExists: 'ファイルがすでにあります',
      extracted: (n, total, folder) => `${folder} に ${total} 個のうち ${n} 個のファイルを作成しました。`,
      packing: name => `${name} をまとめています…`,
      packed: (name, size) => [name, ` (${size} バイト) ができました。`],
      noScenario: '選んだファイルにシナリオがありません。.ker か .psc のファイルをデータファイルと一緒に選んでください。',
      severalScenarios: n => `シナリオが ${n} 個選ばれました。一つ選んで「まとめる」を押してください。`,
      notPicked: (name, missing) => `${name} のリストにあるデータファイルが選ばれていません: ${missing}`,
      tooLarge: (max, list) => `データファイルは ${max} バイト (2 GiB 未満) までです: ${list}`,
      saving: 'アーカイブを作っています…',
      saved: (name, size) => `${name} (${size} バイト) を保存しました。`,
      encodeError: (line, column, character) => `${line} 行 ${column} 文字目: ${character} は Shift_JIS ` +
                                                '(コードページ 932) にない文字です',
      noDataFile: name => `データファイル ${name} はありません`,
      startFailed: why => `ページを開始できません: ${why}`,
    },
  };

  const stored = (() => {
    try {
      return localStorage.getItem('kerv-language');
    } catch {
      return null;  // no storage here
    }
  })();
  let language = TEXTS[stored] ? stored : (navigator.language ?? '').toLowerCase().startsWith('ja') ? 'ja' : 'en';
  const t = (key, ...args) => {
    const text = TEXTS[language][key] ?? TEXTS.en[key];
    return typeof text === 'function' ? text(...args) : text;
  };

  class KervError extends Error {
    constructor(message) {
      super(message);
      this.name = 'KervError';
    }
  }

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

  async function readSlice(blob, start, end) {
    return new Uint8Array(await blob.slice(start, end).arrayBuffer());
  }

  // An archive's index lives in WebAssembly memory as long as the archive
  // object does (it plans updates).
  const indexes = new FinalizationRegistry(index => index.delete());
  const INDEX = Symbol('index');

  // Indexes the archive held in `blob`. Resolves to what the archive holds;
  // rejects with a KervError whose message is the reader's reason when the
  // Blob is no archive, or is cut short in its header or scenario.
  // options.onProgress(n) is told the number of data blocks read so far;
  // options.signal (an AbortSignal) stops the reading.
  async function open(blob, options = {}) {
    const m = await library;
    const index = new m.ArchiveIndex(blob.size);
    try {
      let window = kSmallWindow;
      let told = performance.now();
      for (let length; (length = index.nextLength()) > 0;) {
        options.signal?.throwIfAborted();
        const offset = index.nextOffset();
        const bytes = await readSlice(blob, offset, Math.min(blob.size, offset + Math.max(length, window)));
        if (bytes.length < length) {
          throw new KervError(`the file ends inside ${index.nextPart()}: it is shorter than when it was opened`);
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
      if (index.error()) throw new KervError(index.error());

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
      const archive = Object.freeze({
        name: blob.name ?? 'archive.krv',
        dialect: index.dialect(),
        scenarioSuffix: index.scenarioSuffix(),  // "ker" or "psc"
        version: index.version(),
        waitingTime: index.waitingTime(),
        entries: Object.freeze(entries),
        damage: Object.freeze(index.damage()),
        scenario: index.scenario(),
        // The scenario's own file name, as kerv extract names it: story.krv gives story.ker.
        scenarioName: index.scenarioFileName(blob.name ?? 'archive.krv'),
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
        const name = m.showName(nameBytes);
        const file = find(name);
        if (!file) {
          missing.push(name);
        } else if (file.size > m.PackPlan.maxBlockSize()) {
          tooLarge.push(`${name} (${file.size} bytes)`);
        } else {
          parts.push(m.PackPlan.sizeField(file.size), file);
        }
      }
      if (missing.length > 0) throw new KervError(t('notPicked', scenarioFile.name, missing.join(', ')));
      if (tooLarge.length > 0) throw new KervError(t('tooLarge', m.PackPlan.maxBlockSize(), tooLarge.join(', ')));
      return new File(parts, plan.archiveName(scenarioFile.name), { type: 'application/octet-stream' });
    } finally {
      plan.delete();
    }
  }

  // The archive `archive` (from open()) changed: `changes.replace` maps
  // decoded names to the Blobs of their new contents (every occurrence of a
  // name listed twice), `changes.scenarioText` is the scenario's new text
  // (or `changes.scenario` its bytes). Resolves to a File with the
  // archive's name, made of slices of the opened archive and the new Blobs:
  // with no change, the archive byte for byte. Rejects with a KervError
  // saying why it cannot be made (a character with no code: its line,
  // column and the character).
  async function update(archive, changes = {}) {
    const m = await library;
    const { index, blob } = archive[INDEX];
    let scenario = null;
    if (typeof changes.scenarioText === 'string') {
      const encoded = index.encodeScenario(changes.scenarioText);
      if (encoded.error) {
        const c = String.fromCodePoint(encoded.character);
        const hex = encoded.character.toString(16).toUpperCase().padStart(4, '0');
        throw new KervError(t('encodeError', encoded.line, encoded.column, `U+${hex} '${c}'`));
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
        if (plan.error()) throw new KervError(plan.error());
        names = plan.names();
      } finally {
        plan.delete();
      }
    }
    const replaced = [];
    const files = [];
    for (const [name, file] of Object.entries(changes.replace ?? {})) {
      const stored = names.find(n => m.decodeName(n) === name) ?? names.find(n => m.showName(n) === name);
      if (!stored) throw new KervError(t('noDataFile', name));
      replaced.push({ name: stored, size: file.size });
      files.push(file);
    }
    const plan = index.update(scenario, replaced);
    if (plan.error) throw new KervError(plan.error);
    const parts = plan.pieces.map(p => p.bytes ?? (p.file !== undefined ? files[p.file]
                                                                         : blob.slice(p.offset, p.offset + p.length)));
    return new File(parts, archive.name, { type: 'application/octet-stream' });
  }

  window.kerv = Object.freeze({
    open, pack, update, KervError, ready: library.then(() => true),
    decodeName: async bytes => (await library).showName(bytes),
  });

  // ---- The page ----

  const $ = id => document.getElementById(id);
  const element = (tag, props = {}, ...children) => {
    const e = Object.assign(document.createElement(tag), props);
    e.append(...children);
    return e;
  };

  const state = {
    opening: null,       // the AbortController of the open under way
    archive: null,
    file: null,
    rendering: null,     // the token of the rows being added
    previewUrl: null,
    packUrl: null,
    picked: [],
    rows: [],            // the table's rows, in list order
    replaceRow: -1,      // the row whose Replace button was pressed
    replacements: new Map(),  // decoded name -> File
    dropped: null,       // a scenario dropped where an archive was expected
  };

  function applyTexts() {
    document.documentElement.lang = language;
    for (const e of document.querySelectorAll('[data-text]')) e.textContent = t(e.dataset.text);
    $('language').value = language;
    if (state.archive) {
      $('summary').textContent = t('summary', state.file.name, state.archive);
      showScenarioHeader(state.archive);
      for (const row of state.rows) labelRow(row);
    }
  }

  function showMessage(id, message) {
    $(id).textContent = message;
    $(id).hidden = !message;
  }
  const showError = message => showMessage('error', message);

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

  // ---- Opening ----

  async function openFile(file) {
    state.opening?.abort();  // the last choice wins
    const opening = state.opening = new AbortController();
    showError('');
    $('drop-pack').hidden = true;
    state.rendering = null;
    state.archive = null;
    state.replacements.clear();
    const section = $('archive');
    section.hidden = false;
    section.setAttribute('aria-busy', 'true');
    for (const id of ['summary', 'extract-status', 'save-status']) $(id).textContent = '';
    $('damage').replaceChildren();
    $('extract-log').replaceChildren();
    for (const body of Array.from($('entries').tBodies)) body.remove();
    state.rows = [];
    showPreview(null);
    $('open-status').textContent = t('opening', file.name, 0);
    try {
      const archive = await open(file, {
        signal: opening.signal,
        onProgress: n => { $('open-status').textContent = t('opening', file.name, n); },
      });
      if (state.opening !== opening) return;
      state.file = file;
      state.archive = archive;
      showArchive(file, archive);
    } catch (e) {
      if (state.opening !== opening) return;  // a later choice is opening
      section.hidden = true;
      section.setAttribute('aria-busy', 'false');
      showError(e instanceof KervError ? `${file.name}: ${e.message}` : t('cannotRead', file.name, e.message));
    }
  }

  function showArchive(file, archive) {
    $('summary').textContent = t('summary', file.name, archive);
    $('damage').replaceChildren(...archive.damage.map(finding => element('li', {}, finding)));
    showScenario(archive);
    fillRows(archive);
  }

  // Adds the table's rows a few milliseconds' worth at a time, each batch
  // after a paint, so that no frame takes long however long the list; the
  // section is aria-busy until every row is in. Every 100 rows are a body
  // of their own, which the browser lays out only while it is in view.
  function fillRows(archive) {
    const token = state.rendering = {};
    const n = archive.entries.length;
    let next = 0;
    const step = () => {
      if (state.rendering !== token) return;  // another archive is shown now
      const start = performance.now();
      const bodies = document.createDocumentFragment();
      while (next < n && performance.now() - start < 12) {
        const body = bodies.appendChild(element('tbody'));
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
      }
    };
    step();
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
    labelRow(row);
    return row;
  }

  // The texts of a row that follow the language, and its replacement.
  function labelRow(row) {
    const entry = state.archive.entries[Number(row.dataset.index)];
    const [save, replace] = row.cells[3].children;
    save.textContent = t('save');
    replace.textContent = t('replace');
    save.setAttribute('aria-label', t('saveName', entry.name));
    replace.setAttribute('aria-label', t('replaceName', entry.name));
    const file = state.replacements.get(entry.name);
    row.classList.toggle('replaced', Boolean(file));
    row.cells[1].textContent = file ? `${entry.size} → ${file.size}` : String(entry.size);
    row.setAttribute('aria-label', t('rowLabel', entry.name, entry.size) + (file ? `; ${t('replacedBy', file.name, file.size)}` : ''));
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
    library.then(m => {
      if (state.archive !== archive) return;
      const text = m.decodeText(archive.scenario).replace(/\r\n/g, '\n');
      $('scenario-text').textContent = text;
      $('scenario-edit').value = text;
      state.scenarioShown = $('scenario-edit').value;  // as the text area holds it
    });
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
    return element('pre', { className: 'hex' }, lines.join('\n'));
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
    const { archive } = state;
    const entry = archive.entries[Number(row.dataset.index)];
    const data = archive.entryBlob(entry);
    const head = await readSlice(data, 0, Math.min(entry.size, 512));
    if (archive !== state.archive) return;  // another archive was opened meanwhile
    const [kind, type] = kindOf(head);
    const figure = element('figure', {}, element('figcaption', { lang: 'ja' }, t('rowLabel', entry.name, entry.size)));
    const said = t('previewOf', entry.name, entry.size, t(kind === 'image' ? 'picture' : kind === 'audio' ? 'sound' : 'bytes'));
    showPreview(figure, said);
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

  // Creates the file `path` ('/' between its folders) below `folder`,
  // subfolders and all; never replaces a file that exists.
  async function createIn(folder, path, blob) {
    const parts = path.split('/');
    for (const part of parts.slice(0, -1)) folder = await folder.getDirectoryHandle(part, { create: true });
    const last = parts[parts.length - 1];
    try {
      await folder.getFileHandle(last);
      throw new KervError(t('fileExists'));
    } catch (e) {
      if (e instanceof KervError || e.name !== 'NotFoundError') throw e;
    }
    const file = await folder.getFileHandle(last, { create: true });
    await blob.stream().pipeTo(await file.createWritable());
  }

  async function extractAll() {
    const { archive } = state;
    if (!window.showDirectoryPicker) {
      $('extract-status').textContent = t('noFolderPicker');
      return;
    }
    let folder;
    try {
      folder = await window.showDirectoryPicker({ mode: 'readwrite', id: 'kerv-extract' });
    } catch {
      return;  // the user chose no folder
    }
    const m = await library;
    const log = $('extract-log');
    log.replaceChildren();
    const report = (text, bad) => log.append(element('li', bad ? { className: 'bad', lang: 'ja' } : { lang: 'ja' }, text));
    let created = 0;
    // Each file is created under exactly the path the library checked.
    const jobs = [{ shown: archive.scenarioName, path: archive.scenarioName, blob: new Blob([archive.scenario]) },
                  ...archive.entries.map(e => ({ shown: e.name, ...m.extractPath(e.nameBytes), blob: archive.entryBlob(e) }))];
    for (const job of jobs) {
      if (job.refusal) {
        report(t('cannotCreate', job.shown, job.refusal), true);
        continue;
      }
      $('extract-status').textContent = t('creating', job.path);
      try {
        await createIn(folder, job.path, job.blob);
        created += 1;
        report(t('created', job.path), false);
      } catch (e) {
        report(t('cannotCreate', job.path, e.message), true);
      }
    }
    $('extract-status').textContent = t('extracted', created, jobs.length, folder.name);
  }

  // ---- Editing ----

  async function saveEdited() {
    const { archive } = state;
    const status = $('save-status');
    status.classList.remove('bad');
    status.textContent = t('saving');
    const changes = { replace: Object.fromEntries(state.replacements) };
    if ($('scenario-edit').value !== state.scenarioShown) changes.scenarioText = $('scenario-edit').value;
    try {
      const edited = await update(archive, changes);
      if (archive !== state.archive) return;
      save(edited, edited.name);
      status.textContent = t('saved', edited.name, edited.size);
    } catch (e) {
      status.classList.add('bad');
      status.textContent = e.message;
    }
  }

  function replaceWith(file) {
    const entry = state.archive?.entries[state.replaceRow];
    if (!entry || !file) return;
    state.replacements.set(entry.name, file);
    for (const row of state.rows) {
      if (state.archive.entries[Number(row.dataset.index)].name === entry.name) labelRow(row);
    }
  }

  // ---- Packing from the page ----

  const isScenario = f => /\.(ker|psc)$/i.test(f.name);

  async function packPicked(scenarioFile) {
    showMessage('pack-error', '');
    $('pack-result').textContent = t('packing', scenarioFile.name);
    try {
      const archive = await pack(scenarioFile, state.picked);
      if (state.packUrl) URL.revokeObjectURL(state.packUrl);
      state.packUrl = URL.createObjectURL(archive);
      const link = element('a', { href: state.packUrl, download: archive.name, id: 'pack-download' }, archive.name);
      const [, rest] = t('packed', archive.name, archive.size);
      $('pack-result').replaceChildren(link, rest);
      link.click();
    } catch (e) {
      $('pack-result').textContent = '';
      showMessage('pack-error', e instanceof KervError ? e.message : `${scenarioFile.name}: ${e.message}`);
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
      showMessage('pack-error', t('noScenario'));
    } else if (scenarios.length === 1) {
      packPicked(scenarios[0]);
    } else {
      showMessage('pack-error', '');
      $('pack-result').textContent = t('severalScenarios', scenarios.length);
      $('pack-start').onclick = () => packPicked(scenarios[Number(choice.value)]);
    }
  }

  // ---- Dropping ----

  async function looksLikeScenario(file) {
    if (isScenario(file)) return true;
    const head = new TextDecoder('ascii').decode(await readSlice(file, 0, 5));
    return head.startsWith('KERV') || head === 'PKERV';
  }

  async function dropped(transfer) {
    const items = Array.from(transfer.items ?? []).filter(i => i.kind === 'file');
    const files = Array.from(transfer.files);
    $('drop-pack').hidden = true;
    if (items.some(i => i.webkitGetAsEntry?.()?.isDirectory)) {
      showError(t('droppedFolder'));
    } else if (files.length > 1) {
      showError(t('droppedSeveral', files.length));
    } else if (files.length === 1 && await looksLikeScenario(files[0])) {
      state.dropped = files[0];
      showError(t('droppedScenario', files[0].name));
      $('drop-pack').hidden = false;
    } else if (files.length === 1) {
      openFile(files[0]);
    }
  }

  // ---- Wiring ----

  $('language').addEventListener('change', e => {
    language = e.target.value;
    try {
      localStorage.setItem('kerv-language', language);
    } catch {
      // remembered for this visit only
    }
    applyTexts();
  });
  $('open').addEventListener('change', e => {
    if (e.target.files.length > 0) openFile(e.target.files[0]);
  });
  $('pack').addEventListener('change', e => picked(e.target.files));
  $('pack-folder').addEventListener('change', e => picked(e.target.files));
  $('extract-all').addEventListener('click', extractAll);
  $('save-archive').addEventListener('click', saveEdited);
  $('replace-input').addEventListener('change', e => replaceWith(e.target.files[0]));
  $('drop-pack-button').addEventListener('click', () => {
    state.picked = [state.dropped];
    $('pack-section').scrollIntoView();
    packPicked(state.dropped);
  });

  const table = $('entries');
  const rowIndex = row => Number(row.dataset.index);
  table.addEventListener('click', e => {
    const row = e.target.closest('tbody tr');
    if (!row) return;
    const entry = state.archive.entries[rowIndex(row)];
    if (e.target.closest('button.save')) {
      save(state.archive.entryBlob(entry), entry.name.split(/[\\/]/).pop() || entry.name);
    } else if (e.target.closest('button.replace')) {
      state.replaceRow = rowIndex(row);
      $('replace-input').value = '';
      $('replace-input').click();
    } else {
      preview(row);
    }
  });
  // One tab stop for the table: the arrows move between rows (and into a
  // row's buttons), Home and End to the first and last, Enter previews.
  table.addEventListener('keydown', e => {
    const row = e.target.closest('tbody tr');
    if (!row) return;
    const rows = state.rows;
    const button = e.target.closest('button');
    const go = i => select(rows[Math.max(0, Math.min(rows.length - 1, i))], true);
    const moves = {
      ArrowDown: () => go(rowIndex(row) + 1), ArrowUp: () => go(rowIndex(row) - 1),
      PageDown: () => go(rowIndex(row) + 10), PageUp: () => go(rowIndex(row) - 10),
      Home: () => go(0), End: () => go(rows.length - 1),
      ArrowRight: () => (button?.nextElementSibling ?? (button ? button : row.querySelector('button'))).focus(),
      ArrowLeft: () => (button?.previousElementSibling ?? row).focus(),
    };
    if (moves[e.key]) {
      e.preventDefault();
      moves[e.key]();
    } else if (!button && (e.key === 'Enter' || e.key === ' ')) {
      e.preventDefault();
      preview(row);
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
    dropped(e.dataTransfer);
  });

  applyTexts();
  library.catch(e => showError(t('startFailed', e.message ?? e)));
})();
