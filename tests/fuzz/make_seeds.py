#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzzing corpus (tests/fuzz/corpus/).

Each seed is a program in the harness's input layout (engine_fuzz.h): steps
of selector, flags, u16 length, u16 extra, then the step's bytes. Inputs the
fuzzer found are kept beside these under names of their own.
"""
import os
import struct
import sys

# Selectors: control code ENGINE_FUNCTION_FIRST + n.
CREATE_IMAGE, MOUNT_IMAGE, CREATE_MEMORY, UNMOUNT, SAVE_IMAGE, DEVICE_NAME, REGISTER_NOTIFY, QUERY, LIST, LINK, \
    IMAGE_PATH, SET_PROPERTIES, ADD_AUTO, GET_AUTO, DELETE_AUTO, DELETE_ALL_AUTO, FORMAT, FLUSH_STATE = range(18)
IMAGE_WRITE, FOREIGN, FAULT = 18, 19, 20
POOL_FAULT, PAGE_FAULT, MAPPING_FAULT, FILE_FAULT = range(4)

HANDLE, REBUILD, WITH_PATH, SECOND_FILE, WOW64 = 0x01, 0x02, 0x04, 0x08, 0x80
MEMORY = 0x8
NULL, XOR = 1, 2
RAW, FAT, FAT32, NTFS = 0, 1, 2, 3
KIB, MIB = 1 << 10, 1 << 20


def step(selector, flags, body=b"", extra=0):
    return struct.pack("<BBHH", selector, flags, len(body), extra) + body


def create_image(algorithm, size, fs, kind=1, overwrite=1, password=b"", label=b""):
    head = struct.pack("<IBHQBIHH", algorithm, kind, len(password), size, overwrite, fs, len(label), 0)
    return head + password + label


def create_memory(algorithm, size, flags, fs, format_flags=0, password=b"", label=b"", numa=0):
    return struct.pack("<IQIIIIHHH", algorithm, size, flags, numa, fs, format_flags, len(label), len(password),
                       0) + password + label


def mount(flags, password=b""):
    return struct.pack("<IHH", flags, len(password), 0) + password


def unmount(force=1, wipe=0):
    return struct.pack("<QBB", 0, force, wipe)


def save(flags):
    return struct.pack("<QIH", 0, flags, 0) + b"\0\0"


def handle_only():
    return struct.pack("<Q", 0)


def link(operation, letter=ord("R"), logon=0x3E7, local=0, selector=-1, extra=b""):
    record = struct.pack("<HQBIQiB", letter, logon, local, operation, 0, selector, len(extra) // 2) + extra
    return record.ljust(80, b"\0")


def properties(set_bits, clear_bits):
    return struct.pack("<QII", 0, set_bits, clear_bits)


def flush_state(period, flags):
    return struct.pack("<QII", 0, period, flags)


def format_volume(fs, label=b"", flags=0, partition=-1):
    return struct.pack("<IQIHi", flags, 0, fs, len(label), partition) + label


def auto_volume(letter=ord("D"), flags=MEMORY, size=MIB, fs=FAT, label=b"", folders=b""):
    head = struct.pack("<HIIIQIHHIIIB", letter, flags, 0, 0, size, fs, len(label), 0, len(folders), 0, 0, 0)
    return head.ljust(95, b"\0") + label + folders


def utf16(text):
    return text.encode("utf-16-le")


MOUNT_OUT = 16
def fault(kind, skip, count=1):
    return step(FAULT, kind | (count - 1) << 2, b"", skip)


SEEDS = {
    "faults_in_memory_volume_creation": b"".join(
        fault(kind, skip) + step(CREATE_MEMORY, REBUILD, create_memory(XOR, MIB, MEMORY, FAT, password=utf16("k"),
                                                                    label=b"F"), MOUNT_OUT)
        for kind, skip in ((POOL_FAULT, 0), (POOL_FAULT, 5), (POOL_FAULT, 20), (PAGE_FAULT, 0), (MAPPING_FAULT, 0),
                           (MAPPING_FAULT, 1), (POOL_FAULT, 40))),
    "faults_in_image_requests": step(CREATE_IMAGE, REBUILD | WITH_PATH, create_image(NULL, MIB, FAT), 4)
    + b"".join(fault(kind, skip) + step(MOUNT_IMAGE, REBUILD | WITH_PATH, mount(0), MOUNT_OUT)
               + step(UNMOUNT, HANDLE, unmount())
               for kind, skip in ((FILE_FAULT, 0), (FILE_FAULT, 2), (MAPPING_FAULT, 0), (POOL_FAULT, 10)))
    + step(CREATE_MEMORY, REBUILD | WITH_PATH, create_memory(0, 0, MEMORY, 0), MOUNT_OUT)
    + fault(FILE_FAULT, 1) + step(SAVE_IMAGE, HANDLE, save(0))
    + fault(FILE_FAULT, 0) + step(CREATE_IMAGE, REBUILD | WITH_PATH | SECOND_FILE, create_image(XOR, MIB, NTFS), 4)
    + fault(POOL_FAULT, 3) + step(SAVE_IMAGE, HANDLE | REBUILD | WITH_PATH | SECOND_FILE, save(2)),
    "memory_volume_each_file_system": b"".join(
        step(CREATE_MEMORY, REBUILD, create_memory(XOR if fs % 2 else NULL, 4 * MIB, MEMORY, fs, label=b"FUZZ",
                                                   password=utf16("key")), MOUNT_OUT)
        for fs in (RAW, FAT, FAT32, NTFS)) + step(LIST, 0, b"", 64),
    "memory_volume_queries": step(CREATE_MEMORY, REBUILD, create_memory(XOR, MIB, MEMORY | 0x2, FAT,
                                                                        password=utf16("k")), MOUNT_OUT)
    + step(QUERY, HANDLE, handle_only(), 100) + step(DEVICE_NAME, HANDLE, handle_only(), 0)
    + step(DEVICE_NAME, HANDLE, handle_only(), 200) + step(IMAGE_PATH, HANDLE, handle_only(), 200)
    + step(SET_PROPERTIES, HANDLE, properties(3, 1)) + step(FLUSH_STATE, HANDLE, flush_state(1, 3))
    + step(FORMAT, HANDLE | REBUILD, format_volume(FAT, b"NEW")) + step(UNMOUNT, HANDLE, unmount(0, 1))
    + step(QUERY, HANDLE, handle_only(), 100),
    "image_create_mount_save": step(CREATE_IMAGE, REBUILD | WITH_PATH, create_image(NULL, MIB, FAT), 4)
    + step(MOUNT_IMAGE, REBUILD | WITH_PATH, mount(0), MOUNT_OUT)
    + step(SAVE_IMAGE, HANDLE, save(3)) + step(SAVE_IMAGE, HANDLE | REBUILD | WITH_PATH | SECOND_FILE, save(0))
    + step(IMAGE_PATH, HANDLE, handle_only(), 300) + step(UNMOUNT, HANDLE, unmount())
    + step(CREATE_MEMORY, REBUILD | WITH_PATH | SECOND_FILE, create_memory(0, 0, MEMORY, 0), MOUNT_OUT),
    "image_xor_load_into_memory": step(CREATE_IMAGE, REBUILD | WITH_PATH,
                                       create_image(XOR, 2 * MIB, FAT, password=utf16("pw")), 4)
    + step(CREATE_MEMORY, REBUILD | WITH_PATH, create_memory(0, 0, MEMORY | 0x10, 0, password=utf16("pw")), MOUNT_OUT)
    + step(CREATE_MEMORY, REBUILD | WITH_PATH, create_memory(0, 0, MEMORY, 0, password=utf16("no")), MOUNT_OUT)
    + step(SAVE_IMAGE, HANDLE | REBUILD, save(2)),
    "image_header_damaged": step(CREATE_IMAGE, REBUILD | WITH_PATH, create_image(NULL, MIB, RAW), 4)
    + step(IMAGE_WRITE, 0, b"\0" * 24 + b"\xff" * 8, 1) + step(MOUNT_IMAGE, REBUILD | WITH_PATH, mount(0), MOUNT_OUT)
    + step(UNMOUNT, HANDLE, unmount())
    + step(CREATE_MEMORY, REBUILD | WITH_PATH, create_memory(0, 0, MEMORY, 0), MOUNT_OUT)
    + step(UNMOUNT, HANDLE | 0x10, unmount())
    + step(IMAGE_WRITE, 0x02, b"\0" * 8, 4096 // 64) + step(MOUNT_IMAGE, REBUILD | WITH_PATH, mount(0), MOUNT_OUT),
    "image_raw_and_tiny": step(IMAGE_WRITE, 0x02, b"\x55\xaa" * 300, 0)
    + step(MOUNT_IMAGE, REBUILD | WITH_PATH, mount(0x20), MOUNT_OUT)
    + step(CREATE_MEMORY, REBUILD | WITH_PATH, create_memory(0, 0, MEMORY | 0x20, 0), MOUNT_OUT)
    + step(MOUNT_IMAGE, REBUILD | WITH_PATH, mount(0), MOUNT_OUT),
    "image_copied_and_cut": step(CREATE_IMAGE, REBUILD | WITH_PATH | SECOND_FILE, create_image(XOR, MIB, FAT32), 4)
    + step(IMAGE_WRITE, 0x04 | 0x02, b"", 4096 // 64)
    + step(CREATE_MEMORY, REBUILD | WITH_PATH, create_memory(0, 0, MEMORY, 0), MOUNT_OUT),
    "disk_emulation_and_links": step(CREATE_MEMORY, REBUILD, create_memory(NULL, 2 * MIB, MEMORY | 0x80, FAT),
                                     MOUNT_OUT)
    + step(CREATE_MEMORY, REBUILD, create_memory(NULL, MIB, MEMORY | 0x4, RAW), MOUNT_OUT)
    + step(LINK, HANDLE | 0x10, link(1, extra=utf16("ST"))) + step(LINK, HANDLE | 0x10, link(2))
    + step(LINK, 0, link(3, local=1)) + step(UNMOUNT, HANDLE, unmount(0, 0)),
    "notify_registration": step(REGISTER_NOTIFY, REBUILD, struct.pack("<QQ", 0, 0x1000))
    + step(REGISTER_NOTIFY, REBUILD | WOW64, struct.pack("<II", 0, 0x2000))
    + step(CREATE_MEMORY, REBUILD, create_memory(NULL, 64 * KIB, MEMORY, RAW), MOUNT_OUT)
    + step(REGISTER_NOTIFY, 0, struct.pack("<QQ", 4, 0x1000)),
    "auto_volume_records": step(ADD_AUTO, REBUILD, auto_volume(label=b"AUTO", folders=utf16("a\0b\0"))) 
    + step(GET_AUTO, 0, b"", 0) + step(GET_AUTO, 0, b"", 200) + step(DELETE_AUTO, 0, struct.pack("<H", ord("d")))
    + step(DELETE_ALL_AUTO, 0),
    "lengths_off_by_one": b"".join(step(sel, 0, b"\0" * n, out) for sel, n, out in (
        (CREATE_IMAGE, 23, 4), (MOUNT_IMAGE, 9, 16), (CREATE_MEMORY, 35, 16), (UNMOUNT, 11, 0), (SAVE_IMAGE, 15, 0),
        (QUERY, 8, 99), (LINK, 79, 0), (SET_PROPERTIES, 17, 0), (FORMAT, 21, 0), (FLUSH_STATE, 15, 0),
        (ADD_AUTO, 94, 0), (DELETE_AUTO, 3, 0), (GET_AUTO, 0, 3), (LIST, 0, 7))),
    "foreign_codes": step(FOREIGN, 0x00, b"abc", 0x100) + step(FOREIGN, 0x13, b"", 0x101)
    + step(FOREIGN, 0x3F | WOW64, b"\1" * 40, 0x203) + step(FOREIGN, 0x03, create_memory(NULL, MIB, MEMORY, RAW) +
                                                            b"\0\0", 0x102),
}


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name + ".bin"), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
