"""A dbusmock template: the service PAVO_MOCK names ([bus name, object, interface,
method, in and out signatures, code]), its method there before any call."""
import json
import os

BUS_NAME, MAIN_OBJ, MAIN_IFACE, METHOD, IN, OUT, CODE = json.loads(os.environ["PAVO_MOCK"])
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethod(MAIN_IFACE, METHOD, IN, OUT, CODE)
