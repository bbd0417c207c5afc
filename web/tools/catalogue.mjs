// Reads the program's string catalogue (native/i18n/catalogue.txt) with the program's own rules and
// writes the page's string table: one source of truth for the texts of both viewers.
//   a line per entry, 8 fields separated by "|" (a "|" at the very end adds no field), empty lines
//   skipped, the first row of a key counts, fields are UTF-8 without NUL.
import { readFileSync } from 'node:fs';

export const LANGUAGES = [
  { code: 'en', name: 'English', region: 'GB' },
  { code: 'tr', name: 'Türkçe', region: 'TR' },
  { code: 'de', name: 'Deutsch', region: 'DE' },
  { code: 'fr', name: 'Français', region: 'FR' },
  { code: 'es', name: 'Español', region: 'ES' },
  { code: 'pt', name: 'Português', region: 'PT' },
  { code: 'ru', name: 'Русский', region: 'RU' },
  { code: 'zh', name: '简体中文', region: 'CN' },
];

export const CATALOGUE_PATH = new URL('../../native/i18n/catalogue.txt', import.meta.url);

// Bytes (or text) of the catalogue -> { key: [8 texts] }, in the table's order. Throws with the
// program's reason words on a malformed table.
export function parseCatalogue(data) {
  let text;
  try {
    text = typeof data === 'string' ? data : new TextDecoder('utf-8', { fatal: true }).decode(data);
  } catch {
    throw new Error('invalid UTF8');
  }
  const table = {};
  for (const line of text.split('\n')) {
    if (line === '') continue;
    const fields = line.split('|');
    if (line.endsWith('|')) fields.pop();
    if (fields.length > LANGUAGES.length) throw new Error(`extra localization field: ${line.slice(0, 40)}`);
    if (fields.length < LANGUAGES.length) throw new Error(`missing localization field: ${line.slice(0, 40)}`);
    if (fields.some((field) => field.includes('\0'))) throw new Error('embedded null');
    if (!Object.prototype.hasOwnProperty.call(table, fields[0])) table[fields[0]] = fields;
  }
  return table;
}

export function readCatalogue(path = CATALOGUE_PATH) {
  return parseCatalogue(readFileSync(path));
}

// The page's table: the language list and every entry.
export function pageStrings(table) {
  return { languages: LANGUAGES, strings: table };
}

// An esbuild plugin: `import table from 'kestrova:strings'` resolves to the given table.
export function stringsPlugin(strings) {
  return {
    name: 'kestrova-strings',
    setup(b) {
      b.onResolve({ filter: /^kestrova:strings$/ }, () => ({ path: 'strings', namespace: 'kestrova' }));
      b.onLoad({ filter: /.*/, namespace: 'kestrova' }, () => ({ contents: JSON.stringify(strings), loader: 'json' }));
    },
  };
}
