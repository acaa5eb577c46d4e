"""The platform's config folder of a run: the router's default packages with host overrides.

An override is (command, "config.section[.option]", value), as the uci command line takes
them: "set" of an option ("" deletes it) or of a section's type (creating the section), and
"add_list" of one list element.
"""

import os
import shutil

from component import StartError
import uci_text


def parse_expression(command, text):
    """"halvex.sys.url=https://x" -> (command, "halvex.sys.url", "https://x")."""
    key, sep, value = text.partition("=")
    if not sep:
        raise ValueError("expected config.section[.option]=value, got %r" % text)
    return (command, key, value)


def seed(defaults, config_dir, overrides):
    os.makedirs(config_dir, exist_ok=True)
    for name in sorted(os.listdir(defaults)):
        shutil.copyfile(os.path.join(defaults, name), os.path.join(config_dir, name))
    packages = {}
    for command, key, value in overrides:
        _apply(packages, config_dir, command, key, value)
    for name, package in packages.items():
        with open(os.path.join(config_dir, name), "w") as f:
            f.write(uci_text.dumps(package))


def _load(packages, config_dir, name):
    if name not in packages:
        if not uci_text.valid_package(name):
            raise StartError("bad config name %r" % name)
        path = os.path.join(config_dir, name)
        text = ""
        if os.path.exists(path):
            with open(path) as f:
                text = f.read()
        try:
            packages[name] = uci_text.parse(text, name)
        except uci_text.ParseError as e:
            raise StartError("cannot parse %s: %s" % (path, e))
    return packages[name]


def _apply(packages, config_dir, command, key, value):
    parts = key.split(".")
    if command not in ("set", "add_list") or len(parts) not in (2, 3) or (
            command == "add_list" and len(parts) != 3):
        raise StartError("bad setting: %s %s=%s" % (command, key, value))
    package = _load(packages, config_dir, parts[0])
    section = package.find(parts[1])
    if len(parts) == 2:
        if not uci_text.valid_name(parts[1]) or not uci_text.valid_type(value):
            raise StartError("bad section: %s=%s" % (key, value))
        if section is None:
            package.add_section(value, parts[1])
        else:
            section.type = value
        return
    option = parts[2]
    if section is None:
        raise StartError("no section %s.%s for %s" % (parts[0], parts[1], key))
    if not uci_text.valid_name(option) or not uci_text.valid_value(value):
        raise StartError("bad setting: %s=%s" % (key, value))
    if command == "add_list":
        old = section.options.get(option)
        old = old if isinstance(old, list) else [] if old is None else [old]
        section.options[option] = old + [value]
    elif value == "":
        section.options.pop(option, None)
    else:
        section.options[option] = value
