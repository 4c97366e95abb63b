#!/usr/bin/env python3
"""Push-to-talk in a Python host: start hold-listener as a child process, read its lines, and act
for exactly as long as the chosen input is held.

    python3 push_to_talk.py [HELPER [INPUT]]

HELPER is the helper's path (default: $HOLD_LISTENER, else "hold-listener" from the PATH) and INPUT
an input name (default: $HOLD_INPUT, else "Space"). The example stops the helper when its own
standard input ends (Ctrl-D) or on Ctrl-C, and exits with the helper's status.
"""
import os
import signal
import subprocess
import sys
import threading


def stop_when_input_ends(helper):
    for _ in sys.stdin:
        pass
    helper.stdin.close()


def main():
    arguments = sys.argv[1:]
    helper_path = arguments[0] if arguments else os.environ.get("HOLD_LISTENER", "hold-listener")
    name = arguments[1] if len(arguments) > 1 else os.environ.get("HOLD_INPUT", "Space")

    # The helper runs for as long as we keep its standard input open, so it cannot outlive us. Its
    # own session keeps a Ctrl-C in the terminal for us: we then close that pipe, and the helper
    # ends cleanly, with "up" first if the input is held.
    try:
        helper = subprocess.Popen(
            [helper_path, "--listen", name],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
            start_new_session=True,
        )
    except OSError as error:
        print(f"could not start {helper_path}: {error.strerror}", flush=True)
        return 1

    threading.Thread(target=stop_when_input_ends, args=(helper,), daemon=True).start()
    for signal_number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signal_number, lambda *_: helper.stdin.close())

    for line in helper.stdout:
        line = line.rstrip("\n")
        if line == "ready":
            print(f"ready: hold {name} to talk", flush=True)
        elif line == "down":
            print("talking…", flush=True)  # open the microphone here
        elif line == "up":
            print("muted", flush=True)  # and close it here
        # "permission" comes with exit status 77, handled below.

    status = helper.wait()
    if status == 0:
        print("stopped")
    elif status == 77:
        print("not allowed to listen to input: grant Input Monitoring to this application, "
              "or run the helper with --request-permission")
    elif status == 64:
        print(f'the helper does not know the input name "{name}"')
    elif status > 0:
        print(f"the helper failed with status {status}")
    else:
        print(f"the helper was ended by signal {-status}")
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
