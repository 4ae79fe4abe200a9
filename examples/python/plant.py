#!/usr/bin/env python3
"""A tank, a pump and an alarm queue, scripted with the QNAPI Python binding.

    export QNAPI_LIBRARY=build/release/libqnapi.so PYTHONPATH=python
    python3 examples/python/plant.py build/release/server    # starts its own server
    python3 examples/python/plant.py                       # uses the server that runs

With a folder (where QUONIX.EXE is) the script starts a server of its own in
a private root and stops it at the end.
"""

import os
import shutil
import signal
import sys
import tempfile

import qnapi

LEVEL = 100        # CW word: tank level in %
PUMP = 16 * 10     # CB bit: the pump runs
ALARMS = 7         # event queue for level alarms


def run_plant():
    # The local link: data areas, messages, mailboxes.
    with qnapi.connect("PLANTPY") as plant:
        plant.write(qnapi.CW, LEVEL, [40])
        for step in range(6):
            level = plant.read_word(qnapi.CW, LEVEL)
            pump_on = level > 60
            plant.write_bits(qnapi.CB, PUMP, [pump_on])
            level += -15 if pump_on else 12
            plant.write(qnapi.CW, LEVEL, [level])
            print("step %d: level %3d%%, pump %s" % (step, level, "on" if pump_on else "off"))
        plant.send_message(1, b"shift report: level %d" % level, word1=1)
        print("message:", plant.receive_message(1).body.decode())

    # A pipe connection (host "" is this machine's server) for event queues.
    with qnapi.Connection.pipe("PLANTPY") as plant, plant.open_queue(ALARMS) as alarms:
        plant.post_event(ALARMS, 90, b"level high")
        plant.post_event(ALARMS, 10, b"level low")
        for event in alarms.events(wait=True):
            print("alarm from %s: %d (%s)" % (event.name, event.value, event.data.decode()))
            if event.value == 10:
                break


def main():
    if len(sys.argv) < 2:
        run_plant()
        return
    # A private server: its own platform root, started with the launcher.
    root = os.environ["QNAPI_ROOT"] = tempfile.mkdtemp(prefix="plant-")
    qnapi.start_server(sys.argv[1], "-q")
    while not qnapi.find_window("QUONIX RUN"):
        qnapi.sleep(20)
    with qnapi.connect("STOPPER") as link:
        server_pid = int.from_bytes(link.server_info()[16:20], "little")  # quonix's block
    try:
        run_plant()
    finally:
        os.kill(server_pid, signal.SIGTERM)
        while qnapi.find_window("QUONIX RUN"):   # gone once it has stopped
            qnapi.sleep(20)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    try:
        main()
    except qnapi.Error as e:
        sys.exit("plant: %s" % e)
