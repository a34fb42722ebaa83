// The page's worker: the library makes and applies patches here, where
// the browser reads a file synchronously as the library asks for its bytes.
// A message {id, op, ...} starts a job; the worker answers {id, progress},
// {id, patch} (bytes of a patch made), {id, part} (a part of a patched
// file: {from, to} of the archive, or {bytes}), and at last {id, done}
// (the library's result) or {id, failed} (a message).
'use strict';

const library = createKervModule();
const reading = new FileReaderSync();

// A file as the library reads it: read(offset, n) gives a Uint8Array, or
// null where the browser cannot read it. Each read of the browser costs
// about a millisecond whatever its size, so a read that goes on where the
// last one ended reads ahead (READ_AHEAD bytes), and later reads inside it
// are answered from there.
const READ_AHEAD = 16 << 20;
function fileOf({ blob, name }, counted = () => {}) {
  let ahead = null;  // {start, bytes}
  let last = -1;     // where the last read ended
  const slice = (from, to) => new Uint8Array(reading.readAsArrayBuffer(blob.slice(from, to)));
  return {
    name,
    size: blob.size,
    reader: {
      read(offset, n) {
        try {
          let bytes;
          if (ahead && offset >= ahead.start && offset + n <= ahead.start + ahead.bytes.length) {
            bytes = ahead.bytes.subarray(offset - ahead.start, offset - ahead.start + n);
          } else if (offset === last && n < READ_AHEAD) {
            ahead = { start: offset, bytes: slice(offset, Math.min(blob.size, offset + READ_AHEAD)) };
            bytes = ahead.bytes.subarray(0, n);
          } else {
            bytes = slice(offset, offset + n);
          }
          last = offset + n;
          counted(n);
          return bytes;
        } catch {
          return null;
        }
      },
    },
  };
}

onmessage = async ({ data }) => {
  const { id } = data;
  const post = (message, transfer = []) => postMessage({ id, ...message }, transfer);
  let told = 0;
  const progress = (done, total, phase) => {
    const now = Date.now();
    if (now - told < 100 && done < total) return;
    told = now;
    post({ progress: { done, total, phase } });
  };
  try {
    const m = await library;
    if (data.op === 'diff') {
      const total = data.old.blob.size + data.new.blob.size;
      let read = 0;
      const counted = n => progress(read += n, total, 'comparing');
      const patch = data.patch ? { write: bytes => post({ patch: bytes }, [bytes.buffer]) } : null;
      post({ done: m.diffFiles(fileOf(data.old, counted), fileOf(data.new, counted), patch) });
    } else if (data.op === 'apply') {
      post({ done: m.applyFiles(fileOf(data.archive), fileOf(data.patch), data.allowUnchecked, {
        source: (from, to) => post({ part: { from, to } }),
        bytes: bytes => post({ part: { bytes } }, [bytes.buffer]),
        progress,
      }) });
    } else if (data.op === 'check') {
      post({ done: m.checkFiles(fileOf(data.archive), fileOf(data.patch), { progress }) });
    }
  } catch (e) {
    post({ failed: String(e?.message ?? e) });
  }
};
