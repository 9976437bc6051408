// The aedes broker (installed by scripts/aedes.sh) on 127.0.0.1:PORT, open to anyone.
// Usage: node aedes_broker.mjs AEDES_DIR PORT
import { createServer } from 'node:net';
import { pathToFileURL } from 'node:url';

const [dir, port] = process.argv.slice(2);
const { Aedes } = await import(pathToFileURL(`${dir}/node_modules/aedes/aedes.js`).href);
const broker = await Aedes.createBroker();
createServer(broker.handle).listen(Number(port), '127.0.0.1');
