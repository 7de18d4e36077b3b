#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is one meaningful case, valid ones included, in the record
layout its target's header comment gives.  Run again after changing a
layout; the fuzzers add their own finds elsewhere (build-fuzz/corpus/)."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v): return struct.pack('<B', v & 0xFF)
def u16(v): return struct.pack('<H', v & 0xFFFF)
def u32(v): return struct.pack('<I', v & 0xFFFFFFFF)
def u64(v): return struct.pack('<Q', v & 0xFFFFFFFFFFFFFFFF)


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as out:
            out.write(data)


# ---------------------------------------------------------------- port commands
SERVICE, NULL, FIRST_PAGES, ACROSS_TOP, KERNEL, WRAPPING, POOL, UNMAPPED = range(8)


def send(command, in_kind=SERVICE, in_len=40, out_kind=SERVICE, out_len=4, in_nudge=0, out_nudge=0):
    body = command.ljust(48, b'\0')[:48]
    return u8(in_kind) + u32(in_len) + u16(in_nudge) + u8(out_kind) + u32(out_len) + u16(out_nudge) + body


def transfer(request, offset, address, length):
    return u32(1299) + u32(0) + u64(request) + u64(offset) + u64(address) + u32(length) + u32(0)


def complete(request, status):
    return u32(1300) + u32(0) + u64(request) + u32(status) + b'\0' * 20


write('port_command_fuzz', {
    'transfer-data': send(transfer(1, 0, 0x10000000, 4096)),
    'complete-hydration': send(complete(12345, 0)),
    'complete-failed': send(complete(7, 0xC0000001)),
    'large-buffers': send(complete(1, 0), in_len=64, out_len=4096),
    'unknown-1298': send(u32(1298)),
    'unknown-1301': send(u32(1301)),
    'unknown-zero': send(b''),
    'input-39': send(complete(1, 0), in_len=39),
    'output-3': send(complete(1, 0), out_len=3),
    'null-input': send(b'', in_kind=NULL),
    'null-output': send(complete(1, 0), out_kind=NULL),
    'input-first-pages': send(b'', in_kind=FIRST_PAGES, in_nudge=0x1000),
    'input-across-top': send(b'', in_kind=ACROSS_TOP, in_nudge=5),
    'input-kernel': send(b'', in_kind=KERNEL, in_nudge=3),
    'input-wrapping': send(b'', in_kind=WRAPPING, in_nudge=2),
    'input-pool': send(b'', in_kind=POOL, in_nudge=16),
    'input-unmapped': send(b'', in_kind=UNMAPPED, in_nudge=100),
    'output-unmapped': send(complete(1, 0), out_kind=UNMAPPED),
    'output-kernel': send(complete(1, 0), out_kind=KERNEL),
    'sequence': send(transfer(1, 0, 0x10000000, 4096)) + send(u32(1301)) + send(complete(1, 0), in_kind=POOL),
})

# --------------------------------------------------------- connection contexts
# Prepared handles by index: 0 Sync (0x86), 1 Sync (read attributes), 2
# Sync\Docs, 3 Other (all access), 4 C:\, 5 Report.txt (a file), 6 Other
# (no add-file), 7 Sync2.
CONNECT, DISCONNECT, ARM = 0, 1, 2
PREPARED, PORT, CLOSED, PROGRAM, PSEUDO, KERNEL_HANDLE, RAW = 0, 2, 3, 4, 5, 6, 7


def connect(choice=PREPARED, raw=0, size=8, flags=0, tail=b''):
    return u8(CONNECT) + u8(choice) + u8(flags) + u16(size) + u64(raw) + tail.ljust(16, b'\0')[:16]


def disconnect(which=0):
    return u8(DISCONNECT) + u8(which)


def arm(routine):
    return u8(ARM) + u8(routine)


write('connection_context_fuzz', {
    'sync-8-bytes': connect(raw=0),
    'sync-16-bytes': connect(raw=0, size=16, tail=b'\xff' * 8),
    'context-7-bytes': connect(raw=0, size=7),
    'context-none': connect(raw=0, size=0, flags=1),
    'context-size-no-pointer': connect(raw=0, size=8, flags=1),
    'context-pointer-no-size': connect(raw=0, size=0),
    'read-attributes-only': connect(raw=1),
    'no-add-file': connect(raw=6),
    'plain-file': connect(raw=5),
    'volume-root-and-sync': connect(raw=4) + connect(raw=0),
    'nested-refused': connect(raw=0) + connect(raw=2) + connect(raw=5),
    'inner-then-outer': connect(raw=2) + connect(raw=0),
    'sibling-with-prefix': connect(raw=0) + connect(raw=7) + connect(raw=3),
    'reconnect-after-disconnect': connect(raw=0) + connect(raw=0) + disconnect(0) + connect(raw=0),
    'port-handle': connect(raw=3) + connect(choice=PORT),
    'closed-handle': connect(choice=CLOSED),
    'program-handle': connect(choice=PROGRAM, raw=1),
    'current-process': connect(choice=PSEUDO, raw=0),
    'current-thread': connect(choice=PSEUDO, raw=1),
    'kernel-handle': connect(choice=KERNEL_HANDLE, raw=1),
    'raw-value': connect(choice=RAW, raw=0x12345678),
    'tag-bits': connect(raw=0, flags=2) + connect(raw=3, flags=6),
    'fail-reference': arm(0) + connect(raw=0),
    'fail-name-query': arm(1) + connect(raw=0),
    'fail-pool': arm(2) + connect(raw=3),
    'fail-lock': arm(3) + connect(raw=3) + connect(raw=3),
    'large-context': connect(raw=0, size=65535, tail=b'tail'),
})

# --------------------------------------------------------------------- replies
HYDRATE, MOVE_OUT, DELETE_DIRECTORY, RENAME_DIRECTORY = 0, 1, 2, 3
REPLY, REPLY4, WAIT, DISCONNECT_ACTION = 0, 1, 2, 3


NO_FAILURE, FAIL_CONTEXT, FAIL_BUFFER, FAIL_SEND = range(4)


def message(kind, destination='', reparse=b'', reparse_length=None, size=0, request=0, thread=0, process=0,
            failing=NO_FAILURE, injected=0):
    if reparse_length is None:
        reparse_length = len(reparse)
    chars = destination.encode('utf-16-le')
    return (u8(kind) + u8(len(destination)) + u16(reparse_length) + u64(size) + u64(request) + u32(thread) +
            u32(process) + chars + reparse.ljust(32, b'\0')[:32] + u8(failing) + u32(injected))


def reply4(value):
    return u8(REPLY4) + u32(value)


def reply(length, payload=b'', status=0, id_choice=0):
    return u8(REPLY) + u32(status) + u8(id_choice) + u8(length) + payload.ljust(8, b'\0')[:8]


def wait(seconds):
    return u8(WAIT) + u16(seconds)


write('question_reply_fuzz', {
    'delete-denied': message(DELETE_DIRECTORY) + reply4(775),
    'delete-consent': message(DELETE_DIRECTORY) + reply4(0),
    'delete-hydrate-first-is-consent': message(DELETE_DIRECTORY) + reply4(773),
    'move-hydrate-first': message(MOVE_OUT, '\\Other\\Moved.txt', b'\x07\x08\x09') + reply4(773),
    'move-full-reparse': message(MOVE_OUT, '\\Out', reparse_length=1024) + reply4(1),
    'move-oversized-reparse': message(MOVE_OUT, '\\Out', reparse_length=2048) + reply4(775),
    'rename-denied': message(RENAME_DIRECTORY, '\\Sync\\Renamed') + reply4(775),
    'rename-long-destination': message(RENAME_DIRECTORY, 'x' * 255) + reply4(0),
    'hydrate': message(HYDRATE, reparse=bytes(range(1, 33)), reparse_length=100, size=0x123456789,
                       request=0xABCDEF0123, thread=0x34567890, process=0xEDCBA987),
    'hydrate-1025': message(HYDRATE, reparse_length=1025, size=4096, request=1),
    'hydrate-replied-anyway': message(HYDRATE, request=2) + reply4(775),
    'short-reply': message(DELETE_DIRECTORY) + reply(2, b'\x07\x03'),
    'header-only-reply': message(DELETE_DIRECTORY) + reply(0),
    'long-reply': message(MOVE_OUT, '\\Out') + reply(12, b'\x05\x03\0\0\x01\x02\x03\x04'),
    'reply-shorter-than-header': message(DELETE_DIRECTORY) + reply(8, id_choice=0x80) + reply4(775),
    'wrong-id-then-right': message(RENAME_DIRECTORY, '\\R') + reply(4, b'\x07\x03', id_choice=1) + reply4(0),
    'two-replies': message(DELETE_DIRECTORY) + reply4(775) + reply4(0),
    'header-status': message(DELETE_DIRECTORY) + reply(4, b'\x07\x03', status=0xC0000022),
    'wait-299-then-reply': message(DELETE_DIRECTORY) + wait(299) + reply4(775),
    'no-answer-times-out': message(DELETE_DIRECTORY) + wait(300),
    'late-reply': message(MOVE_OUT, '\\Out') + wait(400) + reply4(775),
    'no-action': message(RENAME_DIRECTORY, '\\R'),
    'disconnect': message(DELETE_DIRECTORY) + u8(DISCONNECT_ACTION),
    'disconnect-then-reply': message(MOVE_OUT, '\\Out') + u8(DISCONNECT_ACTION) + reply4(0),
    'hydrate-then-disconnect': message(HYDRATE, request=3) + u8(DISCONNECT_ACTION),
    'no-instance-context': message(DELETE_DIRECTORY, failing=FAIL_CONTEXT, injected=0x225),
    'no-message-buffer': message(HYDRATE, failing=FAIL_BUFFER),
    'send-disconnected': message(MOVE_OUT, '\\Out', failing=FAIL_SEND, injected=0xC0000037),
    'send-timeout': message(RENAME_DIRECTORY, '\\R', failing=FAIL_SEND, injected=0x102),
    'send-fails': message(DELETE_DIRECTORY, failing=FAIL_SEND, injected=0xC000009A),
})

# ---------------------------------------------------------------- reparse data
PLACEHOLDER_TAG, DEDUP, SYMLINK, MOUNT_POINT, RAW_TAG = range(5)
SET, DELETE = 0, 3
PLACEHOLDER_GUID = bytes([0x3C, 0x4C, 0x33, 0x7C, 0x03, 0x0C, 0x59, 0x46,
                          0x93, 0xD8, 0xEB, 0xCF, 0x62, 0x7B, 0xC3, 0xF1])
OTHER_GUID = bytes(range(16))
NO_FAILURE, FAIL_POOL, FAIL_FSCTL, FAIL_QUERY = range(4)


def reparse_input(end_of_file, operations, failing=NO_FAILURE, injected=0):
    return u32(end_of_file) + u8(failing) + u32(injected) + b''.join(operations)


def set_point(tag=PLACEHOLDER_TAG, length=0, data=b'', raw_tag=0, guid=None, declared=None):
    flags = 0
    if guid is not None:
        flags |= 1
    if declared is not None:
        flags |= 2
    return (u8(SET) + u8(tag) + u32(raw_tag) + u8(flags) + u16(declared or 0) + u16(length) +
            (guid or b'\0' * 16) + data.ljust(64, b'\0')[:64])


def delete_point(tag=PLACEHOLDER_TAG, raw_tag=0, guid=None):
    flags = 1 if guid is not None else 0
    return u8(DELETE) + u8(tag) + u32(raw_tag) + u8(flags) + u16(0) + (guid or b'\0' * 16)


write('reparse_data_fuzz', {
    'placeholder-100': reparse_input(3 * 4096, [set_point(length=100, data=bytes(range(7, 71)))]),
    'placeholder-empty': reparse_input(0, [set_point(length=0)]),
    'placeholder-1024': reparse_input(65536, [set_point(length=1024)]),
    'placeholder-1025': reparse_input(1, [set_point(length=1025)]),
    'placeholder-16k': reparse_input(4096, [set_point(length=16 * 1024 - 24)]),
    'no-reparse-point': reparse_input(10, []),
    'dedup-0': reparse_input(0, [set_point(tag=DEDUP, length=0)]),
    'dedup-15': reparse_input(0, [set_point(tag=DEDUP, length=15)]),
    'dedup-16': reparse_input(0, [set_point(tag=DEDUP, length=16)]),
    'dedup-17': reparse_input(0, [set_point(tag=DEDUP, length=17)]),
    'dedup-1040': reparse_input(0, [set_point(tag=DEDUP, length=1040)]),
    'dedup-1041': reparse_input(0, [set_point(tag=DEDUP, length=1041)]),
    'symlink': reparse_input(0, [set_point(tag=SYMLINK, length=40, data=b'\\??\\C:\\target')]),
    'mount-point': reparse_input(0, [set_point(tag=MOUNT_POINT, length=24)]),
    'other-guid': reparse_input(100, [set_point(length=8, guid=OTHER_GUID)]),
    'reserved-tag-zero': reparse_input(0, [set_point(tag=RAW_TAG, raw_tag=0, length=4)]),
    'reserved-tag-one': reparse_input(0, [set_point(tag=RAW_TAG, raw_tag=1, length=4)]),
    'declared-longer': reparse_input(0, [set_point(length=10, declared=100)]),
    'declared-shorter': reparse_input(0, [set_point(length=100, declared=10)]),
    'guid-conflict': reparse_input(0, [set_point(length=4), set_point(length=4, guid=OTHER_GUID)]),
    'tag-mismatch': reparse_input(0, [set_point(length=4), set_point(tag=DEDUP, length=4)]),
    'rewrite-longer': reparse_input(0, [set_point(length=4), set_point(length=600)]),
    'set-then-delete': reparse_input(0, [set_point(length=50), delete_point()]),
    'delete-wrong-guid': reparse_input(0, [set_point(length=50), delete_point(guid=OTHER_GUID)]),
    'delete-nothing': reparse_input(0, [delete_point(tag=DEDUP)]),
    'no-pool': reparse_input(0, [set_point(length=10)], failing=FAIL_POOL),
    'fsctl-fails': reparse_input(0, [set_point(length=10)], failing=FAIL_FSCTL, injected=0x00000185),
    'query-fails': reparse_input(77, [set_point(length=10)], failing=FAIL_QUERY, injected=0x00000022),
})

# ---------------------------------------------------------- placeholder control
DIRECTORY, UNBUFFERED, CACHED, SHARED, OUTSIDE = range(5)
PLAIN, PLACEHOLDER = range(2)
CREATE, UPDATE, CONVERT, RAW_COMMAND = range(4)
PLACEHOLDER_TAG_VALUE = 0x20000056


def control(handle, kind, command, length, size, body=b'', raw_command=None):
    """body: the request from offset 4 on (reserved u32, then the payload)."""
    raw = u32(raw_command) if command == RAW_COMMAND else b''
    return u8(handle) + u8(kind) + u8(command) + u32(length) + u32(size) + raw + body


def create_payload(name, reparse=b'', name_offset=None, name_length=None, reparse_length=None,
                   attributes=0x80, tag=PLACEHOLDER_TAG_VALUE, times=(0, 0, 0, 0)):
    encoded = name.encode('utf-16-le')
    offset = 80 + len(reparse) if name_offset is None else name_offset
    fixed = (u32(offset) + u16(len(encoded) if name_length is None else name_length) + u16(0) +
             b''.join(u64(t) for t in times) + u32(attributes) + u32(0) + u64(0) +
             u32(tag) + u16(len(reparse) if reparse_length is None else reparse_length) + u16(0) +
             PLACEHOLDER_GUID)
    payload = bytearray(fixed + reparse)
    if name_offset is None:
        payload += encoded
    return bytes(payload)


def update_payload(flags, reparse=b'', attributes=0x2, times=(0, 0, 0, 0), reparse_length=None):
    return (u32(flags) + u16(0) + u16(0) + b''.join(u64(t) for t in times) + u32(attributes) + u32(0) +
            u64(0) + u32(PLACEHOLDER_TAG_VALUE) + u16(len(reparse) if reparse_length is None else reparse_length) +
            u16(0) + PLACEHOLDER_GUID + reparse)


def convert_payload(reparse=b'', reparse_length=None):
    return (u32(PLACEHOLDER_TAG_VALUE) + u16(len(reparse) if reparse_length is None else reparse_length) + u16(0) +
            PLACEHOLDER_GUID + reparse)


def request(payload):
    return u32(0) + payload  # the reserved field, then the payload


write('placeholder_control_fuzz', {
    'create': control(DIRECTORY, PLAIN, CREATE, 1120, 4096, request(create_payload('new.txt', b'source'))),
    'create-1119': control(DIRECTORY, PLAIN, CREATE, 1119, 10, request(create_payload('short.txt'))),
    'create-existing': control(DIRECTORY, PLACEHOLDER, CREATE, 1120, 1, request(create_payload('f.bin'))),
    'create-on-file': control(UNBUFFERED, PLAIN, CREATE, 1120, 1, request(create_payload('x'))),
    'create-wrapping-offset': control(DIRECTORY, PLAIN, CREATE, 1120, 1,
                                      request(create_payload('w', name_offset=0xFFFFFFFF, name_length=2))),
    'create-name-past-payload': control(DIRECTORY, PLAIN, CREATE, 1120, 1,
                                        request(create_payload('p', name_offset=1100, name_length=100))),
    'create-reparse-16-bits': control(DIRECTORY, PLAIN, CREATE, 8 + 65600, 1,
                                      request(create_payload('h', name_offset=70, name_length=2,
                                                             reparse_length=65512))),
    'create-reparse-past-payload': control(DIRECTORY, PLAIN, CREATE, 1120, 1,
                                           request(create_payload('Z', name_offset=8, name_length=2,
                                                                  reparse_length=1040, times=(0x5A, 0, 0, 0)))),
    'create-reparse-at-payload-end': control(DIRECTORY, PLAIN, CREATE, 1120, 1,
                                             request(create_payload('Z', name_offset=8, name_length=2,
                                                                    reparse_length=1032, times=(0x5A, 0, 0, 0)))),
    'create-long-reparse': control(DIRECTORY, PLAIN, CREATE, 8 + 80 + 2000 + 8, 100,
                                   request(create_payload('long', bytes(range(256)) * 7 + bytes(208)))),
    'create-too-long-reparse': control(DIRECTORY, PLAIN, CREATE, 8 + 80 + 17000 + 2, 100,
                                       request(create_payload('t', bytes(17000)))),
    'create-microsoft-tag': control(DIRECTORY, PLAIN, CREATE, 1120, 1,
                                    request(create_payload('m', b'1234', tag=0x80000013))),
    'create-reserved-tag': control(DIRECTORY, PLAIN, CREATE, 1120, 1, request(create_payload('r', b'12', tag=1))),
    'create-bad-name': control(DIRECTORY, PLAIN, CREATE, 1120, 1, request(create_payload('a*b'))),
    'create-nested-name': control(DIRECTORY, PLAIN, CREATE, 1120, 1, request(create_payload('d\\e'))),
    'create-empty-name': control(DIRECTORY, PLAIN, CREATE, 1120, 1, request(create_payload(''))),
    'create-negative-size': control(DIRECTORY, PLAIN, CREATE, 1120, 0x80000005, request(create_payload('n'))),
    'create-times': control(DIRECTORY, PLAIN, CREATE, 1120, 77,
                            request(create_payload('t', times=(131000000000000000, 1, 2, 3)))),
    'unknown-command': control(DIRECTORY, PLAIN, RAW_COMMAND, 1120, 0, request(b''), raw_command=2331),
    'unknown-zero': control(UNBUFFERED, PLAIN, RAW_COMMAND, 4000, 0, request(b''), raw_command=0),
    'raw-create': control(DIRECTORY, PLAIN, RAW_COMMAND, 1120, 9, request(create_payload('raw')),
                          raw_command=2328),
    'convert': control(UNBUFFERED, PLAIN, CONVERT, 1120, 0, request(convert_payload(b'source-data'))),
    'convert-placeholder': control(UNBUFFERED, PLACEHOLDER, CONVERT, 1120, 0, request(convert_payload(b'again'))),
    'convert-61': control(UNBUFFERED, PLAIN, CONVERT, 1120, 0, request(convert_payload(bytes(61)))),
    'convert-long': control(UNBUFFERED, PLAIN, CONVERT, 8 + 3000 + 1052, 0, request(convert_payload(bytes(3000)))),
    'convert-too-long': control(UNBUFFERED, PLAIN, CONVERT, 8 + 17000 + 1052, 0,
                                request(convert_payload(bytes(17000)))),
    'convert-cached': control(CACHED, PLAIN, CONVERT, 1120, 0, request(convert_payload(b'c'))),
    'convert-shared': control(SHARED, PLAIN, CONVERT, 1120, 0, request(convert_payload(b's'))),
    'convert-outside': control(OUTSIDE, PLAIN, CONVERT, 1120, 0, request(convert_payload(b'o'))),
    'convert-directory': control(DIRECTORY, PLAIN, CONVERT, 1120, 0, request(convert_payload(b'd'))),
    'update-none': control(UNBUFFERED, PLACEHOLDER, UPDATE, 1120, 0, request(update_payload(0))),
    'update-reparse': control(UNBUFFERED, PLACEHOLDER, UPDATE, 8 + 1112 + 9, 0,
                              request(update_payload(1, b'new-value'))),
    'update-basic': control(UNBUFFERED, PLACEHOLDER, UPDATE, 1120, 0,
                            request(update_payload(2, times=(131000000000000000, 0, 0xFFFFFFFFFFFFFFFF, 0)))),
    'update-bad-time': control(UNBUFFERED, PLACEHOLDER, UPDATE, 1120, 0,
                               request(update_payload(2, times=(0xFFFFFFFFFFFFFFF0, 0, 0, 0)))),
    'update-size': control(UNBUFFERED, PLACEHOLDER, UPDATE, 1120, 12345, request(update_payload(4))),
    'update-negative-size': control(UNBUFFERED, PLACEHOLDER, UPDATE, 1120, 0x80000001, request(update_payload(4))),
    'update-all': control(UNBUFFERED, PLACEHOLDER, UPDATE, 8 + 1112 + 3, 300, request(update_payload(7, b'abc'))),
    'update-length-rule': control(UNBUFFERED, PLACEHOLDER, UPDATE, 1120, 0,
                                  request(update_payload(1, reparse_length=1))),
    'update-plain': control(UNBUFFERED, PLAIN, UPDATE, 1120, 0, request(update_payload(4))),
    'update-cached': control(CACHED, PLACEHOLDER, UPDATE, 1120, 0, request(update_payload(4))),
    'update-shared': control(SHARED, PLACEHOLDER, UPDATE, 1120, 0, request(update_payload(4))),
    'update-outside': control(OUTSIDE, PLACEHOLDER, UPDATE, 1120, 5, request(update_payload(4))),
    'empty': control(DIRECTORY, PLAIN, CREATE, 0, 0),
})

# ------------------------------------------------------- pending hydrations
# Header: whole pages (modulo 4), bytes after them (modulo 4096).  Commands:
# kind (0 data, 1 completion), request (0 pending, 1 previous, 2 never
# issued), page of the offset (255: its end wraps), buffer (0 the service's
# memory, 1 unmapped), length, status index (0 success, 1 0x80, 2 pending,
# 3 unsuccessful, 4 access denied, 5 no resources, 6 provider gone, 7 end of
# file).
DATA, COMPLETION = 0, 1
PENDING, PREVIOUS, NEVER = 0, 1, 2
MEMORY, UNMAPPED_BUFFER = 0, 1
WRAP = 255


def hydration(pages, tail, commands):
    return u8(pages) + u16(tail) + b''.join(commands)


def data(page, length, request=PENDING, buffer=MEMORY):
    return u8(DATA) + u8(request) + u8(page) + u8(buffer) + u32(length) + u8(0)


def done(status=0, request=PENDING):
    return u8(COMPLETION) + u8(request) + u8(0) + u8(0) + u32(0) + u8(status)


write('hydration_command_fuzz', {
    'one-page': hydration(1, 0, [data(0, 4096), done()]),
    'empty-file': hydration(0, 0, [done()]),
    'short-file': hydration(0, 100, [data(0, 100), done()]),
    'pages-and-tail': hydration(2, 1808, [data(0, 8192), data(2, 1808), done()]),
    'one-piece-with-tail': hydration(2, 1808, [data(0, 10000), done()]),
    'fewer-bytes-trimmed': hydration(3, 0, [data(0, 4096), done()]),
    'grows-the-file': hydration(0, 10, [data(3, 5000), done()]),
    'no-data-at-all': hydration(1, 0, [done()]),
    'failed-completion': hydration(1, 0, [data(0, 4096), done(status=3)]),
    'provider-gone': hydration(1, 0, [done(status=6)]),
    'warning-free-status': hydration(1, 0, [data(0, 4096), done(status=1)]),
    'second-completion': hydration(1, 0, [data(0, 4096), done(), done(), data(0, 4096)]),
    'previous-request': hydration(1, 0, [data(0, 4096, request=PREVIOUS), done(request=PREVIOUS), done()]),
    'never-issued': hydration(1, 0, [data(0, 4096, request=NEVER), done(request=NEVER), done()]),
    'wrapping-offset': hydration(1, 0, [data(WRAP, 8192), data(0, 4096), done()]),
    'unmapped-page': hydration(1, 0, [data(0, 4096, buffer=UNMAPPED_BUFFER), data(0, 4096), done()]),
    'unmapped-short': hydration(0, 300, [data(0, 300, buffer=UNMAPPED_BUFFER), done()]),
    'unmapped-beyond-end': hydration(0, 300, [data(5, 100, buffer=UNMAPPED_BUFFER), done()]),
    'zero-length': hydration(1, 0, [data(0, 4096), data(0, 0), done()]),
    'short-piece-in-the-middle': hydration(3, 0, [data(0, 12288), data(1, 10), done()]),
    'left-pending': hydration(2, 0, [data(0, 4096)]),
    'largest-pieces': hydration(3, 4095, [data(0, 65536), data(15, 65536), done()]),
})
