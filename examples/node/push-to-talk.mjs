#!/usr/bin/env node
// Push-to-talk in a Node host: start hold-listener as a child process, read its lines, and act
// for exactly as long as the chosen input is held.
//
//   node push-to-talk.mjs [HELPER [INPUT]]
//
// HELPER is the helper's path (default: $HOLD_LISTENER, else "hold-listener" from the PATH) and
// INPUT an input name (default: $HOLD_INPUT, else "Space"). The example stops the helper when its
// own standard input ends (Ctrl-D) or on Ctrl-C, and exits with the helper's status.
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';

const helperPath = process.argv[2] ?? process.env.HOLD_LISTENER ?? 'hold-listener';
const input = process.argv[3] ?? process.env.HOLD_INPUT ?? 'Space';

// The helper runs for as long as we keep its standard input open, so it cannot outlive us. Its own
// process group keeps a Ctrl-C in the terminal for us: we then close that pipe, and the helper
// ends cleanly, with "up" first if the input is held.
const helper = spawn(helperPath, ['--listen', input], {
  stdio: ['pipe', 'pipe', 'ignore'],
  detached: true,
});

function stopHelper() {
  helper.stdin.end();
}
// Closing the pipe of a helper that has already exited is not a fault.
helper.stdin.on('error', () => {});

helper.on('error', (error) => {
  console.log(`could not start ${helperPath}: ${error.message}`);
  process.exit(1);
});

createInterface({ input: helper.stdout }).on('line', (line) => {
  switch (line) {
    case 'ready':
      console.log(`ready: hold ${input} to talk`);
      break;
    case 'down':
      console.log('talking…'); // open the microphone here
      break;
    case 'up':
      console.log('muted'); // and close it here
      break;
    // "permission" comes with exit status 77, handled below.
  }
});

// "close" comes after the helper has exited and its last line has been read.
helper.on('close', (status, signal) => {
  process.stdin.destroy();
  if (status === 0) {
    console.log('stopped');
  } else if (status === 77) {
    console.log('not allowed to listen to input: grant Input Monitoring to this application, ' +
                'or run the helper with --request-permission');
  } else if (status === 64) {
    console.log(`the helper does not know the input name "${input}"`);
  } else if (status !== null) {
    console.log(`the helper failed with status ${status}`);
  } else {
    console.log(`the helper was ended by ${signal}`);
  }
  if (status !== null) process.exitCode = status;
  else process.exitCode ||= 1;
});

process.stdin.on('end', stopHelper).resume();
process.on('SIGINT', stopHelper);
process.on('SIGTERM', stopHelper);
