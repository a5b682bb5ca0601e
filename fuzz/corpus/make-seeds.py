#!/usr/bin/env python3
"""Writes the seed corpus: a few small boards and request sequences in each
target's input layout (fuzz/HostileBoard.h, fuzz/Scenarios.cpp). Run it after
changing a layout; the fuzzers grow their own corpora from these."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

CAP_LIST, PCIE, L1, SLOT_CLOCK, FAIL_ALL, FAIL_ONE, CYCLE, ABSENT = (1 << bit for bit in range(8))
ENDPOINT, ROOT_PORT, UPSTREAM, DOWNSTREAM = 0, 4, 5, 6
NEVER = 15


def function(bus, dev, fn, header=0, secondary=0, flags=0, cap=0, port=0, payload=0, speed=1, training=0,
             failing=0, pokes=()):
    data = [bus, dev | fn << 5, header, secondary, flags, cap, port | payload << 4, speed | training << 4, failing,
            len(pokes)]
    for offset, value in pokes:
        data += [offset, value]
    return data


def link(**kw):
    return dict(flags=PCIE | L1 | SLOT_CLOCK | kw.pop('extra', 0), **kw)


def board(functions, flags=0, failing_allocation=0, callbacks=()):
    data = [flags, failing_allocation, len(callbacks)]
    for slot, mask, action, argument in callbacks:
        data += [slot, mask, action, argument]
    for f in functions:
        data += f
    return bytes(data)


def default_board():
    return [
        function(0, 1, 0, header=1, secondary=1, port=ROOT_PORT, payload=2, **link()),
        function(1, 0, 0, payload=1, **link()),
        function(0, 2, 0, header=0x81, secondary=2, port=ROOT_PORT, payload=2, **link()),
        function(2, 0, 0, header=1, secondary=3, port=UPSTREAM, payload=2, **link()),
        function(3, 0, 0, header=1, secondary=4, port=DOWNSTREAM, payload=2, **link()),
        function(3, 1, 0, header=1, secondary=5, port=DOWNSTREAM, payload=2, **link(training=3)),
        function(4, 0, 0, header=0x80, payload=3, speed=2, **link()),
        function(4, 0, 1, payload=3, **link()),
        function(5, 0, 0, payload=0, flags=CAP_LIST),
        function(0, 31, 0, header=0x80),
        function(0, 31, 3),
    ]


HOST_FAMILY, EARLY, SETUP, DISABLE_ASPM, TOO_LARGE = 0x02, 0x04, 0x08, 0x01, 0x80
# Callback actions: 0 nothing, 1 register slot (argument & 7) with mask (argument >> 3),
# 2 set the record's header-type byte to argument, 3 toggle bridge/endpoint.
ENUMERATION = {
    'default-board': board(default_board(), HOST_FAMILY | SETUP),
    'early-host-bridge-fast-links': board(default_board(), HOST_FAMILY | EARLY),
    'disable-aspm': board(default_board(), DISABLE_ASPM),
    'disable-aspm-too-large': board(default_board(), DISABLE_ASPM | TOO_LARGE),
    'no-root-bridge-no-cpu-io': board(default_board(), 0x30),
    'failing-allocation': board(default_board(), 0, failing_allocation=1,
                                callbacks=[(0, 6, 0, 0), (1, 7, 1, 2 | 6 << 3)]),
    'hostile-capabilities': board([
        function(0, 1, 0, header=1, secondary=1, port=ROOT_PORT, cap=0x1D, **link()),
        function(0, 2, 0, header=0x81, secondary=2, port=ROOT_PORT, cap=0xF8, **link()),
        function(0, 2, 1, payload=1, **link()),
        function(0, 3, 0, cap=0x80, **link(extra=CYCLE)),
        function(0, 4, 0, flags=CAP_LIST, pokes=[(0x34, 0x40), (0x40, 0x01), (0x41, 0x44), (0x44, 0x05), (0x45, 0x40)]),
        function(0, 5, 0, flags=CAP_LIST, pokes=[(0x34, 0x43), (0x43, 0x10)]),
    ]),
    'bus-numbers': board([
        function(0, 1, 0, header=1, secondary=0, port=ROOT_PORT, **link()),
        function(0, 2, 0, header=1, secondary=255, port=ROOT_PORT, **link()),
        function(255, 0, 0, header=1, secondary=255, port=UPSTREAM, **link()),
        function(0, 3, 0, header=1, secondary=3, port=ROOT_PORT, **link()),
        function(3, 0, 0, header=1, secondary=2, port=DOWNSTREAM, **link()),
    ]),
    'shared-secondary-buses': board(
        [function(b, d, 0, header=1, secondary=b + 1, port=ROOT_PORT if b == 0 else UPSTREAM, **link())
         for b in range(6) for d in range(2)] + [function(6, 0, 0, **link())]),
    'read-errors-and-stuck-links': board([
        function(0, 1, 0, header=1, secondary=1, port=ROOT_PORT, flags=PCIE | L1 | SLOT_CLOCK | FAIL_ONE,
                 failing=0x19),
        function(0, 2, 0, header=1, secondary=2, port=ROOT_PORT, **link(training=NEVER)),
        function(2, 0, 0, **link()),
        function(0, 3, 0, header=1, secondary=3, port=ROOT_PORT, flags=PCIE | FAIL_ONE, failing=0x06),
        function(3, 0, 0, flags=PCIE | FAIL_ALL),
        function(0, 4, 0, flags=ABSENT | PCIE),
    ]),
    'callbacks-steer-the-walk': board(default_board(), 0, callbacks=[
        (0, 2, 1, 1 | 4 << 3), (1, 4, 2, 0x81), (2, 7, 3, 0), (3, 0x0F, 0, 0), (0, 2, 0, 0), (4, 8, 0, 0)]),
}


def rom_requests(flags, setup_length, switch, failing_allocation, volumes, devices, requests):
    data = [flags, setup_length // 3, switch, failing_allocation, len(volumes)]
    for volume_flags, files in volumes:
        mask = 0
        sizes = []
        for index, size in sorted(files.items()):
            mask |= 1 << index
            sizes.append(size)
        data += [volume_flags, mask] + sizes
    data.append(len(devices))
    for row, dev, fn, vendor, device, device_flags in devices:
        data += [row, dev, fn, vendor & 0xFF, vendor >> 8, device & 0xFF, device >> 8, device_flags]
    return bytes(data + list(requests))


ALL_FILES = {0: 4, 1: 4, 2: 8, 3: 2, 4: 3, 5: 1}
RAW = 7
DEVICES = [(3, 0, 0, 0, 0, 0), (5, 0, 0, 0, 0, 0), (2, 0, 0, 0, 0, 0), (RAW, 4, 0, 0x10EC, 0x8168, 0x08),
           (1, 0, 0, 0, 0, 0x08), (0, 0, 0, 0, 0, 0x10)]
OPTION_ROM = {
    'table-devices': rom_requests(0x01, 636, 1, 0, [(0, ALL_FILES)], DEVICES, [0, 1, 2, 3, 4, 5, 0, 6, 7, 8, 9]),
    'ethernet-switch-off': rom_requests(0x01, 636, 0, 0, [(0, ALL_FILES)], DEVICES, [4, 1, 0]),
    'setup-missing': rom_requests(0x00, 0, 0, 0, [(0, ALL_FILES)], DEVICES, [4, 0, 4]),
    'setup-short': rom_requests(0x01, 90, 0, 0, [(0, ALL_FILES)], DEVICES, [4, 4]),
    'setup-too-long': rom_requests(0x01, 700, 1, 0, [(0, ALL_FILES)], DEVICES, [1]),
    'volume-failures': rom_requests(0x00, 0, 0, 0, [(0, {0: 1}), (1, ALL_FILES), (0, ALL_FILES)], DEVICES,
                                    [0, 1, 2]),
    'no-volumes': rom_requests(0x02, 636, 1, 0, [], DEVICES, [0, 1]),
    'failing-allocation': rom_requests(0x01, 636, 1, 2, [(0, ALL_FILES)], DEVICES, [0, 0, 1]),
    'null-results-and-unreadable-devices': rom_requests(
        0x0D, 636, 1, 0, [(0, ALL_FILES)],
        [(3, 0, 0, 0, 0, 0x01), (3, 0, 0, 0, 0, 0x02), (3, 0, 0, 0, 0, 0x04), (3, 0, 0, 0, 0, 0x20)],
        [0, 1, 2, 3, 0, 1, 2, 3]),
}


# Callback operations (fuzz/Scenarios.cpp): 0 register, 1 register null, 2 prepare
# controller (bit 3: ChipsetExit), 3 begin walk, 4 end walk, 5 fail an allocation,
# 6 slot registers another when called, 7 slot changes the header-type byte.
def ops(*pairs):
    return bytes(b for pair in pairs for b in pair)


def register(slot, mask):
    return (0, slot | mask << 3)


CALLBACKS = {
    'register-and-walk': ops(register(0, 7), register(1, 2), register(2, 4), register(0, 1), (2, 0), (3, 0), (4, 0)),
    'invalid-masks': ops(register(0, 0), register(1, 8), register(2, 9), (1, 7 << 3), register(3, 16), (2, 1)),
    'register-while-dispatching': ops(register(0, 7), (6 | 7 << 3, 0 | 1 << 3), (6 | 6 << 3, 1 | 2 << 3), (2, 0),
                                      (3, 0), (4, 0)),
    'failing-allocations': ops((5, 0), register(0, 7), register(0, 7), (5, 2), register(1, 7), register(2, 7),
                               register(3, 7), register(4, 7), (3, 0)),
    'header-type-changes': ops(register(0, 2), register(1, 4), (7, 0), (7 | 1 << 3, 1), (0x81, 0), (3, 0), (4, 0),
                               (2 | 1 << 3, 0)),
}


def write(target, seeds):
    directory = os.path.join(HERE, target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), 'wb') as out:
            out.write(data)


if __name__ == '__main__':
    write('enumeration', ENUMERATION)
    write('option-rom-requests', OPTION_ROM)
    write('callback-registrations', CALLBACKS)
