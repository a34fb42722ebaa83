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
  if (!state.pack.scenario) return showMessage('pack-error', () => t('noScenario'));
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
    showMessage('pack-error', () => wordsOf(e, 'pack'));
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
    showMessage('pack-error', () => wordsOf(e, 'pack'));
  }
}
