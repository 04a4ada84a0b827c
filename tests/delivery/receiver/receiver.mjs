// A local crash-server receiver for the delivery tests and the demo: Spotlight's server, started
// here rather than through its command-line entry point, which also sends the tool's own telemetry
// off the machine. Bound to 127.0.0.1 only, on the port given (0: a free one).
//
//   node receiver.mjs [port]
//
// Prints "listening <port>" once it serves, then, read back through the receiver's own stream API,
// one JSON line per envelope it parsed: {"event_id", "items": [item headers], "event": the event,
// "user_report": the user's feedback item, or null}.
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const listen = net.Server.prototype.listen;
net.Server.prototype.listen = function (...args) {
    if (typeof args[0] === 'number' || typeof args[0] === 'string') {
        if (args[1] === undefined || typeof args[1] === 'string')
            args[1] = '127.0.0.1';
        else
            args.splice(1, 0, '127.0.0.1');
    } else if (args[0] && typeof args[0] === 'object') {
        args[0] = { ...args[0], host: '127.0.0.1' };
    }
    return listen.apply(this, args);
};

const here = path.dirname(fileURLToPath(import.meta.url));
const { setupSpotlight } = await import('@spotlightjs/spotlight');
const { EventSource } = await import('eventsource');

const silent = { info() {}, warn() {}, error() {}, debug() {}, log() {} };
const server = await setupSpotlight({
    port: Number(process.argv[2] || 0),
    isStandalone: true,
    basePath: path.join(here, 'node_modules/@spotlightjs/spotlight/dist/ui'),
    logger: silent,
});
if (!server.listening)
    await new Promise((resolve) => server.once('listening', resolve));
const port = server.address().port;

const stream = new EventSource(`http://127.0.0.1:${port}/stream?client=ostrel`);
stream.addEventListener('application/x-sentry-envelope', (message) => {
    const [header, items] = JSON.parse(message.data);
    const event = items.find(([item]) => item.type === 'event');
    const report = items.find(([item]) => item.type === 'user_report');
    process.stdout.write(JSON.stringify({
        event_id: header.event_id,
        items: items.map(([item]) => item),
        event: event ? event[1] : null,
        user_report: report ? report[1] : null,
    }) + '\n');
});
stream.onopen = () => process.stdout.write(`listening ${port}\n`);
process.on('SIGTERM', () => process.exit(0));
