#!/usr/bin/env python3
"""Writes the committed seed corpus of every fuzz target into fuzz/corpus/<target>/.

Each seed is one meaningful case: a complete answer, a typical fault, a whole upgrade. The
binary scripts of the two device targets follow the step codes their harnesses read
(dongle_reports_fuzzer.cpp, library_replies_fuzzer.cpp). Rerun after changing a harness's
script format: python3 fuzz/make_seeds.py
"""
import json
import os
import shutil
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


# ---- url: the address, then key/value pairs; a backslash ends each text ------------------
def urls():
    base = "https://localhost:8443/game/api/talent_tool/"
    cases = {
        "version_get": base + "bin/version/get",
        "update_tip": base + "update_tip\\sbId\\98",
        "result_report": base + "result/report",
        "no_port": "https://h/a",
        "no_path": "https://h:81",
        "http_scheme": "http://h/a",
        "port_not_a_number": "https://h:abc/a",
        "port_beyond_16_bits": "https://h:70000/a",
        "port_signed": "https://h: -1/a",
        "scheme_later": "xhttps://h/a",
        "two_params": "https://h/p\\b\\2\\a\\1",
        "value_with_space_and_ampersand": "https://h/p\\k\\a b&c",
        "query_already": "https://h/p?x=1\\y\\2",
        "empty": "",
    }
    for name, text in cases.items():
        write("url", name, text)


# Empty arrays nested `levels` deep (a few hundred at most: Python's json recurses).
def nested(levels):
    return json.loads("[" * levels + "]" * levels)


# ---- version_answer: the service's answer to the version query --------------------------
def version_answers():
    good = {
        "fileUrl": "https://localhost:8443/files/marlo-1.0.3.bin",
        "fileSize": 48128,
        "fileName": "marlo-1.0.3.bin",
        "version": 103,
        "bizId": "biz-103",
        "versionTxt": "V1.0.3 新版本",
    }

    def answer(data, **envelope):
        doc = {"code": 0, "msg": "ok", **envelope, "data": data}
        return json.dumps(doc, ensure_ascii=False)

    def without(member):
        return {k: v for k, v in good.items() if k != member}

    write("version_answer", "complete", answer(good))
    write("version_answer", "empty", "")
    write("version_answer", "malformed", answer(good)[:40])
    write("version_answer", "no_data", '{"code":500,"msg":"server error"}')
    write("version_answer", "data_not_object", '{"data":[1,2,3]}')
    write("version_answer", "top_level_array", '[{"data":{}}]')
    write("version_answer", "no_version_txt", answer(without("versionTxt")))
    write("version_answer", "no_file_url", answer(without("fileUrl")))
    write("version_answer", "size_as_string", answer({**good, "fileSize": "48128"}))
    write("version_answer", "version_float", answer({**good, "version": 3.9}))
    write("version_answer", "version_bool", answer({**good, "version": True}))
    write("version_answer", "version_wide", answer({**good, "version": 4294967297}))
    write("version_answer", "size_huge_float", answer({**good, "fileSize": -1e300}))
    write("version_answer", "size_null", answer({**good, "fileSize": None}))
    write("version_answer", "empty_file_url", answer({**good, "fileUrl": ""}))
    write("version_answer", "error_status", answer(good, code=500, msg="busy"))
    write("version_answer", "nul_in_text", answer({**good, "versionTxt": "V1\u0000hidden"}))
    write("version_answer", "comment", '/* c */' + answer(good))
    # The top level and "data" are two levels: 256 in all is the deepest answer read.
    write("version_answer", "nested_at_limit", answer({**good, "deep": nested(254)}))
    write("version_answer", "nested_beyond_limit", answer({**good, "deep": nested(255)}))
    write("version_answer", "nested_100k", '{"data":' + "[" * 100000 + "]" * 100000 + "}")


# ---- tip_answer: the service's answer to the upgrade-tip request ------------------------
def tip_answers():
    def answer(data, **envelope):
        return json.dumps({"code": 0, **envelope, "data": data}, ensure_ascii=False)

    write("tip_answer", "https_tip", answer({"tip": "新固件已发布", "url": "https://localhost/notes"}))
    write("tip_answer", "capital_scheme", answer({"tip": "t", "url": "HTTP://LOCALHOST/"}))
    write("tip_answer", "http_later", answer({"tip": "t", "url": "see http://h"}))
    write("tip_answer", "empty_url", answer({"tip": "t", "url": ""}))
    write("tip_answer", "no_tip", answer({"url": "https://h"}))
    write("tip_answer", "no_members", answer({}))
    write("tip_answer", "tip_number", answer({"tip": 5, "url": "https://h"}))
    write("tip_answer", "url_number", answer({"tip": "t", "url": 7}))
    write("tip_answer", "no_data", '{"code":1}')
    write("tip_answer", "error_status", answer({"tip": "t", "url": "https://h"}, code=500))
    write("tip_answer", "escapes", answer({"tip": "a\"b\\c\n", "url": "https://h/?q=\u00e9"}))
    write("tip_answer", "empty", "")
    write("tip_answer", "malformed", '{"data":{"tip":"t","url":')
    write("tip_answer", "url_nested_100k",
          '{"data":{"url":' + "[" * 100000 + "]" * 100000 + ',"tip":"t"}}')


# ---- dongle_reports: steps into the dongle's device side --------------------------------
RAW, COMMAND, START, DATA, REST, DELIVER, TIME, FAULTS = range(8)
INFO, START_CMD, VERIFY, ACTIVATE, ABORT, HEADER, CONFIRM = 1, 2, 3, 4, 5, 6, 7
# What a deviant start changes (dongle_reports_fuzzer.cpp, Start).
PRODUCT, HARDWARE, COUNTER, SIGNATURE, UNSIGNED = 1, 2, 4, 8, 16
WATCHDOG = 0x10  # with TIME: the trial watchdog runs out


def cmd(kind, tag, body=b""):
    return bytes([COMMAND, kind, tag, len(body)]) + body


def start(pick=1, seed=5, tag=1, version=(1, 2, 0, 7), window=64, flags=0, size=None,
          kind=None, extras=()):
    """A header signed with the demo key and START; `kind` makes it deviant (flag 0x40)."""
    if kind is not None:
        flags |= 0x40
    out = bytes([START | flags, pick])
    if pick >= 6:
        out += u16(size) if pick < 200 else u32(size)
    out += bytes([seed]) + bytes(version)
    if kind is not None:
        out += bytes([kind]) + bytes(extras)
    return out + bytes([tag, window])


def faults(bits=0, refusal=0, values=(), completion=0, trial=0, forge=None):
    out = bytes([FAULTS]) + u16(bits) + bytes([refusal])
    for v in values:
        out += u16(v)
    out += bytes([completion, trial | (32 if forge is not None else 0)])
    return out + (u16(forge) if forge is not None else b"")


CONFIRM_SLOT_1 = cmd(CONFIRM, 5, bytes([1]))


def finish(slot=1):
    """Verify, commit, restart, and confirm the image in `slot`."""
    return bytes([DELIVER]) + cmd(VERIFY, 2) + bytes([DELIVER]) + cmd(ACTIVATE, 3) + \
        bytes([DELIVER, TIME]) + cmd(INFO, 4) + bytes([DELIVER]) + \
        cmd(CONFIRM, 5, bytes([slot])) + bytes([DELIVER])


FINISH = finish()
# The same up to the restart, and nobody confirms: the watchdog runs out.
UNCONFIRMED = bytes([DELIVER]) + cmd(VERIFY, 2) + bytes([DELIVER]) + cmd(ACTIVATE, 3) + \
    bytes([DELIVER, TIME]) + cmd(INFO, 4) + bytes([DELIVER, TIME | WATCHDOG, TIME]) + \
    cmd(INFO, 6) + bytes([DELIVER])


def dongle_scripts():
    w = lambda name, data: write("dongle_reports", name, data)
    w("info", cmd(INFO, 9) + bytes([DELIVER]))
    w("one_report_upgrade", start(pick=0) + bytes([REST]) + FINISH)
    w("full_report_upgrade", start(pick=2) + bytes([REST]) + FINISH)
    w("many_reports_upgrade", start(pick=4) + bytes([REST, DELIVER]) + FINISH)
    w("sequence_wraps", start(pick=4) + bytes([DATA] * 130) + bytes([REST]) + FINISH)
    w("gap_then_go_back", start(pick=4) + bytes([DATA, DATA | 0x80, 3, DELIVER, REST | 0x80])
      + FINISH)
    w("damaged_report", start(pick=3) + bytes([DATA | 0x40, 5, DELIVER, REST | 0x80]) + FINISH)
    w("wrong_content_sealed", start(pick=3) + bytes([DATA | 0x60, 5, REST]) + FINISH)
    w("power_cut_midway", start(pick=4) + bytes([DATA] * 40) + bytes([TIME | 0x80, TIME])
      + cmd(INFO, 4) + bytes([DELIVER]))
    w("unplug_during_restart", start(pick=1) + bytes([REST, DELIVER]) + cmd(VERIFY, 2) +
      bytes([DELIVER]) + cmd(ACTIVATE, 3) + bytes([DELIVER, TIME | 0x80]) + cmd(INFO, 4))
    w("header_promises_other_bytes", start(pick=1, flags=0x80) + bytes([REST]) + FINISH)
    w("unsigned_format", start(pick=1, kind=UNSIGNED) + bytes([REST]) + FINISH)
    w("bad_signature", start(pick=1, kind=SIGNATURE, extras=(9,)) + bytes([REST]) + FINISH)
    w("other_product", start(pick=1, kind=PRODUCT, extras=(2,)) + bytes([REST]) + FINISH)
    w("other_hardware", start(pick=1, kind=HARDWARE, extras=(3,)) + bytes([REST]) + FINISH)
    # Counter 2 confirmed, then counter 1 refused, counter 2 again taken.
    w("rollback", start(pick=1, kind=COUNTER, extras=(2,)) + bytes([REST]) + FINISH +
      start(pick=1, kind=COUNTER, extras=(1,), tag=7) + bytes([DELIVER]) +
      start(pick=1, kind=COUNTER, extras=(2,), tag=8) + bytes([REST]) + finish(slot=0))
    w("watchdog_reverts", start() + bytes([REST]) + UNCONFIRMED)
    w("reset_on_trial_reverts", start() + bytes([REST]) + FINISH[:-len(CONFIRM_SLOT_1) - 1] +
      bytes([TIME]) + cmd(INFO, 6) + bytes([DELIVER]))
    w("start_while_on_trial", start() + bytes([REST]) + FINISH[:-len(CONFIRM_SLOT_1) - 1] +
      start(pick=2, tag=9) + bytes([DELIVER, REST]) + CONFIRM_SLOT_1 + bytes([DELIVER]))
    w("confirm_wrong_slot", start() + bytes([REST]) + FINISH[:-len(CONFIRM_SLOT_1) - 1] +
      cmd(CONFIRM, 5, bytes([0])) + bytes([DELIVER]) + CONFIRM_SLOT_1 + bytes([DELIVER]) +
      CONFIRM_SLOT_1 + bytes([DELIVER]))
    w("unplug_on_confirm", faults(trial=4) + start() + bytes([REST]) + FINISH + bytes([TIME]) +
      cmd(INFO, 6) + bytes([DELIVER]))
    w("unplug_after_confirm", faults(trial=8) + start() + bytes([REST]) + FINISH +
      bytes([TIME]) + cmd(INFO, 6) + bytes([DELIVER]))
    w("trial_never_enumerates", faults(trial=1) + start() + bytes([REST]) + UNCONFIRMED)
    w("trial_never_answers", faults(trial=2) + start() + bytes([REST]) + UNCONFIRMED)
    w("forged_data_report", faults(forge=3) + start(pick=4) + bytes([REST]) + FINISH)
    w("too_large", start(pick=6, size=0xFFFF) + bytes([DELIVER]) + start(pick=200, size=1 << 30)
      + bytes([DELIVER]))
    w("activate_unverified", cmd(ACTIVATE, 1) + bytes([DELIVER]) + start() + cmd(ACTIVATE, 2) +
      bytes([DELIVER]))
    w("verify_early", start(pick=4) + bytes([DATA] * 3) + cmd(VERIFY, 2) + bytes([DELIVER]))
    w("abort_midway", start(pick=4) + bytes([DATA] * 3) + cmd(ABORT, 2) + bytes([DELIVER, REST])
      + FINISH)
    w("failed_verification", faults(bits=1 << 10) + start() + bytes([REST]) + FINISH)
    w("new_image_fails", faults(bits=1 << 12) + start() + bytes([REST]) + FINISH)
    w("restart_never_ends", faults(bits=1 << 11) + start() + bytes([REST]) + FINISH +
      bytes([TIME, TIME]))
    w("refused_start", faults(refusal=2) + start() + bytes([DELIVER]))
    w("link_faults", faults(bits=0x7C, values=(1, 2, 3, 0, 1)) + start(pick=4) + bytes([REST]) +
      bytes([DELIVER, REST | 0x80, DELIVER, REST | 0x80]) + FINISH)
    w("unplug_at_byte", faults(bits=1, values=(124,)) + start(pick=4) + bytes([REST, TIME]) +
      cmd(INFO, 4) + bytes([DELIVER]))
    w("stall_at_byte", faults(bits=2, values=(62,)) + start(pick=4) + bytes([REST]) + FINISH)
    w("completion_above_100", faults(completion=55) + start() + bytes([REST]) + FINISH)
    w("garbage", bytes([RAW]) + bytes(range(64)) + bytes([RAW | 0x80]) + bytes(range(64, 128)))
    # Timed flash: the erase goes block by block; the start asked again meanwhile, then the
    # read-back block by block.
    w("timed_flash_repeated_start", bytes([TIME | 0x60]) + start(pick=4) + bytes([DELIVER]) +
      bytes([START | 0x20, DELIVER, TIME, TIME, START | 0x20, DELIVER, REST, DELIVER]) +
      cmd(VERIFY, 2) + bytes([DELIVER, TIME, TIME]) + FINISH)
    w("flash_keeps_a_wrong_byte", faults(bits=1 << 13, values=(70,)) + start(pick=4) +
      bytes([REST]) + FINISH)


# ---- library_replies: image, polls before a cancel, then what each read returns ---------
NOTHING, GONE, REPLY, ACK, NAK, RAW_R, INFO_R, ACCEPT = range(8)


def info(protocol=None, restarted=False, version=None, completion=0, kind=None, extra=()):
    """INFO; `kind` names another product (1), hardware revision (2) or a counter (4)."""
    op = INFO_R | (0x80 if protocol is not None else 0) | (0x20 if restarted else 0) | \
        (0x40 if version is None and restarted else 0) | (0x08 if kind is not None else 0)
    out = bytes([op])
    if protocol is not None:
        out += bytes([protocol])
    out += bytes([1 if restarted else 0, 64, completion])
    if not (op & 0x40):
        out += bytes(version or (1, 0, 0, 0))
    out += bytes([7, 0, 0, 0, 0, 0, 0, 0, 7] * 2)
    if kind is not None:
        out += bytes([kind]) + bytes(extra)
    return out


def working(done, total):
    return bytes([REPLY, 8, 64]) + u32(done) + u32(total)


def accept(window=64):
    return bytes([ACCEPT, window])


def status(code):
    return bytes([REPLY, 0, code])


CONNECT = info() + info() + info()  # connect, version, slots
# Everything sent so far acknowledged; the read after it finds nothing more.
ACKED = bytes([ACK, 0, NOTHING])


HEADER_SENT = accept() * 4  # the four parts of the image header


def upgrade(data_reads, restarted_info=None, confirm=None):
    back = restarted_info if restarted_info is not None else info(restarted=True, completion=100)
    confirm = accept() if confirm is None else confirm
    return CONNECT + HEADER_SENT + accept() + data_reads + accept() + accept() + back + confirm


def library_scripts():
    w = lambda name, image, cancel, data: write("library_replies", name,
                                                bytes([image, cancel]) + data)
    w("one_report", 0, 0, upgrade(ACKED))
    w("five_reports", 1, 0, upgrade(bytes([NOTHING] * 5) + ACKED))
    w("window_acks", 2, 0, upgrade((bytes([NOTHING]) + ACKED) * 65))
    w("nak_then_resend", 1, 0, upgrade(bytes([NOTHING, NAK, 1] + [NOTHING] * 5) + ACKED))
    w("silent_then_acked", 1, 0, upgrade(bytes([NOTHING] * 5 + [NOTHING | 0x80] * 2) + ACKED))
    w("ack_out_of_range", 1, 0, upgrade(bytes([ACK | 0x80]) + u32(0xFFFFFFF0) + ACKED +
                                          bytes([NOTHING] * 4) + ACKED))
    w("gone_in_transfer", 1, 0, CONNECT + HEADER_SENT + accept() + bytes([NOTHING, GONE]))
    w("refused_battery", 0, 0, CONNECT + HEADER_SENT + status(2))
    w("refused_signature", 0, 0, CONNECT + HEADER_SENT + status(6))
    w("refused_on_trial", 0, 0, CONNECT + HEADER_SENT + status(10))
    w("header_refused", 0, 0, CONNECT + accept() + status(4))
    w("refused_unknown_status", 0, 0, CONNECT + HEADER_SENT + status(77))
    w("verify_mismatch", 0, 0, CONNECT + HEADER_SENT + accept() + ACKED + status(18))
    w("verify_incomplete", 0, 0, CONNECT + HEADER_SENT + accept() + ACKED +
      bytes([REPLY, 4, 17, 9, 0, 0, 0]))
    w("activate_refused", 0, 0, CONNECT + HEADER_SENT + accept() + ACKED + accept() + status(32))
    w("back_with_old_version", 0, 0, upgrade(ACKED,
                                             info(restarted=True, version=(1, 0, 0, 0)), b""))
    w("not_restarted_yet", 0, 0, upgrade(ACKED, info() + info(restarted=True)))
    w("never_back", 0, 0, CONNECT + HEADER_SENT + accept() + ACKED + accept() + accept())
    w("confirm_refused", 0, 0, upgrade(ACKED, confirm=status(33)))
    w("gone_at_confirm_then_back", 0, 0, upgrade(ACKED, confirm=bytes([GONE])) +
      info(restarted=True, completion=100) + accept())
    w("silent_at_confirm", 0, 0, upgrade(ACKED, confirm=bytes([NOTHING | 0x80] * 2)))
    w("device_of_another_product", 0, 0, info(kind=1, extra=(2,)))
    w("device_above_the_counter", 0, 0, info() + info() + info(kind=4, extra=(1,)))
    w("cancel_midway", 2, 3, CONNECT + HEADER_SENT + accept() +
      bytes([NOTHING] * 64 + [NOTHING | 0x80] * 2 + [NOTHING] * 20))
    w("other_protocol", 0, 0, info(protocol=1))
    w("wrong_tag_and_unsealed", 0, 0, bytes([REPLY | 0x80, 99, 0, 0, REPLY | 0x40, 0, 0]) +
      upgrade(ACKED))
    w("raw_noise", 0, 0, bytes([RAW_R | 0x80]) + bytes(range(64)) + upgrade(ACKED))
    w("erase_and_read_back_take_time", 1, 0, CONNECT + HEADER_SENT + working(0, 4096) +
      working(2048, 4096) + accept() + bytes([NOTHING] * 5) + ACKED + working(0, 300) +
      accept() + accept() + info(restarted=True, completion=100) + accept())


if __name__ == "__main__":
    if os.path.isdir(ROOT):
        shutil.rmtree(ROOT)
    urls()
    version_answers()
    tip_answers()
    dongle_scripts()
    library_scripts()
