"""A dbusmock template (python3 -m dbusmock -t mock_service.py): the service
that PAVO_MOCK names, [bus name, object, interface, method, in and out
signatures, the method's code], its method there before anyone can call it."""
import json
import os

BUS_NAME, MAIN_OBJ, MAIN_IFACE, METHOD, IN, OUT, CODE = json.loads(os.environ["PAVO_MOCK"])
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethod(MAIN_IFACE, METHOD, IN, OUT, CODE)
