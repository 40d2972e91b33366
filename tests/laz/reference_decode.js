'use strict';
// The records of a LAZ file as laz-perf's own whole-file reader (LASZip)
// decodes them, on stdout: an independent path (its own chunk table
// reading, one chunk after the other) to compare the decoder process with.
const fs = require('fs');
const path = require('path');
const { createLazPerf } = require(path.join(__dirname, '..', '..', 'decoder', 'node_modules', 'laz-perf'));

createLazPerf().then((codec) => {
  const file = fs.readFileSync(process.argv[2]);
  const at = codec._malloc(file.length);
  codec.HEAPU8.set(file, at);
  const reader = new codec.LASZip();
  reader.open(at, file.length);
  const length = reader.getPointLength();
  const count = reader.getCount();
  const batch = 4096;
  const out = codec._malloc(batch * length);
  for (let done = 0; done < count; done += batch) {
    const n = Math.min(batch, count - done);
    for (let i = 0; i < n; i++) reader.getPoint(out + i * length);
    fs.writeSync(1, codec.HEAPU8.subarray(out, out + n * length));
  }
});
