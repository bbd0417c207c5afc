// The page's strings come from the program's catalogue: its parsing rules, all eight languages,
// the built table, and every text the page looks up is a row of it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { parseCatalogue, readCatalogue, LANGUAGES } from '../tools/catalogue.mjs';
import { page } from './page-helpers.mjs';

const table = readCatalogue();

test('the catalogue parses with the program\'s rules', () => {
  const line = (first) => [first, 'tr', 'de', 'fr', 'es', 'pt', 'ru', 'zh'].join('|');
  assert.deepEqual(parseCatalogue(`\n${line('A')}\n\n${line('B')}|\n${line('A').replace('de', 'zweite')}\n`), {
    A: ['A', 'tr', 'de', 'fr', 'es', 'pt', 'ru', 'zh'], // the first row of a key counts
    B: ['B', 'tr', 'de', 'fr', 'es', 'pt', 'ru', 'zh'], // a "|" at the end adds no field
  });
  for (const [text, reason] of [
    [`${line('A')}|x`, /extra localization field/],
    [line('A').split('|').slice(0, 7).join('|'), /missing localization field/],
    [line('A\0'), /embedded null/],
    [Uint8Array.from([0x41, 0xff, 0x7c]), /invalid UTF8/],
  ]) assert.throws(() => parseCatalogue(text), reason);
});

test('all eight languages for every row, and the rows the program documents', () => {
  assert.deepEqual(LANGUAGES.map((l) => l.code), ['en', 'tr', 'de', 'fr', 'es', 'pt', 'ru', 'zh']);
  const keys = Object.keys(table);
  assert.equal(keys.length, 133);
  for (const key of keys) {
    assert.equal(table[key].length, 8, key);
    assert.equal(table[key][0], key, key);
    for (const text of table[key]) assert.ok(text.trim().length > 0, `${key}: an empty translation`);
  }
  assert.deepEqual(table['Ready'], ['Ready', 'Hazır', 'Bereit', 'Prêt', 'Listo', 'Pronto', 'Готово', '就绪']);
  assert.deepEqual(table['Update required'], ['Update required', 'Yeni sürüme geçin', 'Update erforderlich', 'Mise à jour requise', 'Actualización necesaria', 'Atualização necessária', 'Требуется обновление', '需要更新']);
  // The built page carries exactly this table.
  const built = JSON.parse(readFileSync(new URL('../dist/strings.json', import.meta.url), 'utf8'));
  assert.deepEqual(built.strings, table);
});

test('languages are matched from locale names; unknown keys show themselves', () => {
  const { matchLanguage, setLanguage, t } = page;
  for (const [locale, index] of [['pt-PT', 5], ['zh-Hant-TW', 7], ['sr-Latn-RS', 0], ['DE', 2], ['de_CH', 2], ['tr-TR', 1], ['', 0], ['-de', 0], ['en-US', 0]]) {
    assert.equal(matchLanguage(locale), index, locale);
  }
  setLanguage(6);
  assert.equal(t('Ready'), 'Готово');
  assert.equal(t('Not a key'), 'Not a key');
  assert.equal(t('constructor'), 'constructor');
  setLanguage(99);
  assert.equal(t('Ready'), 'Готово', 'an index outside 0..7 is ignored');
  setLanguage(0);
  assert.equal(t('Ready'), 'Ready');
});

test('every text the page looks up is in the catalogue', () => {
  const used = new Set();
  const add = (text, pattern) => {
    for (const match of text.matchAll(pattern)) for (const group of match.slice(1)) if (group) used.add(group);
  };
  const dir = new URL('../src/page/', import.meta.url);
  for (const file of readdirSync(dir).filter((name) => name.endsWith('.ts') && !name.endsWith('.d.ts'))) {
    const source = readFileSync(new URL(file, dir), 'utf8');
    add(source, /\b(?:t|showNotice|showStatus)\('([^']+)'\)/g);
    add(source, /\b(?:status|first) = '([^']+)'/g);
    add(source, /(?:first = |showNotice\()[^;]*\? '([^']+)' : '([^']+)'/g);
    const profiles = source.match(/const PROFILES = \[([^\]]+)\]/);
    if (profiles) add(profiles[1], /'([^']+)'/g);
  }
  const html = readFileSync(new URL('../page/index.html', import.meta.url), 'utf8');
  add(html, /data-t[pt]?="([^"]+)"/g);
  const viewer = readFileSync(new URL('../src/viewer.ts', import.meta.url), 'utf8');
  add(viewer.slice(viewer.indexOf('export const STATUS'), viewer.indexOf('} as const')), /'([^']+)'/g);
  assert.ok(used.size > 60, `only ${used.size} texts found: the scan itself is broken`);
  for (const key of ['Session active', 'View only', 'Sent', 'Permission disabled', 'Automatic', 'Security verification failed', 'Waiting for the first frame', 'File request']) {
    assert.ok(used.has(key), `the scan misses ${key}`);
  }
  const missing = [...used].filter((key) => !Object.prototype.hasOwnProperty.call(table, key));
  assert.deepEqual(missing, []);
});
