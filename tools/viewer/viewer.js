// A host for nimbra-capture in the browser: its protocol in one page.
// The bridge relays the helper's stdout unchanged: messages of a u32
// little-endian length (kind byte + payload), the kind byte, the payload.
// Commands go back as the helper's stdin records: u32 little-endian length, command byte.
"use strict";

const KIND = { JSON: 1, MAIN_KEY: 2, MAIN: 3, AUDIO: 4, LOW_KEY: 5, LOW: 6, PREVIEW: 7 };
const COMMAND = { "main-key": 10, "low-on": 11, "low-off": 12, "low-key": 13 };
const PREVIEW_WIDTH = 640, PREVIEW_HEIGHT = 360;

// Everything the page has seen, for people (the status panel) and for tests.
const viewer = window.viewer = { handshake: null, counts: {}, status: [], errors: [], layers: {} };
const session = new AbortController();
const report = (text) => viewer.errors.push(text);

class Layer {
  constructor(name) {
    this.name = name;
    this.canvas = document.getElementById(name);
    this.fed = this.decoded = 0;
    this.supported = this.colorSpace = this.decoder = null;
    viewer.layers[name] = this;
  }

  async configure({ codec, width, height }) {
    // Key chunks are Annex-B and carry their own SPS and PPS: no description.
    const config = { codec, codedWidth: width, codedHeight: height, optimizeForLatency: true };
    this.supported = (await VideoDecoder.isConfigSupported(config)).supported;
    if (!this.supported) return report(`${this.name}: ${codec} ${width}x${height} is not supported here`);
    Object.assign(this.canvas, { width, height });
    const context = this.canvas.getContext("2d");
    this.decoder = new VideoDecoder({
      output: (frame) => {
        this.decoded++;
        this.colorSpace = frame.colorSpace.toJSON();  // what the stream says its pixels are
        context.drawImage(frame, 0, 0, width, height);
        frame.close();
      },
      error: (e) => report(`${this.name} decoder: ${e.message}`),
    });
    this.decoder.configure(config);
  }

  decode(key, data) {
    // A decoder takes a key chunk first; the helper starts each layer with one.
    if (this.decoder?.state !== "configured" || (!key && this.fed === 0)) return;
    const timestamp = Math.round(performance.now() * 1000);
    this.decoder.decode(new EncodedVideoChunk({ type: key ? "key" : "delta", timestamp, data }));
    this.fed++;
  }
}

const main = new Layer("main"), low = new Layer("low");

async function* messages(body) {
  const reader = body.getReader();
  let buffer = new Uint8Array(0);
  for (;;) {
    let at = 0;
    while (buffer.length - at >= 5) {
      const length = new DataView(buffer.buffer, buffer.byteOffset + at, 4).getUint32(0, true);
      if (length < 1) throw new Error("message without a kind byte");
      if (buffer.length - at < 4 + length) break;
      yield [buffer[at + 4], buffer.slice(at + 5, at + 4 + length)];
      at += 4 + length;
    }
    const { value, done } = await reader.read();
    if (done) return;
    const joined = new Uint8Array(buffer.length - at + value.length);
    joined.set(buffer.subarray(at));
    joined.set(value, buffer.length - at);
    buffer = joined;
  }
}

async function onJson(object) {
  if (viewer.handshake) return viewer.status.push(object);  // {"error"}, {"low_err"}, audio status
  viewer.handshake = object;  // always the first message
  await main.configure(object);
  if (object.low) await low.configure(object.low);
  else low.canvas.parentElement.hidden = true;
}

function drawPreview(bgra) {
  if (bgra.length !== PREVIEW_WIDTH * PREVIEW_HEIGHT * 4) return;
  const image = new ImageData(PREVIEW_WIDTH, PREVIEW_HEIGHT);
  for (let i = 0; i < bgra.length; i += 4) {
    image.data[i] = bgra[i + 2];
    image.data[i + 1] = bgra[i + 1];
    image.data[i + 2] = bgra[i];
    image.data[i + 3] = 255;
  }
  document.getElementById("preview").getContext("2d").putImageData(image, 0, 0);
}

// 20 ms of 48 kHz stereo, signed 16-bit little-endian, interleaved; played
// back to back once the "sound" button has started the audio context.
const audio = { context: null, next: 0 };
function play(pcm) {
  const context = audio.context;
  if (context?.state !== "running") return;
  const frames = pcm.length / 4, samples = new DataView(pcm.buffer, pcm.byteOffset, pcm.length);
  const buffer = context.createBuffer(2, frames, 48000);
  for (let channel = 0; channel < 2; channel++) {
    const out = buffer.getChannelData(channel);
    for (let i = 0; i < frames; i++) out[i] = samples.getInt16((i * 2 + channel) * 2, true) / 32768;
  }
  const source = new AudioBufferSourceNode(context, { buffer });
  source.connect(context.destination);
  audio.next = Math.max(audio.next, context.currentTime + 0.06);  // slack against arrival jitter
  source.start(audio.next);
  audio.next += frames / 48000;
}

async function run() {
  const response = await fetch("/stream", { signal: session.signal });
  for await (const [kind, payload] of messages(response.body)) {
    viewer.counts[kind] = (viewer.counts[kind] ?? 0) + 1;
    if (kind === KIND.JSON) await onJson(JSON.parse(new TextDecoder().decode(payload)));
    else if (kind === KIND.MAIN_KEY || kind === KIND.MAIN) main.decode(kind === KIND.MAIN_KEY, payload);
    else if (kind === KIND.LOW_KEY || kind === KIND.LOW) low.decode(kind === KIND.LOW_KEY, payload);
    else if (kind === KIND.AUDIO) play(payload);
    else if (kind === KIND.PREVIEW) drawPreview(payload);
  }
  report("the helper ended the session");
}

function send(code) {
  const record = new Uint8Array(5);
  new DataView(record.buffer).setUint32(0, 1, true);
  record[4] = code;
  return fetch("/command", { method: "POST", body: record });
}

// Ends the session (the bridge closes the helper's stdin) and lets the
// decoders hand out what they still hold.
viewer.stop = async () => {
  session.abort();
  await Promise.all([main, low].map((layer) => layer.decoder?.state === "configured" && layer.decoder.flush()));
};

function show() {
  const lines = [JSON.stringify(viewer.handshake), "messages by kind " + JSON.stringify(viewer.counts)];
  for (const layer of [main, low]) {
    lines.push(`${layer.name}: ${layer.decoded}/${layer.fed} decoded ${JSON.stringify(layer.colorSpace)}`);
  }
  document.getElementById("status").textContent = [...lines, ...viewer.status.map((s) => JSON.stringify(s)),
                                                   ...viewer.errors].join("\n");
}

for (const [id, code] of Object.entries(COMMAND)) document.getElementById(id).onclick = () => send(code);
document.getElementById("sound").onclick = () => {
  audio.context ??= new AudioContext({ sampleRate: 48000 });
  audio.context.resume();
};
document.getElementById("stop").onclick = () => viewer.stop();
setInterval(show, 500);
run().catch((e) => e.name === "AbortError" || report(e.message));
