"""The platform's ubus objects, one module each.

Every module here is loaded. A module defines

    create(ctx) -> list of hostbus.UbusObject (may be a coroutine function)

and, when it needs them,

    add_arguments(parser)   command-line options of its own
    async close()           clean-up at exit

`ctx` carries `args` (the parsed command line), `bus` (the host bus connection, for
sending events), `config_dir` and `log(text)`.
"""

import importlib
import pkgutil


def modules():
    names = sorted(m.name for m in pkgutil.iter_modules(__path__) if not m.name.startswith("_"))
    return [importlib.import_module(__name__ + "." + name) for name in names]
