#!/usr/bin/env python3
"""Checks that the tree follows its layer map.

    common <- client/net <- client/state <- client/sync <- client/shell <- client/ui <- client/app
    overlay, updater and server on common alone (the server never on the client)

Every #include "..." of a source file, and every library a CMakeLists.txt
names, must belong to the file's own module or to one it may build on. A
module's tests follow its rule; tests/ (across the deliverables) may use
anything. Prints each crossing and exits 1 when there is one.

Usage: check_layers.py [SOURCE_ROOT]
"""
import os
import re
import sys

CLIENT_LAYERS = ["client/net", "client/state", "client/sync", "client/shell", "client/ui", "client/app"]

# What each module may build on besides itself.
ALLOWED = {"common": set(), "overlay": {"common"}, "updater": {"common"}, "server": {"common"}}
for rank, layer in enumerate(CLIENT_LAYERS):
    ALLOWED[layer] = {"common"} | set(CLIENT_LAYERS[:rank])

# Crossings made on purpose, each with its reason.
EXCEPTIONS = {
    # The overlay's lookup test reads a state file the client's own writer made.
    ("overlay/tests", "client/state"),
}

# The libraries the CMakeLists define, by module.
LIBRARIES = {
    "tavo_portable": "common", "tavo_common": "common",
    "tavo_netcodec": "client/net", "tavo_net": "client/net",
    "tavo_state": "client/state",
    "tavo_meter": "client/sync", "tavo_sync": "client/sync",
    "tavo_shell": "client/shell", "tavo_shell_rules": "client/shell", "tavo_crashhook": "client/shell",
    "tavo_tray_shell": "client/shell", "tavo_tray_probe_reader": "client/shell",
    "tavo_ui_rules": "client/ui", "tavo_tray_resources": "client/ui", "tavo_ui": "client/ui",
    "tavo_gui_driver": "client/ui", "tavo_tray_harness": "client/app",
    "glint_state": "overlay", "Glint": "overlay",
    "tavo_updater_portable": "updater", "tavo_updater_core": "updater",
    "tessel_server_core": "server",
}

SOURCE_ENDINGS = (".h", ".cpp", ".c", ".hpp", ".in")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def module_of(path):
    """The module a path of the tree belongs to, or None outside the map."""
    for layer in CLIENT_LAYERS:
        if path == layer or path.startswith(layer + "/"):
            return layer
    top = path.split("/", 1)[0]
    return top if top in ALLOWED else None


def may_use(source_path, target):
    source = module_of(source_path)
    if source is None or target is None or target == source:
        return True
    if target in ALLOWED[source]:
        return True
    return any(source_path.startswith(prefix + "/") and target == allowed for prefix, allowed in EXCEPTIONS)


def check_includes(relative, text):
    for included in INCLUDE.findall(text):
        target = module_of(included) if "/" in included else None
        if not may_use(relative, target):
            yield "%s includes %s (%s may not build on %s)" % (relative, included, module_of(relative), target)


def check_libraries(relative, text):
    # Comments name libraries without linking them.
    code = re.sub(r"#.*", "", text)
    for word in sorted(set(WORD.findall(code))):
        target = LIBRARIES.get(word)
        if target is not None and not may_use(relative, target):
            yield "%s links %s (%s may not build on %s)" % (relative, word, module_of(relative), target)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    crossings = []
    for top in ("common", "client", "overlay", "updater", "server"):
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = sorted(d for d in dirs if not d.startswith("build"))
            for name in sorted(files):
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, root).replace(os.sep, "/")
                if name == "CMakeLists.txt" or name.endswith(".cmake"):
                    check = check_libraries
                elif name.endswith(SOURCE_ENDINGS):
                    check = check_includes
                else:
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    crossings.extend(check(relative, f.read()))
    for line in crossings:
        print(line)
    if crossings:
        print("%d crossing(s) of the layer map" % len(crossings))
        return 1
    print("the layer map holds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
