#!/usr/bin/python3
# A Modbus TCP client as a SCADA system runs one (Debian's python3-pymodbus),
# for the end-to-end tests of mira serve: runs the steps given as JSON over
# one connection and prints one JSON line per step.
#
#   modbus_client.py PORT '[{"op": "read", "table": "hr", "address": 0, "count": 2}, ...]'
#
# Steps: read (table hr, ir, co, di), float and string (registers decoded
# as a SCADA system decodes them: float with "order" ABCD ... DCBA, string
# with "count" characters), write (fc 6 for one value, 16 for more), coil
# (fc 5), coils (fc 15), poll (a read repeated "times" times, "every" seconds
# apart: how many were answered). Each prints {"value": ...} or {"exception": CODE}. Bad clients:
# raw (its "hex" bytes sent on a connection of its own: {"value": the hex of
# what came back before the gateway closed it, or "open" after 3 s}), flood
# ("count" connections that send nothing, held to the end), sleep ("seconds").
import json
import socket
import sys
import time

from pymodbus.client import ModbusTcpClient
from pymodbus.constants import Endian
from pymodbus.payload import BinaryPayloadDecoder

ORDERS = {"ABCD": (Endian.Big, Endian.Big), "CDAB": (Endian.Big, Endian.Little),
          "BADC": (Endian.Little, Endian.Big), "DCBA": (Endian.Little, Endian.Little)}


held = []


def raw(port, data):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(data)
        s.settimeout(3)
        got = b""
        try:
            while chunk := s.recv(300):
                got += chunk
        except socket.timeout:
            return got.hex() + " open"
        except ConnectionResetError:  # closed with the rest of the frame unread
            pass
        return got.hex()


def run(client, port, step):
    op = step["op"]
    if op == "raw":
        return {"value": raw(port, bytes.fromhex(step["hex"]))}
    if op == "flood":
        held.extend(socket.create_connection(("127.0.0.1", port)) for _ in range(step["count"]))
        return {"value": len(held)}
    if op == "sleep":
        time.sleep(step["seconds"])
        return {"value": "slept"}
    table = step.get("table", "hr")
    address = step["address"]
    unit = step.get("unit", 1)

    def read(count):
        call = {"hr": client.read_holding_registers, "ir": client.read_input_registers,
                "co": client.read_coils, "di": client.read_discrete_inputs}[table]
        return call(address, count, slave=unit)

    if op == "float":
        r = read(2)
    elif op == "string":
        r = read((step["count"] + 1) // 2)
    elif op in ("read", "poll"):
        r = read(step.get("count", 1))
    elif op == "write":
        values = step["values"]
        r = (client.write_register(address, values[0], slave=unit) if len(values) == 1
             else client.write_registers(address, values, slave=unit))
    elif op == "coil":
        r = client.write_coil(address, step["value"], slave=unit)
    elif op == "coils":
        r = client.write_coils(address, step["values"], slave=unit)
    if op == "poll":
        good = 0 if r.isError() else 1
        for _ in range(step["times"] - 1):
            time.sleep(step.get("every", 0))
            good += 0 if read(step.get("count", 1)).isError() else 1
        return {"value": good}
    if r.isError():
        return {"exception": getattr(r, "exception_code", -1)}
    if op == "float":
        byte, word = ORDERS[step["order"]]
        return {"value": BinaryPayloadDecoder.fromRegisters(r.registers, byteorder=byte,
                                                            wordorder=word).decode_32bit_float()}
    if op == "string":
        text = BinaryPayloadDecoder.fromRegisters(r.registers, byteorder=Endian.Big).decode_string(step["count"])
        return {"value": text.rstrip(b"\0").decode("latin-1")}
    if op == "read":
        return {"value": [int(b) for b in r.bits[:step.get("count", 1)]] if table in ("co", "di") else r.registers}
    return {"value": "written"}


def main():
    client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=10)
    if not client.connect():
        print(json.dumps({"error": "cannot connect"}))
        return 1
    for step in json.loads(sys.argv[2]):
        print(json.dumps(run(client, int(sys.argv[1]), step)), flush=True)
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
