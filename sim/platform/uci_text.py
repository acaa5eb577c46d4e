"""UCI packages in memory and in the text format that uci reads and writes.

    config TYPE ['NAME']
        option NAME 'VALUE'
        list NAME 'VALUE'

Words may be bare, 'single quoted' (no escapes, may span lines) or "double quoted"
(backslash escapes the next character); adjacent pieces join into one word, '#' starts a
comment, ';' ends a statement. Anonymous sections get names when loaded, as uci names them:
"cfg" + a 2-digit counter + a 4-digit hash of the section's content.
"""

import copy
import re

_NAME = re.compile(r"[A-Za-z0-9_]+\Z")
_PACKAGE = re.compile(r"[A-Za-z0-9_-]+\Z")
_BARE_TYPE = re.compile(r"[A-Za-z0-9_]+\Z")


def valid_name(text):
    """Section and option names: letters, digits and '_'."""
    return isinstance(text, str) and bool(_NAME.match(text))


def valid_package(text):
    """Package (config) names: letters, digits, '_' and '-'."""
    return isinstance(text, str) and bool(_PACKAGE.match(text))


def valid_type(text):
    """Section types: any printable ASCII but blanks."""
    return isinstance(text, str) and text != "" and all(33 <= ord(c) <= 126 for c in text)


def valid_value(text):
    """Values: no control characters but tab, line feed and carriage return."""
    return all(ord(c) >= 32 or c in "\t\n\r" for c in text)


class ParseError(Exception):
    def __init__(self, line, reason):
        super().__init__("line %d: %s" % (line, reason))
        self.line = line
        self.reason = reason


class Section:
    def __init__(self, type_, name, anonymous):
        self.type = type_
        self.name = name
        self.anonymous = anonymous
        self.options = {}  # name -> str or list of str, in file order

    def __eq__(self, other):
        return (isinstance(other, Section) and self.type == other.type
                and self.name == other.name and self.anonymous == other.anonymous
                and list(self.options.items()) == list(other.options.items()))


def _djbhash(h, text):
    if h is None:
        h = 5381
    for b in text.encode("utf-8", "surrogateescape"):
        h = (h * 33 + (b - 256 if b > 127 else b)) & 0xFFFFFFFF
    return h & 0x7FFFFFFF


class Package:
    def __init__(self, name):
        self.name = name
        self.sections = []
        self._counter = 0

    def __eq__(self, other):
        return isinstance(other, Package) and self.sections == other.sections

    def clone(self):
        return copy.deepcopy(self)

    def find(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def lookup(self, ref):
        """A section by name or by "@type[n]" (n < 0 counts from the end; "@[n]" any type).

        Raises ValueError on a malformed "@" reference."""
        if not ref.startswith("@"):
            return self.find(ref)
        m = re.match(r"@([^\[\]]*)\[([^\]]*)\]\Z", ref)
        if not m:
            raise ValueError("bad section reference " + ref)
        type_, index = m.group(1), m.group(2)
        if type_ and not valid_type(type_):
            raise ValueError("bad section type in " + ref)
        try:
            n = int(index) if index else 0
        except ValueError:
            raise ValueError("bad section index in " + ref)
        of_type = [s for s in self.sections if not type_ or s.type == type_]
        if n < 0:
            n += len(of_type)
        return of_type[n] if 0 <= n < len(of_type) else None

    def add_section(self, type_, name=None):
        """Appends a section; an anonymous one gets a fresh "cfgXXXXXX" name."""
        if name is None:
            s = Section(type_, None, True)
            s.name = self._anonymous_name(s)
        else:
            s = Section(type_, name, False)
        self.sections.append(s)
        return s

    def _anonymous_name(self, section):
        h = _djbhash(None, section.type)
        for key, value in section.options.items():
            h = _djbhash(h, key)
            for v in value if isinstance(value, list) else [value]:
                h = _djbhash(h, v)
        while True:
            self._counter += 1
            name = "cfg%02x%04x" % (self._counter & 0xFF, h % 0x10000)
            if self.find(name) is None:
                return name


# --- reading -------------------------------------------------------------------------------

class _Lexer:
    """Splits text into statements: lists of (line, word)."""

    def __init__(self, text):
        self.text = text
        self.pos = 0
        self.line = 1

    def _peek(self):
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def _take(self):
        c = self.text[self.pos]
        self.pos += 1
        if c == "\n":
            self.line += 1
        return c

    def statements(self):
        words = []
        while self.pos < len(self.text):
            c = self._peek()
            if c == "\n" or c == ";":
                self._take()
                if words:
                    yield words
                    words = []
            elif c in " \t\r\f\v":
                self._take()
            elif c == "#":
                while self._peek() not in ("", "\n"):
                    self._take()
            else:
                word = self._word()
                if word is not None:
                    words.append(word)
        if words:
            yield words

    def _word(self):
        start = self.line
        out = []
        quoted = False
        while True:
            c = self._peek()
            if c == "" or c in " \t\r\f\v\n;#":
                break
            self._take()
            if c == "'":
                quoted = True
                while True:
                    q = self._peek()
                    if q == "":
                        raise ParseError(start, "unterminated '")
                    self._take()
                    if q == "'":
                        break
                    out.append(q)
            elif c == '"':
                quoted = True
                while True:
                    q = self._peek()
                    if q == "":
                        raise ParseError(start, 'unterminated "')
                    self._take()
                    if q == '"':
                        break
                    if q == "\\":
                        e = self._peek()
                        if e == "":
                            raise ParseError(start, 'unterminated "')
                        self._take()
                        if e != "\n":
                            out.append(e)
                    else:
                        out.append(q)
            elif c == "\\":
                e = self._peek()
                if e != "":
                    self._take()
                    if e != "\n":
                        out.append(e)
            else:
                out.append(c)
        if not out and not quoted:
            return None  # a bare line continuation
        return (start, "".join(out))


def parse(text, name):
    """Reads a package from UCI text; raises ParseError."""
    pkg = Package(name)
    section = None
    for words in _Lexer(text).statements():
        line, keyword = words[0]
        args = [w for _, w in words[1:]]
        if keyword == "package":
            if len(args) != 1:
                raise ParseError(line, "package needs one name")
            section = None
        elif keyword == "config":
            if not 1 <= len(args) <= 2:
                raise ParseError(line, "config needs a type and at most one name")
            type_ = args[0]
            if not valid_type(type_):
                raise ParseError(line, "invalid section type %r" % type_)
            sname = args[1] if len(args) == 2 and args[1] != "" else None
            if sname is None:
                section = Section(type_, None, True)  # named below, once its options are known
                pkg.sections.append(section)
            elif not valid_name(sname):
                raise ParseError(line, "invalid section name %r" % sname)
            else:
                # A repeated name continues the earlier section, as uci does.
                section = pkg.find(sname)
                if section is None:
                    section = pkg.add_section(type_, sname)
                else:
                    section.type = type_
        elif keyword in ("option", "list"):
            if section is None:
                raise ParseError(line, keyword + " outside a section")
            if len(args) != 2:
                raise ParseError(line, keyword + " needs a name and a value")
            oname, value = args
            if not valid_name(oname):
                raise ParseError(line, "invalid option name %r" % oname)
            if keyword == "option":
                if value == "":
                    section.options.pop(oname, None)  # as uci reads it: no such option
                else:
                    section.options[oname] = value
            else:
                old = section.options.get(oname)
                if old is None:
                    section.options[oname] = [value]
                elif isinstance(old, list):
                    old.append(value)
                else:
                    section.options[oname] = [old, value]
        else:
            raise ParseError(line, "unknown statement %r" % keyword)
    for s in pkg.sections:
        if s.anonymous:
            s.name = pkg._anonymous_name(s)
    return pkg


# --- writing -------------------------------------------------------------------------------

def _quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def dumps(pkg):
    """UCI text of a package, laid out as uci commit writes it."""
    out = []
    for s in pkg.sections:
        type_ = s.type if _BARE_TYPE.match(s.type) else _quote(s.type)
        out.append("\nconfig " + type_ + ("" if s.anonymous else " " + _quote(s.name)) + "\n")
        for name, value in s.options.items():
            if isinstance(value, list):
                for v in value:
                    out.append("\tlist %s %s\n" % (name, _quote(v)))
            else:
                out.append("\toption %s %s\n" % (name, _quote(value)))
    out.append("\n")
    return "".join(out)
