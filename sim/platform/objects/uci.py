"""The "uci" object, answering as rpcd does over the stand-in's config folder.

Values are texts or lists of texts. Numbers and booleans in requests become texts as rpcd
formats them; doubles, objects and null are refused. A request member of the wrong JSON
type counts as absent, as with rpcd's argument policies.
"""

from hostbus import INVALID_ARGUMENT, NOT_FOUND, UNKNOWN_ERROR, UbusObject, UbusStatus, dumps
import uci_store
import uci_text


def create(ctx):
    store = uci_store.Store(ctx.config_dir, ctx.log)
    return [Uci(store, ctx.log, ctx.args.verbose).ubus_object()]


def _text(args, key):
    value = args.get(key)
    return value if isinstance(value, str) else None


def _table(args, key):
    value = args.get(key)
    return value if isinstance(value, dict) else None


def _array(args, key):
    value = args.get(key)
    return value if isinstance(value, list) else None


def _format(value):
    """A request value as uci text, or None when it has no text form."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        if -2**31 <= value < 2**31:
            return str(value & 0xFFFFFFFF)
        if -2**63 <= value < 2**64:
            return str(value & 0xFFFFFFFFFFFFFFFF)
    return None


def _option_matches(stored, wanted):
    if isinstance(stored, list):
        return wanted in stored
    return stored == wanted


def _section_matches(section, type_, match):
    """Sections of `type_` whose options equal `match`; keys the section lacks are ignored,
    but a non-empty match needs at least one key present."""
    if type_ is None and match is None:
        return True
    if type_ is not None and section.type != type_:
        return False
    if match is None:
        return True
    empty, hit = True, False
    for key, value in match.items():
        wanted = _format(value)
        if wanted is None:
            continue
        empty = False
        if key in section.options:
            if not _option_matches(section.options[key], wanted):
                return False
            hit = True
    return empty or hit


def _dump_value(value):
    return list(value) if isinstance(value, list) else value


def _dump_section(section, index=None):
    out = {".anonymous": section.anonymous, ".type": section.type, ".name": section.name}
    if index is not None:
        out[".index"] = index
    for key, value in section.options.items():
        out[key] = _dump_value(value)
    return out


class _Errors:
    """The first failure of a request that goes on after it, as rpcd reports it."""

    def __init__(self):
        self.status = 0

    def add(self, status):
        if not self.status:
            self.status = status

    def raise_if_any(self):
        if self.status:
            raise UbusStatus(self.status)


class Uci:
    def __init__(self, store, log, verbose=False):
        self.store = store
        self.log = log
        self.verbose = verbose

    def ubus_object(self):
        methods = {name: self._wrap(name, getattr(self, name))
                   for name in ("get", "set", "add", "rename", "delete", "commit", "revert",
                                "configs")}
        return UbusObject("uci", methods)

    def _wrap(self, name, fn):
        def method(args):
            try:
                result = fn(args)
            except UbusStatus as e:
                self.log("uci %s %s -> %d" % (name, dumps(args), e.status))
                raise
            if self.verbose or name not in ("get", "configs"):
                self.log("uci %s %s -> 0" % (name, dumps(args)))
            return result
        return method

    # --- package access --------------------------------------------------------------------

    def _open(self, args, for_edit):
        config = _text(args, "config")
        if config is None:
            raise UbusStatus(INVALID_ARGUMENT)
        try:
            return config, (self.store.edit(config) if for_edit else self.store.view(config))
        except uci_store.InvalidName:
            raise UbusStatus(INVALID_ARGUMENT)
        except uci_store.NoSuchPackage:
            raise UbusStatus(NOT_FOUND)
        except uci_store.BrokenPackage:
            raise UbusStatus(UNKNOWN_ERROR)

    @staticmethod
    def _lookup(pkg, ref):
        try:
            return pkg.lookup(ref)
        except ValueError:
            raise UbusStatus(INVALID_ARGUMENT)

    # --- methods ---------------------------------------------------------------------------

    def get(self, args):
        _, pkg = self._open(args, for_edit=False)
        ref = _text(args, "section")
        if ref is not None:
            section = self._lookup(pkg, ref)
            if section is None:
                return None
            option = _text(args, "option")
            if option is None:
                return {"values": _dump_section(section)}
            if option not in section.options:
                return None
            return {"value": _dump_value(section.options[option])}
        type_, match = _text(args, "type"), _table(args, "match")
        return {"values": {s.name: _dump_section(s, i) for i, s in enumerate(pkg.sections)
                           if _section_matches(s, type_, match)}}

    def set(self, args):
        values = _table(args, "values")
        ref, type_, match = _text(args, "section"), _text(args, "type"), _table(args, "match")
        if _text(args, "config") is None or values is None or (
                ref is None and type_ is None and match is None):
            raise UbusStatus(INVALID_ARGUMENT)
        config, pkg = self._open(args, for_edit=True)
        try:
            if ref is not None:
                section = self._lookup(pkg, ref)
                targets = [section] if section is not None else []
            else:
                targets = [s for s in pkg.sections if _section_matches(s, type_, match)]
            if not targets:
                raise UbusStatus(NOT_FOUND)  # set never creates a section
            errors = _Errors()
            for section in targets:
                for name, value in values.items():
                    errors.add(self._set_option(section, name, value))
            errors.raise_if_any()
        finally:
            self.store.settle(config)

    @staticmethod
    def _set_option(section, name, value):
        if not uci_text.valid_name(name):
            return INVALID_ARGUMENT
        if isinstance(value, list):
            texts = [_format(v) for v in value]
            good = [t for t in texts if t is not None and uci_text.valid_value(t)]
            section.options.pop(name, None)
            if good:
                section.options[name] = good
            return INVALID_ARGUMENT if len(good) != len(texts) else 0
        text = _format(value)
        if text is None or not uci_text.valid_value(text):
            return INVALID_ARGUMENT
        if text == "":
            section.options.pop(name, None)
        else:
            section.options[name] = text
        return 0

    def add(self, args):
        type_, name = _text(args, "type"), _text(args, "name")
        values = _table(args, "values") or {}
        if _text(args, "config") is None or type_ is None:
            raise UbusStatus(INVALID_ARGUMENT)
        if not uci_text.valid_type(type_) or (name is not None and not uci_text.valid_name(name)):
            raise UbusStatus(INVALID_ARGUMENT)
        # Check every value first so that a refused add leaves nothing behind.
        prepared = {}
        for key, value in values.items():
            items = value if isinstance(value, list) else [value]
            texts = [_format(v) for v in items]
            if not uci_text.valid_name(key) or any(
                    t is None or not uci_text.valid_value(t) for t in texts):
                raise UbusStatus(INVALID_ARGUMENT)
            if isinstance(value, list):
                if texts:
                    prepared[key] = texts
            elif texts[0] != "":
                prepared[key] = texts[0]
        config, pkg = self._open(args, for_edit=True)
        try:
            section = pkg.find(name) if name is not None else None
            if section is None:
                section = pkg.add_section(type_, name)
            else:
                section.type = type_  # adding an existing name retypes it, as uci does
            section.options.update(prepared)
            return {"section": section.name}
        finally:
            self.store.settle(config)

    def rename(self, args):
        ref, new = _text(args, "section"), _text(args, "name")
        option = _text(args, "option")
        if _text(args, "config") is None or ref is None or new is None:
            raise UbusStatus(INVALID_ARGUMENT)
        config, pkg = self._open(args, for_edit=True)
        try:
            section = self._lookup(pkg, ref)
            if section is None or (option is not None and option not in section.options):
                raise UbusStatus(NOT_FOUND)
            if not uci_text.valid_name(new):
                raise UbusStatus(INVALID_ARGUMENT)
            if option is not None:
                if new != option:
                    if new in section.options:
                        raise UbusStatus(INVALID_ARGUMENT)  # would shadow another option
                    section.options = {new if k == option else k: v
                                       for k, v in section.options.items()}
            elif new != section.name:
                if pkg.find(new) is not None:
                    raise UbusStatus(INVALID_ARGUMENT)  # would merge two sections
                section.name = new
                section.anonymous = False
        finally:
            self.store.settle(config)

    def delete(self, args):
        ref, type_, match = _text(args, "section"), _text(args, "type"), _table(args, "match")
        if _text(args, "config") is None or (ref is None and type_ is None and match is None):
            raise UbusStatus(INVALID_ARGUMENT)
        config, pkg = self._open(args, for_edit=True)
        try:
            if ref is None:
                doomed = [s for s in pkg.sections if _section_matches(s, type_, match)]
                if not doomed:
                    raise UbusStatus(NOT_FOUND)
                gone = {id(s) for s in doomed}
                pkg.sections = [s for s in pkg.sections if id(s) not in gone]
                return
            section = self._lookup(pkg, ref)
            if section is None:
                raise UbusStatus(NOT_FOUND)
            options = _array(args, "options")
            if options is None and _text(args, "option") is not None:
                options = [_text(args, "option")]
            if options is None:
                pkg.sections.remove(section)
                return
            errors = _Errors()
            for option in options:
                if isinstance(option, str) and option in section.options:
                    del section.options[option]
                else:
                    errors.add(NOT_FOUND)
            errors.raise_if_any()
        finally:
            self.store.settle(config)

    def commit(self, args):
        config, _ = self._open(args, for_edit=False)
        try:
            self.store.commit(config)
        except OSError as e:
            self.log("uci: commit of %s failed: %s" % (config, e))
            raise UbusStatus(UNKNOWN_ERROR)

    def revert(self, args):
        config, _ = self._open(args, for_edit=False)
        self.store.revert(config)

    def configs(self, args):
        return {"configs": self.store.names()}
