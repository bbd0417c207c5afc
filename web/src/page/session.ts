// One session of the page: the relay socket, the protocol core's connection, the frames with
// their acknowledgements, remote input, the session tools and the figures. No DOM here beyond
// what the browser gives every script (WebSocket, createImageBitmap, Blob); the page (main.ts)
// draws what this holds and calls its commands.
import { SealedKind } from '../channel.js';
import { serialize, ProtocolError } from '../json.js';
import { randomBytes, toHex, utf8 } from '../bytes.js';
import { InvalidInput, STATUS, Step, ViewerConnection } from '../viewer.js';
import { FrameReceiver, isRegionFrameMessage, RegionRect } from '../frames.js';
import { canvasCompositor, Picture } from './picture.js';
import { StreamFigures, ViewerFigures } from './figures.js';
import { SessionTools } from './tools.js';
import { initialView, ViewState } from './view.js';

export const INPUT_SEND_FAILED = 'Input send failed';
const LOCAL_ONLY_NOTICE_MS = 6000; // as long as the program shows it

export type InputAction = 'move' | 'down' | 'up' | 'wheel' | 'keydown' | 'keyup';

export interface SessionUi {
  status(key: string): void; // a catalogue key
  changed(): void; // repaint the view, toolbar and panels
  drawn(area: RegionRect): void; // this area of the picture (picture pixels) changed
  ended(): void;
  fileReceived(name: string, blob: Blob | null): void; // null: already saved where the user chose
}

const now = () => performance.now();
// Region frames are composed in an OffscreenCanvas; a browser without one gets whole frames.
const canComposeRegions = () => typeof OffscreenCanvas === 'function';

export class Session {
  private readonly receiver = new FrameReceiver(canvasCompositor);
  // Frames received in this session, of them region frames, and their bytes (the page writes them
  // on the view canvas for the end-to-end test).
  readonly received = { frames: 0, regionFrames: 0, bytes: 0 };
  view: ViewState = initialView();
  readonly figures = new StreamFigures(now());
  readonly tools: SessionTools;
  private socket: WebSocket | null = null;
  private connection: ViewerConnection | null = null;
  private frames: Promise<void> = Promise.resolve();
  private timer = 0;
  private localOnlyUntil = 0;
  ended = false;

  private constructor(private readonly ui: SessionUi) {
    this.tools = new SessionTools(
      {
        sendControl: (message) => this.sendControlNow(serialize(message)),
        sendChunk: (chunk) => void this.connection?.sendSealed(SealedKind.Tools, chunk).catch(() => this.fail(STATUS.closed, 'chunk send')),
        newTransferId: () => toHex(randomBytes(16)),
      },
      () => {
        const control = this.connection?.control;
        return {
          ready: !!control?.helloComplete && !this.ended,
          files: !!control?.peerFiles,
          clipboard: !!control?.peerClipboard,
          clipboardSync: !!control?.peerClipboardSync,
        };
      },
    );
  }

  // Checks what was typed and opens the socket. Throws InvalidInput before anything is sent.
  static connect(url: string, typedId: string, typedPassword: string, ui: SessionUi): Session {
    const session = new Session(ui);
    const { connection, registerText } = ViewerConnection.start(typedId, typedPassword, now(), (message) => session.send(message), {
      files: session.tools.allowFiles,
      clipboard: session.tools.allowClipboard,
    }, canComposeRegions());
    session.connection = connection;
    let socket: WebSocket;
    try {
      socket = new WebSocket(url);
    } catch (error) {
      connection.end(STATUS.closed, 'socket');
      throw error;
    }
    socket.binaryType = 'arraybuffer';
    session.socket = socket;
    socket.onopen = () => socket.send(registerText);
    socket.onmessage = (event) => {
      const data = event.data;
      if (typeof data === 'string') void connection.handleText(data, now()).then((step) => session.onStep(step));
      else void connection.handleBinary(new Uint8Array(data as ArrayBuffer), now()).then((step) => session.onStep(step));
    };
    socket.onclose = () => session.fail(STATUS.closed, 'socket closed');
    socket.onerror = () => session.fail(STATUS.closed, 'socket error');
    session.timer = window.setInterval(() => session.tick(), 500);
    ui.status(STATUS.connecting);
    return session;
  }

  get picture(): Picture | null {
    return this.receiver.picture;
  }

  get control() {
    return this.connection?.control ?? null;
  }

  get active(): boolean {
    return !this.ended && !!this.connection?.active;
  }

  private send(message: string | Uint8Array): void {
    if (this.socket?.readyState === WebSocket.OPEN) this.socket.send(message);
  }

  private sendControlNow(text: string): void {
    if (!this.connection) throw new Error('feature send');
    void this.connection.sendControl(text).catch(() => this.fail(STATUS.closed, 'control send'));
  }

  private onStep(step: Step): void {
    if (this.ended) return;
    if (step.status) this.ui.status(step.status);
    if (step.ended) return this.finish();
    if (step.control) this.onControl(step.control);
    if (step.frame) this.onFrame(step.frame);
    if (step.tools) this.onChunk(step.tools);
    // A frame repaints only what it changed, once it is drawn (ui.drawn).
    if (!step.frame) this.ui.changed();
  }

  private onControl(event: NonNullable<Step['control']>): void {
    switch (event.kind) {
      case 'hello':
      case 'screen':
        this.dropPicture();
        this.view = initialView();
        break;
      case 'captureStatus':
        if (event.dropPicture) this.dropPicture();
        break;
      case 'permissions':
        // The host took back file offers while one of ours goes: that transfer ends.
        if (event.filesChanged && !this.control?.peerFiles && this.tools.sender) this.tools.cancelAll();
        break;
      case 'inputStatus':
        if (event.localOnlyNotice) this.localOnlyUntil = now() + LOCAL_ONLY_NOTICE_MS;
        break;
      case 'tools': {
        const { op, message } = event;
        this.frames = this.frames.then(async () => {
          if (this.ended) return;
          try {
            const result = await this.tools.handle(op, message, now());
            if (result.kind === 'received') this.ui.fileReceived(result.name, result.blob);
            this.ui.changed();
          } catch (error) {
            this.protocolFailure(error);
          }
        });
        break;
      }
    }
  }

  // Frames are decoded one after another; each is acknowledged once drawn, and a change that had
  // no picture to be composed onto asks for a whole one, as the program does.
  private onFrame(message: Uint8Array): void {
    this.frames = this.frames.then(async () => {
      const control = this.control;
      if (this.ended || !control) return;
      try {
        const regions = control.regionFrames && isRegionFrameMessage(message);
        const receipt = await this.receiver.receive(message, () => (this.ended ? null : control));
        if (!receipt || this.ended) return;
        this.received.frames++;
        if (regions) this.received.regionFrames++;
        this.received.bytes += receipt.size;
        this.figures.count(receipt.size);
        this.sendControlNow(control.frameAckText(receipt.epoch, receipt.seq));
        if (receipt.needFull) this.sendControlNow(control.frameRequestText());
        if (receipt.changed) this.ui.drawn(receipt.changed);
      } catch (error) {
        this.protocolFailure(error);
      }
    });
  }

  private onChunk(chunk: Uint8Array): void {
    this.frames = this.frames.then(() => {
      if (this.ended) return;
      try {
        this.tools.chunk(chunk, now());
      } catch (error) {
        this.protocolFailure(error);
      }
    });
  }

  private protocolFailure(error: unknown): void {
    this.fail(error instanceof ProtocolError ? STATUS.securityFailed : STATUS.closed, error instanceof Error ? error.message : String(error));
  }

  private tick(): void {
    if (this.ended || !this.connection) return;
    const step = this.connection.tick(now());
    if (step.ended) return this.onStep(step);
    const control = this.connection.control;
    if (control.helloComplete) {
      if (this.pingDue()) this.sendControlNow(control.pingText(BigInt(Math.floor(now()))));
      if (this.tools.tick(now())) this.ui.changed();
    }
    if (this.figures.update(now())) this.ui.changed();
  }

  private lastPing = -Infinity;
  private pingDue(): boolean {
    const t = now();
    if (t - this.lastPing < 3000) return false;
    this.lastPing = t;
    return true;
  }

  // ---- Remote input --------------------------------------------------------------------------

  canSendInput(): boolean {
    const control = this.control;
    return this.active && !!control?.helloComplete && control.hostControl;
  }

  // An input event with the display epoch now shown; nothing without the host's control permission.
  sendInput(action: InputAction, x: number, y: number, button: number, key: number): void {
    const control = this.control;
    if (!this.canSendInput() || !control || !this.connection) return;
    const text = serialize({ action, x, y, button, key, epoch: control.epoch });
    void this.connection.sendSealed(SealedKind.Input, utf8(text)).catch(() => this.fail(STATUS.closed, INPUT_SEND_FAILED));
  }

  // Focus lost or page hidden: the host lets go of every key and button it holds for us.
  releaseInput(): void {
    const control = this.control;
    if (!this.active || !control?.helloComplete) return;
    try {
      this.sendControlNow(control.releaseInputText());
    } catch {
      // Losing focus must not end the session.
    }
  }

  selectDisplay(index: number): void {
    const control = this.control;
    if (control?.helloComplete) this.sendControlNow(control.selectDisplayText(index, control.profile));
  }

  selectQuality(profile: number): void {
    const control = this.control;
    if (control?.helloComplete) this.sendControlNow(control.selectDisplayText(control.selected, profile));
  }

  figuresNow(widthCss: number): ViewerFigures {
    const control = this.control;
    return {
      fps: this.figures.fps,
      kBps: this.figures.kBps,
      roundTripMs: control?.roundTripMs ?? null,
      capture: control?.captureStatus ?? { backend: 0, black: false, desktop: true, error: 0 },
      captureStatusNegotiated: !!control?.peerCaptureStatus,
      inputError: control?.inputError ?? 0,
      controlNotice: now() < this.localOnlyUntil,
      peerAllowsControl: !!control?.hostControl,
      peerBuild: control?.peerBuild ?? '',
      picture: this.picture ? { width: this.picture.width, height: this.picture.height } : null,
      widthCss,
    };
  }

  dropPicture(): void {
    this.receiver.dropPicture();
  }

  // "End session", a refused message, or the socket gone: every secret and picture is dropped.
  fail(status: string, reason: string): void {
    if (this.ended) return;
    const step = this.connection?.end(status, reason);
    if (step?.status) this.ui.status(step.status);
    this.finish();
  }

  disconnect(): void {
    this.fail(STATUS.closed, 'local end');
  }

  private finish(): void {
    if (this.ended) return;
    this.ended = true;
    if (!this.connection?.isEnded) this.connection?.end();
    window.clearInterval(this.timer);
    if (this.socket) {
      this.socket.onclose = this.socket.onerror = this.socket.onmessage = null;
      this.socket.close();
    }
    this.socket = null;
    this.tools.reset();
    this.dropPicture();
    this.ui.ended();
  }
}

export { InvalidInput };
