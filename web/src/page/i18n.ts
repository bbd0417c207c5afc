// The page's texts: English keys translated through the program's catalogue, as the program
// looks them up (an unknown key is shown as itself), and the language matched from a locale name.
import table from 'kestrova:strings';

export const LANGUAGES = table.languages;

// The part before the first "-" or "_", lower-cased, matched against the language codes;
// English when nothing matches.
export function matchLanguage(locale: string): number {
  const part = locale.split(/[-_]/, 1)[0].toLowerCase();
  const index = LANGUAGES.findIndex((language) => language.code === part);
  return part && index >= 0 ? index : 0;
}

let current = 0;

export function setLanguage(index: number): void {
  if (Number.isInteger(index) && index >= 0 && index < LANGUAGES.length) current = index;
}

export function language(): number {
  return current;
}

export function t(key: string): string {
  const row = Object.prototype.hasOwnProperty.call(table.strings, key) ? table.strings[key] : undefined;
  return row ? row[current] : key;
}
