// The page's string table, generated at build time from the program's catalogue
// (tools/catalogue.mjs, bundled by build.mjs).
declare module 'kestrova:strings' {
  const table: {
    languages: { code: string; name: string; region: string }[];
    strings: { [english: string]: string[] };
  };
  export default table;
}
