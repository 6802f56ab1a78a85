#!/usr/bin/python3
# A Modbus TCP client as SCADA systems run one (Debian's python3-pymodbus) for
# the end-to-end tests: runs the JSON steps given (see run) over one connection
# and prints one JSON line per step, {"value": ...} or {"exception": CODE}.
#   modbus_client.py PORT '[{"op": "read", "table": "hr", "address": 0, "count": 2}, ...]'
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


# Steps: read (table hr, ir, co or di), float ("order") and string ("count"
# characters) decoded as SCADA systems decode them, write (fc 6, or 16 for
# more values), coil (fc 5), coils (fc 15), poll ("times" reads, "every"
# seconds apart: how many were answered), raw ("hex" sent on a connection of
# its own: the hex answered before the gateway closed it, "open" after 3 s),
# flood ("count" connections that send nothing, held to the end), sleep.
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
