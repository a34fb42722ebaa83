// The page's texts in English and Japanese, the language chosen, and how
// a failure is worded (KervError).

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
    noChange: (name, size, n, a, b) => `${a} and ${b} hold the same bytes: ${name} (${size} bytes) changes nothing.`,
    applying: (patch, archive) => `Applying ${patch} to ${archive}…`,
    stillApplying: 'A patch is being applied: wait until it is done.',
    checkingArchive: (name, done, total) => `Checking that ${name} is the archive the patch was made from: ` +
                                            `${grouped(done)} of ${grouped(total)} bytes read…`,
    patchingArchive: (name, done, total) => `Patching ${name}: ${grouped(done)} of ${grouped(total)} bytes made and ` +
                                            'checked…',
    savedChecked: (name, size, archive) => `${name} (${size} bytes) is saved, checked: ${archive} was the archive the ` +
                                           'patch was made from, and every byte is as the patch says.',
    savedUnchecked: (name, size) => `${name} (${size} bytes) is saved, unchecked, as you chose.`,
    notApplied: why => `Nothing was saved: ${why}.`,
    uncheckedTitle: 'This patch cannot be checked',
    uncheckedText: name => `${name} carries no sums of the archive it was made from, and its windows no checksums. ` +
                           'If the archive is another edition, the result is broken and nothing says so. Apply it ' +
                           'only to the archive its maker names; your archive itself is left as it is.',
    uncheckedCancel: 'Do not apply it',
    uncheckedApply: 'Apply it all the same',
    patcherHeading: name => `A patch that makes ${name}`,
    patcherTitle: 'Patch',
    patcherNeeds: (old, size, name) => `This page patches ${old} (${grouped(size)} bytes) into ${name}. Pick that ` +
                                       'archive; nothing else is accepted.',
    patcherEmpty: 'This page holds no patch: make one with kerv diff --page, or with the KERV archives page.',
    patcherPick: old => `Your ${old}:`,
    patcherDrop: 'or drop it on this page.',
    patcherApply: 'Patch it and save the result',
    patcherPrivacy: 'Everything happens on this computer: the archive never leaves it, and the original is left as it is.',
    patcherOtherSize: (name, old, expected, found) => `${name} is not the archive this patch needs: ${old} has ` +
                                                       `${grouped(expected)} bytes, ${name} ${grouped(found)}.`,
    patcherReady: name => `${name} is the archive this patch was made from. Press the button to patch it.`,
    patcherOneFile: 'Drop one file: the archive this patch needs.',
    makePatcher: 'Save a patcher page for players',
    patcherTitleLabel: 'Its title:',
    patcherNoteLabel: 'A note for players:',
    patcherIntro: 'A patcher page is one HTML file that holds this patch and patches the archive in the player’s ' +
                  'browser, opened from disk, without a network.',
    madePatcher: (name, size) => `${name} (${size} bytes) is saved.`,
    translatorsLabel: 'For translators:',
    exportPo: 'Export PO',
    exportCsv: 'Export CSV',
    importStrings: 'Apply translations (.po or .csv):',
    translationsApplied: name => `${name} is put into the scenario below, as an edit: look it over, then save the ` +
                                 'archive or make a patch.',
    translationsRefused: (name, n) => `${name} was not applied: ${plural(n, 'problem')}, listed below.`,
    editFirst: 'The edited scenario cannot be encoded: mend the text box first.',
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
    fields: ['形式', 'バージョン', '待ち時間', '2 番目の数値', 'タイトル', 'ファイルリスト', '2 番目のリスト'],
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
    failed: what => `${what}に失敗しました。ブラウザーで予期しないエラーが起きました。何も変わっていません。`,
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
    noChange: (name, size, n, a, b) => `${a} と ${b} は同じバイト列です。${name} (${size} バイト) は何も変えません。`,
    applying: (patch, archive) => `${patch} を ${archive} に当てています…`,
    stillApplying: 'パッチを当てているところです。終わるまでお待ちください。',
    checkingArchive: (name, done, total) => `${name} がパッチの元のアーカイブか確かめています: ` +
                                            `${grouped(total)} バイトのうち ${grouped(done)} バイトを読みました…`,
    patchingArchive: (name, done, total) => `${name} にパッチを当てています: ${grouped(total)} バイトのうち ` +
                                            `${grouped(done)} バイトを作り、確かめました…`,
    savedChecked: (name, size, archive) => `${name} (${size} バイト) を保存しました。${archive} はパッチの元の` +
                                           'アーカイブで、すべてのバイトがパッチのとおりであることを確かめました。',
    savedUnchecked: (name, size) => `${name} (${size} バイト) を、選ばれたとおり確かめずに保存しました。`,
    notApplied: why => `何も保存していません: ${why}。`,
    uncheckedTitle: 'このパッチは確かめられません',
    uncheckedText: name => `${name} には元のアーカイブのチェックサムも、ウィンドウのチェックサムもありません。` +
                           'アーカイブが別の版なら、壊れた結果ができても何も知らせられません。作った人が示す' +
                           'アーカイブにだけ当ててください。お持ちのアーカイブそのものは変わりません。',
    uncheckedCancel: '当てない',
    uncheckedApply: 'それでも当てる',
    patcherHeading: name => `${name} を作るパッチ`,
    patcherTitle: 'パッチ',
    patcherNeeds: (old, size, name) => `このページは ${old} (${grouped(size)} バイト) にパッチを当てて ${name} を` +
                                       '作ります。そのアーカイブを選んでください。ほかのファイルは受け付けません。',
    patcherEmpty: 'このページにはパッチが入っていません。kerv diff --page か、KERV アーカイブのページで作ってください。',
    patcherPick: old => `お持ちの ${old}:`,
    patcherDrop: 'このページにドロップすることもできます。',
    patcherApply: 'パッチを当てて結果を保存する',
    patcherPrivacy: 'すべてこのコンピューターの中で行われます。アーカイブが外に出ることはなく、元のファイルは' +
                    'そのまま残ります。',
    patcherOtherSize: (name, old, expected, found) => `${name} はこのパッチに必要なアーカイブではありません: ` +
                                                       `${old} は ${grouped(expected)} バイト、${name} は ` +
                                                       `${grouped(found)} バイトです。`,
    patcherReady: name => `${name} はこのパッチの元のアーカイブです。ボタンを押すとパッチを当てます。`,
    patcherOneFile: 'ファイルを一つ、このパッチに必要なアーカイブをドロップしてください。',
    makePatcher: 'プレイヤー向けのパッチページを保存',
    patcherTitleLabel: 'タイトル:',
    patcherNoteLabel: 'プレイヤーへのメモ:',
    patcherIntro: 'パッチページは、このパッチを入れた一つの HTML ファイルです。プレイヤーがディスクから開くと、' +
                  'ネットワークなしでブラウザーの中でアーカイブにパッチを当てます。',
    madePatcher: (name, size) => `${name} (${size} バイト) を保存しました。`,
    translatorsLabel: '翻訳者向け:',
    exportPo: 'PO を書き出す',
    exportCsv: 'CSV を書き出す',
    importStrings: '訳を当てる (.po または .csv):',
    translationsApplied: name => `${name} を下のシナリオに編集として入れました。確かめてから、アーカイブを保存するか` +
                                 'パッチを作ってください。',
    translationsRefused: (name, n) => `${name} は当てませんでした: 問題が ${n} 件あります (下に一覧します)。`,
    editFirst: '編集したシナリオを Shift_JIS にできません。先にテキストボックスを直してください。',
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
  noBlock: p => `${p.name}: データブロックがありません (${p.n[1] ? `データブロック ${p.n[1]} のサイズが不正です`
                                                     : `アーカイブはオフセット ${p.n[0]} で終わっています`})`,
  newScenarioDialect: p => `新しいシナリオは ${p.name} のものではありません (${p.other} で始まっていません)`,
  givenTwice: p => `${p.name} が二度指定されています`,
  dataFileTooLarge: p => `${p.name}: データファイルは 2147483647 バイトまでです (このファイルは ${p.n[0]} バイト)`,
  listedNotGiven: p => `${p.name} は新しいシナリオのリストにありますが、アーカイブにもなく、ファイルも指定されていません`,
  noDataFile: p => `データファイル ${p.name} は${p.n[0] ? '新しいシナリオのファイルリスト' : 'アーカイブ'}にありません`,
  missingDataFile: p => `${p.name}: データファイルが ${p.other} にありません`,
  linkLeadsOutside: p => `${p.name}: ${p.other} の外を指すシンボリックリンクなので、まとめません`,
  namesCollide: p => `${p.name} と ${p.other} が同じファイルを指しています。どちらかの名前を変えてください`,
  differentDialects: p => `アーカイブの形式が違います (${p.name} と ${p.other})`,
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
  'patch.appHeader': p => `パッチのアプリケーションヘッダーが ${p.value} バイトあり、大きすぎます。パッチが壊れています`,
  'patch.secondaryMemory': p => `${patchPlace(p)}圧縮された部分を戻すのに、パッチに許されるより多くのメモリーが要ります`,
  otherFile: p => (p.expected === p.found
    ? 'このパッチの元のアーカイブではありません (大きさは合っていますが、中身が違います)。別の版か、すでにパッチが' +
      '当たっている可能性があります'
    : `このパッチの元のアーカイブではありません (${grouped(p.expected)} バイトのはずが ${grouped(p.found)} ` +
      'バイトです)。別の版か、すでにパッチが当たっている可能性があります'),
  alreadyPatched: () => 'もうパッチが当たっています。このパッチが作るアーカイブそのものです',
  headerDamaged: () => 'パッチのヘッダーが壊れています。両方のファイルのチェックサムがあるはずですが、読めません',
  notWhole: p => (p.verdict === 'otherSum'
    ? 'パッチが途中で切れているか壊れています。作ったものがパッチの示すチェックサムと合いません'
    : p.verdict === 'noWindows' && p.promised < 0 ? 'パッチが途中で切れているか壊れています。ウィンドウが一つもありません'
      : `パッチが途中で切れているか壊れています。${grouped(p.promised)} バイトのはずが ${grouped(p.made)} バイトを作ります`),
  unchecked: () => 'このパッチには元のアーカイブのチェックサムもウィンドウのチェックサムもなく、正しいファイルか' +
                   '確かめられません',
  targetWindows: () => 'パッチが前のウィンドウで作ったものを、このページが残す 64 MiB を越えてコピーしています ' +
                       '(VCD_TARGET)。kerv patch で当ててください',
  cannotRead: () => 'ブラウザーがファイルを読めません (選んだ後に変更されたか移動された可能性があります)',
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

// A problem of a translator's file, in the page's language.
const STRINGS_JA = {
  stale: e => `${e.line} 行目は、書き出したときと今では違っています`,
  noCode: e => `U+${hex(e.character, 4)} '${String.fromCodePoint(e.character)}' は Shift_JIS (コードページ 932) に` +
               'ない文字です',
  lineEnd: e => `${e.line} 行目の訳に改行があります。一行は一行に訳してください`,
  undecodable: e => `${e.line} 行目には文字にならないバイトがあり、訳さずにそのまま残ります`,
  noLine: e => `シナリオに ${e.line} 行目はありません`,
  twice: e => `${e.line} 行目に、${e.other} 行目とは別の訳があります`,
  notUtf8: () => 'テキストが UTF-8 になっていません',
  tooLong: e => `シナリオファイルは 32767 バイトまでです (訳すと ${e.other} バイトになります)`,
  syntax: () => 'PO か CSV のファイルとして読めません',
};
const saidOfStrings = e => (language === 'ja' && STRINGS_JA[e.code] ? STRINGS_JA[e.code](e) : e.english);

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
// A text of the page; an argument that is a problem of the library is said
// in the page's language too.
const isProblem = a => typeof a === 'object' && a !== null && typeof a.code === 'string' && 'english' in a;
const textError = (key, ...args) => new KervError(TEXTS.en[key](...args.map(a => (isProblem(a) ? a.english : a))),
                                                  { key, args });
// What went wrong, as the page says it: never a script error's own text.
const wordsOf = (error, action) => {
  if (error instanceof KervError && error.problem) {
    return error.prefix ? `${error.prefix}: ${said(error.problem)}` : said(error.problem);
  }
  if (error instanceof KervError) {
    return error.key ? t(error.key, ...error.args.map(a => (isProblem(a) ? said(a) : a))) : error.message;
  }
  if (error?.name === 'NotReadableError' || error?.name === 'NotFoundError') return t('unreadable');
  console.error(error);
  return t('failed', t('actionNames')[action]);
};
