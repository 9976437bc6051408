// An aedes broker for tests: node aedes_broker.js PORT NODE_MODULES
// Listens on 127.0.0.1:PORT, takes any user and password, and prints one line per event:
// "listening PORT", "connected CLIENT_ID PROTOCOL_LEVEL", "refused: REASON", "published TOPIC".
// aedes itself holds to MQTT 3.1's limit of 23 characters for client ids: at protocol level 3 a
// longer id gets CONNACK 2 (identifier rejected), at level 4 (3.1.1) it is taken. It refuses
// MQTT 5 (CONNACK 1). NODE_MODULES is the folder that scripts/aedes.sh installs into.
import net from 'node:net'
import { createRequire } from 'node:module'
import { pathToFileURL } from 'node:url'

const [port, modules] = process.argv.slice(2)
const { Aedes } = await import(pathToFileURL(createRequire(modules + '/').resolve('aedes')))

const broker = await Aedes.createBroker()
broker.on('client', (c) => console.log(`connected ${c.id} ${c.version}`))
broker.on('connectionError', (c, err) => console.log(`refused: ${err.message}`))
broker.on('publish', (p, c) => { if (c) console.log(`published ${p.topic}`) })
net.createServer(broker.handle).listen(Number(port), '127.0.0.1', () => console.log(`listening ${port}`))
