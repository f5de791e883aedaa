// Node's own HTTP/2 module as an echo peer for scripts/bench.sh: every
// request is answered with status 200 and its body.
//   node scripts/node-echo.js H2C_PORT TLS_PORT CERT KEY
'use strict';
const fs = require('fs');
const http2 = require('http2');

const [h2cPort, tlsPort, cert, key] = process.argv.slice(2);

function echo(stream) {
  const chunks = [];
  stream.on('data', (c) => chunks.push(c));
  stream.on('end', () => {
    stream.respond({ ':status': 200 });
    stream.end(Buffer.concat(chunks));
  });
  stream.on('error', () => {});
}

http2.createServer().on('stream', echo).listen(Number(h2cPort), '127.0.0.1');
http2.createSecureServer({ cert: fs.readFileSync(cert), key: fs.readFileSync(key) })
  .on('stream', echo)
  .listen(Number(tlsPort), '127.0.0.1');
