'use strict';
// The page's script, and window.kerv for scripts that embed or drive it.
//
// The archive format and the code page 932 codec are the library's
// (compiled to WebAssembly as createKervModule): it says which bytes of an
// archive it needs, indexes the data blocks, finds damage, decodes names,
// decides which names may be created or read, and lays out an archive to
// pack or an archive changed; what it finds wrong comes as a code with its
// values, which this page words in English or Japanese. This file reads an
// archive's bytes as slices of its Blob, so that an archive of any size
// opens in a few small reads; it never copies a data file into WebAssembly
// memory, and an archive it packs or edits is a Blob made of slices and
// files themselves.

(() => {
  const library = createKervModule();
  let m = null;  // the library, once it is ready
  library.then(ready => { m = ready; });

  // ---- Texts, in English and Japanese ----

  const plural = (n, one, many = `${one}s`) => `${n} ${n === 1 ? one : many}`;
  const grouped = n => n.toLocaleString('en-US');
  const hex = (n, digits) => n.toString(16).toUpperCase().padStart(digits, '0');

  const TEXTS = {
    en: {
      title: 'KERV archives',
      language: 'Language',
      intro: 'Open, check, preview, edit and extract KERV and P-KERV archives, or pack a scenario with its data files. ' +
             'Everything happens on this computer: no file leaves it.',
      openHeading: 'Open an archive',
      openLabel: 'Archive (.krv or .pkv):',
      dropHint: 'or drop it anywhere on this page.',
      archiveHeading: 'Archive',
      extractAll: 'Extract all…',
      tableCaption: "Data files, in the order of the scenario's file list. Arrow keys move between rows, Enter " +
                    "previews, → reaches the row's buttons.",
      name: 'Name', size: 'Size', offset: 'Offset', actions: 'Actions',
      save: 'Save', replace: 'Replace', addFile: 'Add file', added: 'new',
      saveName: name => `Save ${name}`, replaceName: name => `Replace ${name}`, addFileName: name => `Add a file for ${name}`,
      rowLabel: (name, size) => `${name}, ${size} bytes`,
      replacedBy: (name, size) => `replaced by ${name}, ${size} bytes`,
      addedRow: name => `${name}, a new name of the edited scenario's file list`,
      addedBy: (name, size) => `${name}, ${size} bytes`,
      leftOut: 'no longer listed: left out when saved',
      scenarioHeading: 'Scenario',
      editLabel: 'Edit the scenario (the text is encoded back as Shift_JIS; lines left as they are keep their bytes; ␍ ' +
                 'stands for a carriage return that no line feed follows). A text file dropped here is inserted.',
      saveArchive: 'Save the edited archive',
      packHeading: 'Pack a scenario',
      packIntro: 'Pick a scenario (.ker or .psc) together with the data files it lists, or the folder that holds them, ' +
                 'or drop a scenario on the page. The archive is made from the files themselves and saved as a download.',
      packFiles: 'Scenario and data files:', packFolder: 'Or a whole folder:', packScenario: 'Scenario:', pack: 'Pack',
      packMore: 'More data files:',
      summary: (name, a) => `${name}: ${a.dialect} archive, version ${a.version}, waiting time ${a.waitingTime} s, ` +
                            `${plural(a.entries.length, 'data file')}`,
      opening: (name, n) => `Opening ${name}: ${plural(n, 'data block')} read…`,
      busyReason: 'Saving, extracting, replacing and editing wait until it is open.',
      listing: (n, total) => `${n} of ${total} rows in the table…`,
      notOpened: (name, why) => `${name} was not opened: ${why}.`,
      stillOpen: name => `${name} is still open.`,
      shrank: part => `the file ends inside ${part}: it is shorter than when it was picked`,
      unreadable: 'the browser cannot read the file (it may have changed or moved since it was picked)',
      parts: { header: 'the header', scenario: 'the scenario', size: 'a block size' },
      droppedFolder: 'That is a folder: nothing was opened. Drop one archive (.krv or .pkv); to pack a folder, pick it ' +
                     'under “Pack a scenario”.',
      droppedSeveral: n => `${n} files were dropped: nothing was opened. Drop one archive at a time, or a scenario with ` +
                           'its data files to pack them.',
      discardTitle: 'Unsaved edits',
      discardText: (open, other) => `The edits to ${open} are not saved. Opening ${other} discards them.`,
      discardKeep: 'Keep editing', discardOpen: name => `Discard the edits and open ${name}`,
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
      writeFailed: 'the browser could not write it',
      extracted: (n, total, folder) => `${n} of ${total} files created in ${folder}.`,
      packing: name => `packing ${name}…`,
      packed: (name, size) => [name, ` (${size} bytes) is ready.`],
      noScenario: 'No scenario among the picked files: pick a .ker or .psc file with its data files.',
      severalScenarios: n => `${n} scenarios were picked: choose one and press Pack.`,
      packSummary: (name, n, found) => `${name} lists ${plural(n, 'data file')}; ${found} found.`,
      packFound: (name, size) => `${name}: ${size} bytes`,
      packMissing: name => `${name}: missing; pick it below`,
      packRefused: (name, why) => `${name}: not packed: ${why}`,
      packTooLarge: (name, size) => `${name}: ${size} bytes, but a data file holds at most 2147483647 (under 2 GiB)`,
      packCollide: (name, other) => `${name} and ${other} find one file; rename one`,
      notPicked: (name, missing) => `${name} lists data files that were not picked: ${missing}`,
      tooLarge: (max, list) => `a data file holds at most ${max} bytes (under 2 GiB): ${list}`,
      saving: 'making the archive…',
      saved: (name, size) => `${name} (${size} bytes) is saved.`,
      nothingToSave: 'Nothing has changed yet.',
      needsFile: names => `The edited scenario lists data files the archive does not hold: ${names}. Give each a file ` +
                          'with its “Add file” button.',
      encodeError: (line, column, character) => `line ${line}, column ${column}: ${character} has no code in ` +
                                                'Shift_JIS (code page 932)',
      notUtf8Here: (line, column) => `line ${line}, column ${column}: the text is not UTF-8 here`,
      newScenario: why => `the edited scenario cannot be used: ${why}`,
      noDataFile: name => `no data file ${name}`,
      givenTwice: name => `${name} is given two different files`,
      insertOne: 'Drop one text file to insert it.',
      notUtf8: name => `${name} is not UTF-8 text: nothing was inserted.`,
      inserted: name => `${name} was inserted.`,
      busy: 'Wait until the archive is open.',
      failed: what => `${what} failed: the browser reported an error the page did not expect. Nothing was changed.`,
      actionNames: { save: 'Saving', extract: 'Extracting', open: 'Opening', pack: 'Packing', preview: 'The preview',
                     patch: 'Making the patch', apply: 'Applying the patch' },
      patchChosen: name => `${name} is the patch to apply: pick the archive, or apply it to the open one.`,
      startFailed: why => `The page cannot start: ${why}`,
      patchHeading: 'Patches',
      patchIntro: 'A patch holds only what changed. Share the patch, not the archive (it holds the game’s own data): ' +
                  'a player applies it here, with kerv patch, or with xdelta3.',
      makeHeading: 'Make a patch',
      makeNeeds: 'Open the original archive above; then pick the changed archive, or edit this one.',
      patchNewLabel: 'From the open archive to a changed one:',
      patchEdits: 'Make a patch of the edits',
      applyHeading: 'Apply a patch',
      applyArchiveLabel: 'Archive (the original):',
      applyPatchLabel: 'Patch (.vcdiff or .xdelta):',
      applyButton: 'Apply the patch',
      applyOpen: name => `Without a pick, the open archive ${name} is patched.`,
      applyNeeds: 'Pick an archive (or open one above) and a patch.',
      comparing: (a, b) => `Comparing ${a} with ${b}…`,
      summing: 'Reading both archives for the patch’s sums…',
      madePatch: (name, size, n) => `${name} (${size} bytes) is saved: ${plural(n, 'change')}.`,
      madeEditsPatch: (name, size) => `${name} (${size} bytes) is saved.`,
      noChange: (a, b) => `${a} and ${b} hold the same bytes: the patch changes nothing.`,
      applying: (patch, archive) => `Applying ${patch} to ${archive}…`,
      applied: (name, size) => `${name} (${size} bytes) is saved.`,
      checking: name => `Checking that ${name} is the archive the patch was made from… Do not use the saved file before ` +
                        'this says it is.',
      checkedPatch: name => `Checked: ${name} is the archive the patch was made from, and the saved file is whole.`,
      checkFailed: why => `Do not use the saved file: ${why}.`,
      alreadyPatched: name => `${name} is already patched: it is the archive this patch makes`,
      otherSize: (name, expected, found) => `${name} is not the archive this patch was made from (${grouped(expected)} ` +
                                           `bytes expected, ${grouped(found)} found); it may be another edition, or ` +
                                           'already patched',
      otherBytes: (name, size) => `${name} is not the archive this patch was made from (${grouped(size)} bytes as ` +
                                  'expected, but other bytes); it may be another edition, or already patched',
      windowChecksum: w => `window ${w}: the bytes made do not have the window's checksum: the patch was made from ` +
                           'another file, or is damaged',
      beyondSource: w => `window ${w}: the file to be patched ends before the bytes the window copies`,
      changeLine: c => c.english,
    },
    ja: {
      title: 'KERV アーカイブ',
      language: '言語',
      intro: 'KERV と P-KERV のアーカイブを開き、検査し、プレビューし、編集し、取り出します。シナリオとデータファイルを' +
             'まとめることもできます。すべてこのコンピューターの中で行われ、ファイルが外に出ることはありません。',
      openHeading: 'アーカイブを開く',
      openLabel: 'アーカイブ (.krv または .pkv):',
      dropHint: 'このページのどこにでもドロップできます。',
      archiveHeading: 'アーカイブ',
      extractAll: 'すべて取り出す…',
      tableCaption: 'データファイル (シナリオのファイルリストの順)。矢印キーで行を移動し、Enter キーでプレビュー、' +
                    '→ で行のボタンへ移ります。',
      name: '名前', size: 'サイズ', offset: 'オフセット', actions: '操作',
      save: '保存', replace: '差し替え', addFile: 'ファイルを追加', added: '新規',
      saveName: name => `${name} を保存`, replaceName: name => `${name} を差し替え`,
      addFileName: name => `${name} のファイルを追加`,
      rowLabel: (name, size) => `${name}、${size} バイト`,
      replacedBy: (name, size) => `${name} (${size} バイト) に差し替え`,
      addedRow: name => `${name}、編集したシナリオのファイルリストの新しい名前`,
      addedBy: (name, size) => `${name}、${size} バイト`,
      leftOut: 'リストにないため、保存すると外されます',
      scenarioHeading: 'シナリオ',
      editLabel: 'シナリオを編集 (テキストは Shift_JIS に戻されます。変えていない行はバイトのまま残ります。␍ は改行の' +
                 '続かない復帰文字です)。ここにドロップしたテキストファイルは挿入されます。',
      saveArchive: '編集したアーカイブを保存',
      packHeading: 'シナリオをまとめる',
      packIntro: 'シナリオ (.ker または .psc) と、そのリストにあるデータファイル、またはそれらを含むフォルダーを' +
                 '選ぶか、シナリオをページにドロップしてください。アーカイブはファイルそのものから作られ、ダウンロードとして' +
                 '保存されます。',
      packFiles: 'シナリオとデータファイル:', packFolder: 'またはフォルダーごと:', packScenario: 'シナリオ:',
      pack: 'まとめる', packMore: 'データファイルを追加:',
      summary: (name, a) => `${name}: ${a.dialect} アーカイブ、バージョン ${a.version}、待ち時間 ${a.waitingTime} 秒、` +
                            `データファイル ${a.entries.length} 個`,
      opening: (name, n) => `${name} を開いています: データブロック ${n} 個を読みました…`,
      busyReason: '保存、取り出し、差し替え、編集は開き終わるまで待ちます。',
      listing: (n, total) => `表に ${total} 行のうち ${n} 行…`,
      notOpened: (name, why) => `${name} は開きませんでした: ${why}。`,
      stillOpen: name => `${name} は開いたままです。`,
      shrank: part => `${part}の途中でファイルが終わっています。選んだときより短くなっています`,
      unreadable: 'ブラウザーがファイルを読めません (選んだ後に変更されたか移動された可能性があります)',
      parts: { header: 'ヘッダー', scenario: 'シナリオ', size: 'ブロックのサイズ' },
      droppedFolder: 'フォルダーがドロップされました。何も開いていません。アーカイブ (.krv または .pkv) を一つ' +
                     'ドロップしてください。フォルダーをまとめるには「シナリオをまとめる」で選んでください。',
      droppedSeveral: n => `${n} 個のファイルがドロップされました。何も開いていません。アーカイブは一つずつ、` +
                           'まとめるにはシナリオとそのデータファイルをドロップしてください。',
      discardTitle: '保存していない編集',
      discardText: (open, other) => `${open} の編集は保存されていません。${other} を開くと編集は失われます。`,
      discardKeep: '編集を続ける', discardOpen: name => `編集を捨てて ${name} を開く`,
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
      writeFailed: 'ブラウザーが書き込めませんでした',
      extracted: (n, total, folder) => `${folder} に ${total} 個のうち ${n} 個のファイルを作成しました。`,
      packing: name => `${name} をまとめています…`,
      packed: (name, size) => [name, ` (${size} バイト) ができました。`],
      noScenario: '選んだファイルにシナリオがありません。.ker か .psc のファイルをデータファイルと一緒に選んでください。',
      severalScenarios: n => `シナリオが ${n} 個選ばれました。一つ選んで「まとめる」を押してください。`,
      packSummary: (name, n, found) => `${name} のリストにはデータファイルが ${n} 個あり、${found} 個見つかりました。`,
      packFound: (name, size) => `${name}: ${size} バイト`,
      packMissing: name => `${name}: 見つかりません。下で選んでください`,
      packRefused: (name, why) => `${name}: まとめません: ${why}`,
      packTooLarge: (name, size) => `${name}: ${size} バイトですが、データファイルは 2147483647 バイト (2 GiB 未満) までです`,
      packCollide: (name, other) => `${name} と ${other} が同じファイルを指しています。どちらかの名前を変えてください`,
      notPicked: (name, missing) => `${name} のリストにあるデータファイルが選ばれていません: ${missing}`,
      tooLarge: (max, list) => `データファイルは ${max} バイト (2 GiB 未満) までです: ${list}`,
      saving: 'アーカイブを作っています…',
      saved: (name, size) => `${name} (${size} バイト) を保存しました。`,
      nothingToSave: 'まだ何も変わっていません。',
      needsFile: names => `編集したシナリオのリストに、アーカイブにないデータファイルがあります: ${names}。` +
                          'それぞれ「ファイルを追加」で指定してください。',
      encodeError: (line, column, character) => `${line} 行 ${column} 文字目: ${character} は Shift_JIS ` +
                                                '(コードページ 932) にない文字です',
      notUtf8Here: (line, column) => `${line} 行 ${column} 文字目: テキストが UTF-8 になっていません`,
      newScenario: why => `編集したシナリオは使えません: ${why}`,
      noDataFile: name => `データファイル ${name} はありません`,
      givenTwice: name => `${name} に別々のファイルが二つ指定されています`,
      insertOne: 'テキストファイルを一つドロップすると挿入されます。',
      notUtf8: name => `${name} は UTF-8 のテキストではありません。何も挿入していません。`,
      inserted: name => `${name} を挿入しました。`,
      busy: 'アーカイブが開くまでお待ちください。',
      failed: what => `${what}に失敗しました。ページが予期しないエラーをブラウザーが報告しました。何も変わっていません。`,
      actionNames: { save: '保存', extract: '取り出し', open: '開くこと', pack: 'まとめること', preview: 'プレビュー',
                     patch: 'パッチ作り', apply: 'パッチ当て' },
      patchChosen: name => `${name} を当てるパッチにしました。アーカイブを選ぶか、開いているアーカイブに当ててください。`,
      startFailed: why => `ページを開始できません: ${why}`,
      patchHeading: 'パッチ',
      patchIntro: 'パッチには変わったところだけが入ります。アーカイブ (ゲームのデータそのもの) ではなくパッチを配布して' +
                  'ください。プレイヤーはここか、kerv patch か、xdelta3 で当てられます。',
      makeHeading: 'パッチを作る',
      makeNeeds: '上で元のアーカイブを開き、変更したアーカイブを選ぶか、このアーカイブを編集してください。',
      patchNewLabel: '開いているアーカイブから変更したアーカイブへ:',
      patchEdits: '編集からパッチを作る',
      applyHeading: 'パッチを当てる',
      applyArchiveLabel: 'アーカイブ (元のもの):',
      applyPatchLabel: 'パッチ (.vcdiff または .xdelta):',
      applyButton: 'パッチを当てる',
      applyOpen: name => `選ばなければ、開いているアーカイブ ${name} に当てます。`,
      applyNeeds: 'アーカイブを選ぶか上で開き、パッチを選んでください。',
      comparing: (a, b) => `${a} と ${b} を比べています…`,
      summing: 'パッチのチェックサムのために両方のアーカイブを読んでいます…',
      madePatch: (name, size, n) => `${name} (${size} バイト) を保存しました: 変更 ${n} 件。`,
      madeEditsPatch: (name, size) => `${name} (${size} バイト) を保存しました。`,
      noChange: (a, b) => `${a} と ${b} は同じバイト列です。このパッチは何も変えません。`,
      applying: (patch, archive) => `${patch} を ${archive} に当てています…`,
      applied: (name, size) => `${name} (${size} バイト) を保存しました。`,
      checking: name => `${name} がパッチの元のアーカイブか確かめています… 確かめ終わるまで、保存したファイルは使わないで` +
                        'ください。',
      checkedPatch: name => `確認しました: ${name} はパッチの元のアーカイブで、保存したファイルは完全です。`,
      checkFailed: why => `保存したファイルは使わないでください: ${why}。`,
      alreadyPatched: name => `${name} はもうパッチが当たっています。このパッチが作るアーカイブそのものです`,
      otherSize: (name, expected, found) => `${name} はこのパッチの元のアーカイブではありません (${grouped(expected)} ` +
                                           `バイトのはずが ${grouped(found)} バイトです)。別の版か、すでにパッチが` +
                                           '当たっている可能性があります',
      otherBytes: (name, size) => `${name} はこのパッチの元のアーカイブではありません (${grouped(size)} バイトで` +
                                  '大きさは合っていますが、中身が違います)。別の版か、すでにパッチが当たっている可能性があります',
      windowChecksum: w => `ウィンドウ ${w}: 作ったバイト列がウィンドウのチェックサムと合いません。パッチは別のファイル` +
                           'から作られたか、壊れています',
      beyondSource: w => `ウィンドウ ${w}: パッチを当てるファイルが、ウィンドウのコピーするバイトより前で終わっています`,
      changeLine: c => (c.kind === 'header' ? 'ヘッダー: 変更 (3 から 7 バイト目)'
        : c.kind === 'scenario' ? `シナリオ: 変更 (${c.oldSize} → ${c.newSize} バイト)`
          : c.kind === 'changed' ? `${c.name}: 変更 (${c.oldSize} → ${c.newSize} バイト)`
            : c.kind === 'added' ? `${c.name}: 追加 (${c.newSize} バイト)` : `${c.name}: 削除`),
    },
  };

  // What the library finds wrong, in Japanese; in English the library's own
  // sentence is used, the one kervls and kerv print.
  const PROBLEMS_JA = {
    emptyName: () => '空の名前です',
    absoluteName: () => '絶対パスの名前です',
    outsideFolder: () => '「..」がフォルダーの外に出ます',
    controlCharacter: p => `制御文字 U+${hex(p.n[0], 4)} を含みます`,
    noCharacter: p => `${p.n[1]} バイト目の 0x${hex(p.n[0], 2)} は文字になりません`,
    windowsColon: () => '「:」は Windows でドライブかストリームを指します',
    windowsDevice: () => 'Windows の装置の名前です',
    windowsDropped: () => '末尾の「.」か空白は Windows で落とされます',
    scenarioName: () => 'シナリオファイルと同じ名前です',
    fileFolderClash: () => '同じ名前のファイルとフォルダーがあります',
    notAScenario: () => 'KERV か P-KERV のシナリオではありません (KERV でも PKERV でも始まっていません)',
    scenarioTooLong: p => `シナリオファイルは 32767 バイトまでです (このファイルは ${p.n[0]} バイト)`,
    bareLineFeed: p => `${p.n[0]} 行目が LF だけで終わっています。シナリオは CR LF の改行で保存してください`,
    bareCarriageReturn: p => `${p.n[0]} 行目が CR だけで終わっています。シナリオは CR LF の改行で保存してください`,
    notAnArchive: () => 'KERV か P-KERV のアーカイブではありません (KRV でも PKV でも始まっていません)',
    cutInHeader: p => `ヘッダーの途中で切れています: ${p.n[0]} バイトしかなく、ヘッダーは 10 バイトです`,
    cutInScenario: p => `シナリオの途中で切れています: オフセット 10 から ${p.n[0]} バイトしかなく、シナリオは ` +
                        `${p.n[1]} バイトです`,
    wrongScenario: p => `オフセット ${p.offset}: シナリオが ${p.name} のものではありません (${p.other} で始まっていません)`,
    bytesAfterBlocks: p => `オフセット ${p.offset}: 最後のデータブロックの後に ${p.n[0]} バイトあります`,
    blocksMissing: p => `オフセット ${p.offset}: データブロック ${p.n[1]} 個のうち ${p.n[0]} 個がありません。` +
                        `アーカイブは ${p.n[2]} 個目の後で終わっています`,
    endsInSizeField: p => `オフセット ${p.offset}: データブロック ${p.n[0]} のサイズの途中でアーカイブが終わっています。` +
                          `データブロック ${p.n[2]} 個のうち ${p.n[1]} 個がありません`,
    badBlockSize: p => `オフセット ${p.offset}: データブロック ${p.n[0]} のサイズ ${p.n[1]} が不正です (最上位ビットが立っています)`,
    blockRunsPast: p => `オフセット ${p.offset}: データブロック ${p.n[0]} (${p.n[1]} バイト) がアーカイブの終わりを ` +
                        `${p.n[2]} バイト越えています`,
    newScenarioDialect: p => `新しいシナリオは ${p.name} のものではありません (${p.other} で始まっていません)`,
    givenTwice: p => `${p.name} が二度指定されています`,
    dataFileTooLarge: p => `${p.name}: データファイルは 2147483647 バイトまでです (このファイルは ${p.n[0]} バイト)`,
    listedNotGiven: p => `${p.name} は新しいシナリオのリストにありますが、アーカイブにもなく、ファイルも指定されていません`,
    noDataFile: p => `データファイル ${p.name} は${p.n[0] ? '新しいシナリオのファイルリスト' : 'アーカイブ'}にありません`,
    missingDataFile: p => `${p.name}: データファイルが ${p.other} にありません`,
    linkLeadsOutside: p => `${p.name}: ${p.other} の外を指すシンボリックリンクなので、まとめません`,
    namesCollide: p => `${p.name} と ${p.other} が同じファイルを指しています。どちらかの名前を変えてください`,
    differentDialects: p => `アーカイブの方言が違います (${p.name} と ${p.other})`,
    // A patch's: where in it (a window, from 0), and what.
    'patch.notVcdiff': () => 'VCDIFF のパッチではありません (VCDIFF のマジックバイトで始まっていません)',
    'patch.version': p => `VCDIFF のバージョン ${p.value} のパッチは読めません`,
    'patch.cut': p => `${patchPlace(p)}パッチがここで終わっています。途中で切れています`,
    'patch.codeTable': () => 'パッチが独自のコード表を持っています。xdelta3 の標準の表で作り直してください',
    'patch.secondary': () => 'パッチの各部が圧縮されています。このページでは読めません。\'xdelta3 -S none\' で作り直してください',
    'patch.badSecondary': p => `${patchPlace(p)}圧縮された部分が ${p.value} バイトに戻りません`,
    'patch.badWindow': p => `${patchPlace(p)}ウィンドウのヘッダーが壊れています`,
    'patch.tooLarge': p => `${patchPlace(p)}ウィンドウが ${p.value} バイトを作ります。ウィンドウは 16 MiB までです`,
    'patch.badInstruction': p => `${patchPlace(p)}命令がウィンドウかデータを越えています。パッチが壊れています`,
    'patch.badAddress': p => `${patchPlace(p)}COPY がコピーできる範囲の外を指しています。パッチが壊れています`,
    'patch.sourceRead': p => `ウィンドウ ${p.window}: パッチを当てるファイルが、ウィンドウのコピーするバイトより前で終わっています`,
    'patch.checksum': p => `ウィンドウ ${p.window}: 作ったバイト列がウィンドウのチェックサムと合いません。パッチは別の` +
                           'ファイルから作られたか、壊れています',
  };
  const patchPlace = p => (p.window >= 0 ? `ウィンドウ ${p.window} (パッチのオフセット ${p.offset}): `
                                         : `パッチのオフセット ${p.offset}: `);

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
  // A problem of the library in the page's language.
  const said = problem => (language === 'ja' && PROBLEMS_JA[problem.code] ? PROBLEMS_JA[problem.code](problem)
                                                                          : problem.english);

  // A failure of window.kerv: `message` in English for scripts; `problem`
  // (a code of the library) or `key` and `args` (a text of the page) say the
  // same in the page's language.
  class KervError extends Error {
    constructor(message, words = {}) {
      super(message);
      this.name = 'KervError';
      this.problem = words.problem ?? null;
      this.prefix = words.prefix ?? null;  // the file a problem is about, before it
      this.key = words.key ?? null;
      this.args = words.args ?? [];
    }
  }
  const problemError = (problem, prefix = null) =>
    new KervError(prefix ? `${prefix}: ${problem.english}` : problem.english, { problem, prefix });
  const textError = (key, ...args) => new KervError(TEXTS.en[key](...args), { key, args });
  // What went wrong, as the page says it: never a script error's own text.
  const wordsOf = (error, action) => {
    if (error instanceof KervError && error.problem) {
      return error.prefix ? `${error.prefix}: ${said(error.problem)}` : said(error.problem);
    }
    if (error instanceof KervError) return error.key ? t(error.key, ...error.args) : error.message;
    if (error?.name === 'NotReadableError' || error?.name === 'NotFoundError') return t('unreadable');
    console.error(error);
    return t('failed', t('actionNames')[action]);
  };

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
        if (problem) throw textError('newScenario', problem.english);
        names = plan.names();
      } finally {
        plan.delete();
      }
    }
    const given = [];  // [stored name, Blob]
    for (const [name, file] of Object.entries(changes.replace ?? {})) {
      const stored = names.find(n => m.decodeName(n) === name) ?? names.find(n => m.showName(n) === name);
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
    if (plan.problem) throw plan.newScenario ? textError('newScenario', plan.problem.english) : problemError(plan.problem);
    const parts = plan.pieces.map(p => p.bytes ?? (p.file !== undefined ? files[p.file]
                                                                         : blob.slice(p.offset, p.offset + p.length)));
    const pieces = plan.pieces.map(p => (p.bytes ? { bytes: p.bytes } : p.file !== undefined ? { blob: files[p.file] }
                                                                                       : { copy: p.offset, length: p.length }));
    return { parts, pieces };
  }

  // ---- Patches ----

  // Patches are VCDIFF (RFC 3284), as xdelta3 writes and reads them: the
  // library's encoder and decoder. Files are read through in slices of this
  // size (a browser reads a large slice several times faster, per byte, than
  // a few small ones); a comparison starts with small slices, since blocks
  // that differ mostly differ early, and doubles them up to it.
  const kStep = 32 << 20;
  const kFirstStep = 1 << 20;

  async function* slicesOf(blob, from = 0, to = blob.size) {
    for (let at = from; at < to; at += kStep) yield await readSlice(blob, at, Math.min(to, at + kStep));
  }

  // Where two arrays (of one length) differ first and last; -1 where they agree.
  function firstDifference(a, b) {
    const words = a.length >> 2;
    let i = 0;
    if (a.byteOffset % 4 === 0 && b.byteOffset % 4 === 0) {
      const x = new Uint32Array(a.buffer, a.byteOffset, words);
      const y = new Uint32Array(b.buffer, b.byteOffset, words);
      while (i < words && x[i] === y[i]) ++i;
      i *= 4;
    }
    while (i < a.length && a[i] === b[i]) ++i;
    return i < a.length ? i : -1;
  }
  function lastDifference(a, b) {
    let i = a.length - 1;
    while (i >= 0 && a[i] === b[i]) --i;
    return i;
  }

  // How many bytes two blocks (entries of two archives in their Blobs)
  // share at their start, and in what is left of the shorter at their end.
  async function shared(oldBlob, o, newBlob, n, signal) {
    const shorter = Math.min(o.size, n.size);
    let prefix = 0;
    let step = kFirstStep;
    while (prefix < shorter) {
      signal?.throwIfAborted();
      const length = Math.min(step, shorter - prefix);
      step = Math.min(2 * step, kStep);
      const [a, b] = await Promise.all([readSlice(oldBlob, o.offset + prefix, o.offset + prefix + length),
                                        readSlice(newBlob, n.offset + prefix, n.offset + prefix + length)]);
      const at = firstDifference(a, b);
      prefix += at < 0 ? length : at;
      if (at >= 0) break;
    }
    let suffix = 0;
    const limit = shorter - prefix;
    step = kFirstStep;
    while (suffix < limit) {
      signal?.throwIfAborted();
      const length = Math.min(step, limit - suffix);
      step = Math.min(2 * step, kStep);
      const [a, b] = await Promise.all([readSlice(oldBlob, o.offset + o.size - suffix - length, o.offset + o.size - suffix),
                                        readSlice(newBlob, n.offset + n.size - suffix - length, n.offset + n.size - suffix)]);
      const at = lastDifference(a, b);
      suffix += at < 0 ? length : length - 1 - at;
      if (at >= 0) break;
    }
    return { prefix, suffix };
  }

  // What differs from the archive `olds` to the archive `news` (both from
  // open()): {equal, changes: [{kind ("header", "scenario", "changed",
  // "added", "removed"), name, nameBytes, oldSize, newSize, english}],
  // pieces}, as kerv diff finds it. Rejects with a KervError for archives
  // of two dialects, or a damaged one.
  async function diff(olds, news, options = {}) {
    await library;
    const d = new m.Diff(olds[INDEX].index, news[INDEX].index);
    try {
      let r = d.run();
      // `beforehand(d)` may answer questions before they are asked (and does
      // its work only for archives the diff can compare).
      if (!r.problem && options.beforehand) {
        await options.beforehand(d);
        r = d.run();
      }
      for (;;) {
        if (r.problem) throw problemError(r.problem, r.problem.other === 'new' ? news.name : olds.name);
        if (!r.asked) return r;
        for (const [i, j] of r.asked) {
          const { prefix, suffix } = await shared(olds[INDEX].blob, olds.entries[i], news[INDEX].blob, news.entries[j],
                                                  options.signal);
          d.answer(i, j, prefix, suffix);
        }
        r = d.run();
      }
    } finally {
      d.delete();
    }
  }

  const stem = name => name.replace(/\.[^.]*$/, '');

  // A file's sum taken in order, and with `windows` the Adler-32 of each
  // patch window of it: update() each run of bytes, then finish().
  function summer(windows = null) {
    const sum = new m.Sum();
    let value = 1;
    let inWindow = 0;
    return {
      sum,
      update(bytes) {
        sum.update(bytes);
        if (!windows) return;
        for (let at = 0; at < bytes.length;) {
          const take = Math.min(bytes.length - at, m.patchWindowSize - inWindow);
          value = m.adler32(value, bytes.subarray(at, at + take));
          at += take;
          inWindow += take;
          if (inWindow === m.patchWindowSize) {
            windows.push(value);
            value = 1;
            inWindow = 0;
          }
        }
      },
      finish() {
        if (windows && inWindow > 0) windows.push(value);
        return sum;
      },
    };
  }

  // The sum of a Blob, and with `windows`, the Adler-32 of each patch window.
  async function sumOf(blob, windows = null, signal = null) {
    const s = summer(windows);
    try {
      for await (const bytes of slicesOf(blob)) {
        signal?.throwIfAborted();
        s.update(bytes);
      }
    } catch (e) {
      s.sum.delete();
      throw e;
    }
    return s.finish();
  }

  // One pass over two archives for a patch: both are read through once, in
  // order, and summed (the new one's windows too), and each pair of blocks
  // of one name and size is compared as its bytes pass, its answer given
  // to the Diff `d`. An old block that lies before what was read already
  // is read again for its comparison. Resolves to [oldSum, newSum].
  async function scanForPatch(d, olds, news, windows, signal) {
    const oldBlob = olds[INDEX].blob;
    const newBlob = news[INDEX].blob;
    const oldSummer = summer();
    const newSummer = summer(windows);
    let oldAt = 0;  // the old archive is summed up to here
    let newAt = 0;
    // Blocks do not overlap, and what lies before a block is read first:
    // a read starts where the sum is, or lies wholly behind it.
    const readOld = async (from, to) => {
      const bytes = await readSlice(oldBlob, from, to);
      if (from === oldAt) {
        oldSummer.update(bytes);
        oldAt = to;
      }
      return bytes;
    };
    const oldTo = async end => {
      while (oldAt < end) {
        signal?.throwIfAborted();
        await readOld(oldAt, Math.min(end, oldAt + kStep));
      }
    };
    const newTo = async end => {
      while (newAt < end) {
        signal?.throwIfAborted();
        const to = Math.min(end, newAt + kStep);
        newSummer.update(await readSlice(newBlob, newAt, to));
        newAt = to;
      }
    };
    try {
      for (const [i, j] of d.partners()) {
        const o = olds.entries[i];
        const n = news.entries[j];
        if (o.size !== n.size || n.size === 0 || n.offset < newAt) continue;
        await newTo(n.offset);
        if (o.offset > oldAt) await oldTo(o.offset);
        let first = -1;
        let last = -1;
        for (let at = 0; at < n.size; at += kStep) {
          signal?.throwIfAborted();
          const length = Math.min(kStep, n.size - at);
          const [a, b] = await Promise.all([readOld(o.offset + at, o.offset + at + length),
                                            readSlice(newBlob, n.offset + at, n.offset + at + length)]);
          newSummer.update(b);
          newAt = n.offset + at + length;
          const f = firstDifference(a, b);
          if (f < 0) continue;
          if (first < 0) first = at + f;
          last = at + lastDifference(a, b);
        }
        d.answer(i, j, first < 0 ? n.size : first, first < 0 ? 0 : n.size - 1 - last);
      }
      await Promise.all([oldTo(oldBlob.size), newTo(newBlob.size)]);
    } catch (e) {
      oldSummer.sum.delete();
      newSummer.sum.delete();
      throw e;
    }
    return [oldSummer.finish(), newSummer.finish()];
  }

  // The patch that makes the Blob `newBlob` (`newName`) from the archive
  // `olds`, from pieces over both: {copy, length} of the old archive,
  // {offset, length} of newBlob, {blob}, {bytes}. A File named NEW.vcdiff.
  // `summed`, when the sums were taken already: {oldSum, newSum, windows},
  // which this deletes.
  async function encodePatch(olds, newBlob, newName, pieces, signal, summed = null) {
    let windows = [];
    let oldSum;
    let newSum;
    if (summed) {
      ({ oldSum, newSum, windows } = summed);
    } else {
      // Both read at once: a browser's file reads overlap.
      const sums = await Promise.allSettled([sumOf(olds[INDEX].blob, null, signal), sumOf(newBlob, windows, signal)]);
      const failed = sums.find(r => r.status === 'rejected');
      if (failed) {
        for (const r of sums) r.value?.delete();
        throw failed.reason;
      }
      [oldSum, newSum] = sums.map(r => r.value);
    }
    let encoder = null;
    try {
      encoder = new m.Encoder(newName, olds.name, oldSum, newSum, Uint32Array.from(windows));
      const parts = [];
      const literal = async blob => {
        for await (const bytes of slicesOf(blob)) {
          signal?.throwIfAborted();
          if (!encoder.literal(bytes)) return false;
          parts.push(encoder.take());
        }
        return true;
      };
      for (const p of pieces) {
        const ok = p.copy !== undefined ? encoder.copy(p.copy, p.length)
          : p.bytes ? encoder.literal(p.bytes)
            : await literal(p.blob ?? newBlob.slice(p.offset, p.offset + p.length));
        if (!ok) throw new KervError(encoder.error());
        parts.push(encoder.take());
      }
      if (!encoder.finish()) throw new KervError(encoder.error());
      parts.push(encoder.take());
      return new File(parts, `${stem(newName)}.vcdiff`, { type: 'application/vcdiff' });
    } finally {
      oldSum.delete();
      newSum.delete();
      encoder?.delete();
    }
  }

  // The patch that makes `news` (an archive from open(), or changes as
  // update() takes them) from the archive `olds`: {file (NAME.vcdiff),
  // changes (for an archive)}. xdelta3 applies it ('xdelta3 -d -s OLD
  // PATCH'), and so do applyPatch() and kerv patch, which check first that
  // the archive is the one it was made from.
  async function makePatch(olds, news, options = {}) {
    await library;
    if (news && news[INDEX]) {
      // The archives are read once, for the comparisons and the sums together.
      const windows = [];
      let sums = null;
      let d;
      try {
        d = await diff(olds, news, {
          ...options,
          beforehand: async diffing => {
            const [oldSum, newSum] = await scanForPatch(diffing, olds, news, windows, options.signal);
            sums = { oldSum, newSum, windows };
          },
        });
      } catch (e) {
        sums?.oldSum.delete();
        sums?.newSum.delete();
        throw e;
      }
      return { file: await encodePatch(olds, news[INDEX].blob, news.name, d.pieces, options.signal, sums),
               changes: d.changes };
    }
    const { parts, pieces } = await planUpdate(olds, news ?? {});
    const edited = new Blob(parts);
    return { file: await encodePatch(olds, edited, olds.name, pieces, options.signal), changes: null };
  }

  // A patch's complaint, as a KervError; `name` the patch's.
  const patchError = (problem, name) => problemError({ ...problem, code: `patch.${problem.code}` }, name);

  // The archive `archive` (a Blob) as the patch `patch` (a Blob) makes it:
  // {file, checked}. The file is made at once, of slices of the archive and
  // the patch's own bytes, without reading the archive; `checked` then reads
  // it and resolves once each window has its checksum and the file has the
  // sum the patch names, or rejects with a KervError (the archive is not
  // the one the patch was made from, or it is damaged). Rejects at once for
  // a patch that is damaged or cut short, or an archive of another size
  // than the patch names.
  async function applyPatch(archive, patch, options = {}) {
    await library;
    const decoder = new m.Patch(await readSlice(patch, 0, patch.size));
    const archiveName = archive.name ?? 'archive';
    const patchName = patch.name ?? 'patch';
    try {
      const header = decoder.header();
      if (header.problem) throw patchError(header.problem, patchName);
      if (header.oldSize >= 0 && archive.size !== header.oldSize) {
        const done = archive.size === header.newSize && await sumHex(archive, options.signal) === header.newSum;
        throw done ? textError('alreadyPatched', archiveName) : textError('otherSize', archiveName, header.oldSize, archive.size);
      }
      // The result: ranges of the archive, bytes, and ranges of itself.
      const parts = [];  // {start, end, from, to} (of the archive) or {start, end, bytes}
      let made = 0;
      const add = part => {
        const last = parts[parts.length - 1];
        if (part.from !== undefined && last?.from !== undefined && last.to === part.from) {
          last.to = part.to;
          last.end = made + part.to - part.from;
        } else {
          parts.push({ start: made, end: made + (part.bytes ? part.bytes.length : part.to - part.from), ...part });
        }
        made = parts[parts.length - 1].end;
      };
      const madeAt = (offset, length) => {  // the parts of [offset..offset+length) of what is made
        let lo = 0;
        let hi = parts.length - 1;
        while (lo < hi) {
          const mid = (lo + hi + 1) >> 1;
          if (parts[mid].start <= offset) lo = mid;
          else hi = mid - 1;
        }
        const out = [];
        for (let i = lo, at = offset, end = offset + length; at < end; ++i) {
          const p = parts[i];
          const to = Math.min(end, p.end);
          out.push(p.bytes ? { bytes: p.bytes.subarray(at - p.start, to - p.start) }
                           : { from: p.from + at - p.start, to: p.from + to - p.start });
          at = to;
        }
        return out;
      };
      const windows = [];
      for (let w; (w = decoder.next()) !== null;) {
        options.signal?.throwIfAborted();
        if (w.problem) throw patchError(w.problem, patchName);
        const from = made;
        for (const s of w.spans) {
          if (s.bytes) {
            add({ bytes: s.bytes });
          } else if (s.source !== undefined) {
            if (s.source + s.length > archive.size) {
              throw patchError({ code: 'sourceRead', window: windows.length, offset: 0, value: 0,
                                 english: TEXTS.en.beyondSource(windows.length) }, patchName);
            }
            add({ from: s.source, to: s.source + s.length });
          } else {
            for (const p of madeAt(s.target, s.length)) add(p);
          }
        }
        windows.push({ start: from, length: w.length, checksum: w.checksum });
      }
      const name = shortened((header.newName || archiveName).split(/[\\/]/).pop() || archiveName);
      const file = new File(parts.map(p => p.bytes ?? archive.slice(p.from, p.to)), name,
                            { type: 'application/octet-stream' });
      const checked = checkPatched(file, header, windows, archiveName, options.signal);
      checked.catch(() => {});  // a rejection the caller does not wait for is not an error of the page
      return { file, checked };
    } finally {
      decoder.delete();
    }
  }

  async function sumHex(blob, signal) {
    const sum = await sumOf(blob, null, signal);
    try {
      return sum.hex();
    } finally {
      sum.delete();
    }
  }

  // Reads what a patch made: each window's checksum, and the sum the patch names.
  async function checkPatched(file, header, windows, archiveName, signal) {
    const sum = header.newSum ? new m.Sum() : null;
    try {
      let w = 0;
      let value = 1;
      let inWindow = 0;
      const windowDone = () => {
        const { checksum } = windows[w];
        if (checksum !== null && value >>> 0 !== checksum) {
          if (header.newSum) throw textError('otherBytes', archiveName, header.oldSize);
          throw patchError({ code: 'checksum', window: w, offset: 0, value: 0,
                             english: TEXTS.en.windowChecksum(w) }, archiveName);
        }
        ++w;
        value = 1;
        inWindow = 0;
      };
      for await (const bytes of slicesOf(file)) {
        signal?.throwIfAborted();
        sum?.update(bytes);
        for (let at = 0; at < bytes.length;) {
          while (w < windows.length && windows[w].length === inWindow) windowDone();
          const take = Math.min(bytes.length - at, windows[w].length - inWindow);
          value = m.adler32(value, bytes.subarray(at, at + take));
          at += take;
          inWindow += take;
        }
      }
      while (w < windows.length) windowDone();
      if (sum && sum.hex() !== header.newSum) throw textError('otherBytes', archiveName, header.oldSize);
      return true;
    } finally {
      sum?.delete();
    }
  }

  window.kerv = Object.freeze({
    open, pack, update, diff, makePatch, applyPatch, KervError, ready: library.then(() => true),
    decodeName: async bytes => (await library).showName(bytes),
  });

  // ---- The page ----

  const $ = id => document.getElementById(id);
  const element = (tag, props = {}, ...children) => {
    const e = Object.assign(document.createElement(tag), props);
    e.append(...children);
    return e;
  };
  const keyOf = bytes => Array.from(bytes, b => b.toString(16).padStart(2, '0')).join('');

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
    applying: null,           // the token of the patch being applied
  };

  const textEdited = () => state.archive !== null && $('scenario-edit').value !== state.archive.scenarioEditable;
  const hasEdits = () => state.replacements.size > 0 || [...state.additions.values()].some(a => a.file) || textEdited();
  const unsaved = () => state.archive !== null && hasEdits() && state.editVersion !== state.savedVersion;

  function edited() {
    state.editVersion += 1;
    updateControls();
  }

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
    if (state.pack.scenario) showPackView();
  }

  function showMessage(id, message) {
    $(id).textContent = message;
    $(id).hidden = !message;
  }
  const showError = message => showMessage('error', message);
  const setStatus = (id, message, bad = false) => {
    $(id).textContent = message;
    $(id).classList.toggle('bad', bad);
  };

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
    // aria-disabled on the grid disables what is in it: one attribute, however many rows.
    if ($('entries').getAttribute('aria-disabled') !== String(busy)) $('entries').setAttribute('aria-disabled', String(busy));
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
    $('scenario-text').textContent = m.decodeText(archive.scenario).replace(/\r\n/g, '\n');
    $('scenario-edit').value = archive.scenarioEditable;
  }

  // ---- The edited scenario: names it adds, names it leaves out ----

  // After an edit of the text (a moment after the last key), the edited
  // scenario's list against the archive's: a name the archive lacks gets a
  // row with an "Add file" button; an entry no longer listed is marked.
  function analyseEdit() {
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
        setStatus('scenario-status', encoded.character === 0xffffffff ? t('notUtf8Here', encoded.line, encoded.column)
          : t('encodeError', encoded.line, encoded.column,
              `U+${hex(encoded.character, 4)} '${String.fromCodePoint(encoded.character)}'`), true);
        return;
      }
      const plan = new m.PackPlan(encoded.bytes);
      try {
        const problem = plan.problem();
        if (problem) {
          setStatus('scenario-status', t('newScenario', said(problem)), true);
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

  function scenarioEdited() {
    edited();
    clearTimeout(state.analysing);
    state.analysing = setTimeout(analyseEdit, 250);
  }

  // A text file dropped on the text box: its content (UTF-8) at the caret.
  async function insertDropped(files) {
    const edit = $('scenario-edit');
    if (state.busy) return setStatus('scenario-status', t('busy'), true);
    if (files.length !== 1) return setStatus('scenario-status', t('insertOne'), true);
    const file = files[0];
    let text;
    try {
      text = utf8.decode(await readSlice(file, 0, file.size)).replace(/^\ufeff/, '');
    } catch (e) {
      return setStatus('scenario-status', e instanceof TypeError ? t('notUtf8', file.name) : wordsOf(e, 'open'), true);
    }
    edit.setRangeText(text.replace(/\r\n/g, '\n').replace(/\r/g, '\u240d'), edit.selectionStart, edit.selectionEnd, 'end');
    edit.focus();
    setStatus('scenario-status', t('inserted', file.name));
    scenarioEdited();
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
    if (!archive || state.busy) return setStatus('extract-status', t('busy'), true);
    if (!window.showDirectoryPicker) return setStatus('extract-status', t('noFolderPicker'));
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
      setStatus('extract-status', t('creating', job.path));
      try {
        await createIn(folder, job.path, job.blob);
        created += 1;
        report(t('created', job.path), false);
      } catch (e) {
        report(t('cannotCreate', job.path, e instanceof FileExists ? t('fileExists') : t('writeFailed')), true);
        if (!(e instanceof FileExists)) console.error(e);
      }
    }
    setStatus('extract-status', t('extracted', created, jobs.length, folder.name));
  }

  // ---- Editing ----

  // The edits as update() takes them; null, after saying why in the
  // status `where`, when they cannot be saved yet.
  function editChanges(where) {
    const refuse = (text, bad = false) => {
      setStatus(where, text, bad);
      return null;
    };
    if (!state.archive || state.busy) return refuse(t('busy'), true);
    if (!hasEdits()) return refuse(t('nothingToSave'));
    clearTimeout(state.analysing);
    analyseEdit();
    const lacking = [...state.additions.values()].filter(a => !a.file).map(a => a.name);
    if (lacking.length > 0) return refuse(t('needsFile', lacking.join(', ')), true);
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
    setStatus('save-status', t('saving'));
    const version = state.editVersion;
    try {
      const made = await update(archive, changes);
      if (archive !== state.archive) return;
      save(made, made.name);
      state.savedVersion = version;
      setStatus('save-status', t('saved', made.name, made.size));
    } catch (e) {
      setStatus('save-status', wordsOf(e, 'save'), true);
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
    if (state.busy) return setStatus('save-status', t('busy'), true);
    state.replaceTarget = target;
    $('replace-input').value = '';
    $('replace-input').click();
  }

  // ---- Patches ----

  // A patch from the open archive to `file`, a changed copy of it.
  async function makePatchTo(file) {
    const { archive } = state;
    if (!archive || state.busy) return setStatus('make-status', t('busy'), true);
    $('make-changes').replaceChildren();
    setStatus('make-status', t('comparing', state.file.name, file.name));
    const changed = await open(file);
    const made = await makePatch(archive, changed);
    if (archive !== state.archive) return;
    save(made.file, made.file.name);
    setStatus('make-status', made.changes.length > 0 ? t('madePatch', made.file.name, made.file.size, made.changes.length)
                                                     : t('noChange', state.file.name, file.name));
    $('make-changes').replaceChildren(...made.changes.map(c => element('li', { lang: 'ja' }, t('changeLine', c))));
  }

  // A patch from the open archive to the archive as edited.
  async function makeEditsPatch() {
    const { archive } = state;
    $('make-changes').replaceChildren();
    const changes = editChanges('make-status');
    if (!changes) return;
    setStatus('make-status', t('summing'));
    const made = await makePatch(archive, changes);
    if (archive !== state.archive) return;
    save(made.file, made.file.name);
    setStatus('make-status', t('madeEditsPatch', made.file.name, made.file.size));
  }

  // The picked patch applied to the picked archive, or to the open one.
  async function applyChosen() {
    const patch = $('apply-patch').files[0];
    const archive = $('apply-archive').files[0] ?? (state.busy ? null : state.file);
    showMessage('apply-error', '');
    setStatus('apply-check', '');
    if (!patch || !archive) return setStatus('apply-status', t(state.busy ? 'busy' : 'applyNeeds'), true);
    const token = state.applying = {};  // the last application is the one reported
    setStatus('apply-status', t('applying', patch.name, archive.name));
    const { file, checked } = await applyPatch(archive, patch);
    if (state.applying !== token) return;
    save(file, file.name);
    setStatus('apply-status', t('applied', file.name, file.size));
    setStatus('apply-check', t('checking', archive.name));
    try {
      await checked;
      if (state.applying === token) setStatus('apply-check', t('checkedPatch', archive.name));
    } catch (e) {
      if (state.applying !== token) return;
      setStatus('apply-check', '');
      showMessage('apply-error', t('checkFailed', wordsOf(e, 'apply')));
    }
  }

  const isPatch = async file => {
    const head = await readSlice(file, 0, 4);
    return head[0] === 0xd6 && head[1] === 0xc3 && head[2] === 0xc4 && head[3] === 0;
  };

  // ---- Packing from the page ----

  const isScenario = f => /\.(ker|psc)$/i.test(f.name);

  async function looksLikeScenario(file) {
    if (isScenario(file)) return true;
    const head = new TextDecoder('ascii').decode(await readSlice(file, 0, 5));
    return head.startsWith('KERV') || head === 'PKERV';
  }

  // Files picked or dropped for packing: added to those picked so far.
  async function packFiles(files, { scenario = null, fresh = false } = {}) {
    showMessage('pack-error', '');
    $('pack-result').textContent = '';
    const pool = fresh ? [] : state.pack.files;
    const known = new Set(pool.map(f => `${f.webkitRelativePath}/${f.name}/${f.size}/${f.lastModified}`));
    for (const f of files) {
      if (!known.has(`${f.webkitRelativePath}/${f.name}/${f.size}/${f.lastModified}`)) pool.push(f);
    }
    state.pack.files = pool;
    const scenarios = scenario ? [scenario] : files.filter(isScenario);
    $('pack-choice').hidden = scenarios.length < 2;
    if (scenarios.length > 1) {
      $('pack-scenario').replaceChildren(...scenarios.map((f, i) =>
        element('option', { value: String(i) }, f.webkitRelativePath || f.name)));
      $('pack-result').textContent = t('severalScenarios', scenarios.length);
      $('pack-start').onclick = () => {
        state.pack.scenario = scenarios[Number($('pack-scenario').value)];
        showPackView(true);
      };
      return;
    }
    if (scenarios.length === 1) state.pack.scenario = scenarios[0];
    if (!state.pack.scenario) return showMessage('pack-error', t('noScenario'));
    await showPackView(true);
  }

  // The scenario being packed, each of its data files found or not; packs
  // once every one is found (when `go`).
  async function showPackView(go = false) {
    const scenarioFile = state.pack.scenario;
    const view = $('pack-view');
    view.hidden = false;
    let plan;
    try {
      const tooLong = m.PackPlan.lengthProblem(scenarioFile.size);
      if (tooLong) throw problemError(tooLong, scenarioFile.name);
      plan = new m.PackPlan(await readSlice(scenarioFile, 0, scenarioFile.size));
      const problem = plan.problem();
      if (problem) throw problemError(problem, scenarioFile.name);
    } catch (e) {
      plan?.delete();
      $('pack-list').replaceChildren();
      $('pack-summary').textContent = '';
      showMessage('pack-error', wordsOf(e, 'pack'));
      return;
    }
    let found;
    try {
      found = matchDataFiles(plan, state.pack.files.filter(f => f !== scenarioFile));
    } finally {
      plan.delete();
    }
    const line = f => {
      if (f.problem === null) return element('li', { lang: 'ja' }, t('packFound', f.name, f.file.size));
      const words = f.problem === 'missing' ? t('packMissing', f.name)
        : f.problem === 'tooLarge' ? t('packTooLarge', f.name, f.file.size)
          : f.problem === 'collide' ? t('packCollide', f.other, f.name) : t('packRefused', f.name, said(f.problem));
      return element('li', { lang: 'ja', className: 'bad' }, words);
    };
    $('pack-list').replaceChildren(...found.map(line));
    $('pack-summary').textContent = t('packSummary', scenarioFile.name, found.length,
                                      found.filter(f => f.problem === null).length);
    if (go && found.every(f => f.problem === null)) await packPicked(scenarioFile);
  }

  async function packPicked(scenarioFile) {
    showMessage('pack-error', '');
    $('pack-result').textContent = t('packing', scenarioFile.name);
    try {
      const archive = await pack(scenarioFile, state.pack.files);
      if (state.packUrl) URL.revokeObjectURL(state.packUrl);
      state.packUrl = URL.createObjectURL(archive);
      const link = element('a', { href: state.packUrl, download: archive.name, id: 'pack-download' }, archive.name);
      const [, rest] = t('packed', archive.name, archive.size);
      $('pack-result').replaceChildren(link, rest);
      link.click();
    } catch (e) {
      $('pack-result').textContent = '';
      showMessage('pack-error', wordsOf(e, 'pack'));
    }
  }

  // ---- Dropping ----

  async function dropped(transfer) {
    const items = Array.from(transfer.items ?? []).filter(i => i.kind === 'file');
    const files = Array.from(transfer.files);
    if (files.length === 0) return;
    if (items.some(i => i.webkitGetAsEntry?.()?.isDirectory)) return showError(t('droppedFolder'));
    if (files.length === 1 && await isPatch(files[0])) {
      // A patch: the one to apply.
      const chosen = new DataTransfer();
      chosen.items.add(files[0]);
      $('apply-patch').files = chosen.files;
      showError('');
      setStatus('apply-status', t('patchChosen', files[0].name));
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

  // Runs an action; whatever it throws is said in the page's own words.
  const guarded = (action, where, name) => async (...args) => {
    try {
      await action(...args);
    } catch (e) {
      setStatus(where, wordsOf(e, name), true);
    }
  };

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
    guarded(dropped, 'open-status', 'open')(e.dataTransfer);
  });

  applyTexts();
  library.catch(e => showError(t('startFailed', e.message ?? e)));
})();
