// KeyboardEvent.code (the physical key) to the Windows virtual-key code the host injects, from the
// public list of virtual-key codes. Shift, Ctrl and Alt go as the generic codes 16, 17 and 18,
// as a Windows viewer's key messages carry them. Keys without a Windows code are not sent.

const TABLE: { [code: string]: number } = {
  Backspace: 0x08,
  Tab: 0x09,
  NumpadClear: 0x0c,
  Enter: 0x0d,
  NumpadEnter: 0x0d,
  ShiftLeft: 0x10,
  ShiftRight: 0x10,
  ControlLeft: 0x11,
  ControlRight: 0x11,
  AltLeft: 0x12,
  AltRight: 0x12,
  Pause: 0x13,
  CapsLock: 0x14,
  KanaMode: 0x15,
  Lang1: 0x15,
  Lang2: 0x19,
  Convert: 0x1c,
  NonConvert: 0x1d,
  Escape: 0x1b,
  Space: 0x20,
  PageUp: 0x21,
  PageDown: 0x22,
  End: 0x23,
  Home: 0x24,
  ArrowLeft: 0x25,
  ArrowUp: 0x26,
  ArrowRight: 0x27,
  ArrowDown: 0x28,
  PrintScreen: 0x2c,
  Insert: 0x2d,
  Delete: 0x2e,
  Help: 0x2f,
  MetaLeft: 0x5b,
  MetaRight: 0x5c,
  ContextMenu: 0x5d,
  Sleep: 0x5f,
  NumpadMultiply: 0x6a,
  NumpadAdd: 0x6b,
  NumpadComma: 0x6c,
  NumpadSubtract: 0x6d,
  NumpadDecimal: 0x6e,
  NumpadDivide: 0x6f,
  NumLock: 0x90,
  ScrollLock: 0x91,
  BrowserBack: 0xa6,
  BrowserForward: 0xa7,
  BrowserRefresh: 0xa8,
  BrowserStop: 0xa9,
  BrowserSearch: 0xaa,
  BrowserFavorites: 0xab,
  BrowserHome: 0xac,
  AudioVolumeMute: 0xad,
  AudioVolumeDown: 0xae,
  AudioVolumeUp: 0xaf,
  MediaTrackNext: 0xb0,
  MediaTrackPrevious: 0xb1,
  MediaStop: 0xb2,
  MediaPlayPause: 0xb3,
  LaunchMail: 0xb4,
  MediaSelect: 0xb5,
  LaunchApp1: 0xb6,
  LaunchApp2: 0xb7,
  Semicolon: 0xba,
  Equal: 0xbb,
  Comma: 0xbc,
  Minus: 0xbd,
  Period: 0xbe,
  Slash: 0xbf,
  Backquote: 0xc0,
  BracketLeft: 0xdb,
  Backslash: 0xdc,
  BracketRight: 0xdd,
  Quote: 0xde,
  IntlBackslash: 0xe2,
};
for (let i = 0; i < 26; i++) TABLE['Key' + String.fromCharCode(65 + i)] = 0x41 + i;
for (let i = 0; i < 10; i++) {
  TABLE['Digit' + i] = 0x30 + i;
  TABLE['Numpad' + i] = 0x60 + i;
}
for (let i = 1; i <= 24; i++) TABLE['F' + i] = 0x70 + i - 1;

// The virtual key for a key event, or 0 when the key has none. A letter key whose `key` is a
// Latin letter takes that letter's code, as the viewer's keyboard layout names it (a German
// keyboard's Z sits where KeyY is); other keys go by position.
export function virtualKey(code: string, key = ''): number {
  if (/^Key[A-Z]$/.test(code) && /^[a-zA-Z]$/.test(key)) return key.toUpperCase().charCodeAt(0);
  return Object.prototype.hasOwnProperty.call(TABLE, code) ? TABLE[code] : 0;
}

// The virtual keys one key event stands for, in pressing order (keyup sends them in reverse).
// AltGr reaches Windows as Ctrl+Alt; a browser on Windows already reports the Ctrl half itself
// (Ctrl is then held), other systems report AltGr alone.
export function virtualKeys(code: string, key: string, ctrlHeld: boolean): number[] {
  if (code === 'AltRight' && key === 'AltGraph' && !ctrlHeld) return [0x11, 0x12];
  const vk = virtualKey(code, key);
  return vk ? [vk] : [];
}

export const KEY_TABLE: Readonly<{ [code: string]: number }> = TABLE;
