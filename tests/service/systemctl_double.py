"""A test double of systemctl for the install and control tests (no systemd
runs on the test machines). It answers the commands the POSIX service
manager runs, keeps the units' states in a JSON file, and logs every call.

Environment:
  VELMORA_SYSTEMCTL_DOUBLE_DIR  holds calls.log (one line per call: the
                                arguments joined by spaces), state.json and
                                reloads.json (for each daemon-reload, the
                                unit files it would load: {unit: [inode, text]})
  VELMORA_SYSTEMD_UNIT_DIR      the unit folder (enable and disable keep
                                multi-user.target.wants/ there, as systemctl does)

state.json: {"units": {"<unit>": {"ActiveState": ..., "ExecMainStatus": ..., ...}},
             "after_start": "active" or {property: value, ...}, "after_stop": "inactive",
             "failures": {"<command>": [exit status, "error output"]}}
A unit without an entry is inactive. start moves a unit to "after_start",
stop to "after_stop" (as systemd does once the queued job has run); a
dictionary there sets several properties at once (a failed start: ActiveState,
Result, ExecMainStatus). show prints the properties asked for with
--property=, each unit's own value or systemd's value for a unit that never ran.
"""
import json
import os
import sys

DIR = os.environ["VELMORA_SYSTEMCTL_DOUBLE_DIR"]
UNIT_DIR = os.environ.get("VELMORA_SYSTEMD_UNIT_DIR", "/etc/systemd/system")
STATE = os.path.join(DIR, "state.json")


def load():
    try:
        with open(STATE, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def save(state):
    with open(STATE + ".new", "w", encoding="utf-8") as f:
        json.dump(state, f)
    os.replace(STATE + ".new", STATE)


def unit_file(unit):
    return os.path.join(UNIT_DIR, unit)


def record_reload():
    """Appends the unit files that a reload would load to reloads.json."""
    loaded = {}
    for name in sorted(os.listdir(UNIT_DIR)):
        path = unit_file(name)
        if name.endswith(".service") and os.path.isfile(path):
            with open(path, encoding="utf-8") as f:
                loaded[name] = [os.stat(path).st_ino, f.read()]
    path = os.path.join(DIR, "reloads.json")
    reloads = []
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            reloads = json.load(f)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(reloads + [loaded], f)


def main(args):
    with open(os.path.join(DIR, "calls.log"), "a", encoding="utf-8") as log:
        log.write(" ".join(args) + "\n")
    state = load()
    units = state.setdefault("units", {})
    words = [a for a in args if not a.startswith("--")]
    command = words[0] if words else ""
    failure = state.get("failures", {}).get(command)
    if failure:
        sys.stderr.write(failure[1])
        return failure[0]

    if command == "daemon-reload":
        record_reload()
        return 0
    if command in ("enable", "disable"):
        unit = words[1]
        if not os.path.isfile(unit_file(unit)):
            sys.stderr.write(f"Failed to {command} unit: Unit file {unit} does not exist.\n")
            return 1
        wants = os.path.join(UNIT_DIR, "multi-user.target.wants")
        link = os.path.join(wants, unit)
        if command == "enable":
            os.makedirs(wants, exist_ok=True)
            if not os.path.islink(link):
                os.symlink(unit_file(unit), link)
                sys.stderr.write(f"Created symlink {link} \u2192 {unit_file(unit)}.\n")
        elif os.path.islink(link):
            os.remove(link)
            sys.stderr.write(f"Removed \"{link}\".\n")
        return 0
    if command in ("start", "stop"):
        # Every unit named (a socket unit with its service), all or none.
        for unit in words[1:]:
            loaded = unit in units and units[unit].get("ActiveState", "inactive") != "inactive"
            if not os.path.isfile(unit_file(unit)) and not loaded:
                verb = "not found" if command == "start" else "not loaded"
                sys.stderr.write(f"Failed to {command} {unit}: Unit {unit} {verb}.\n")
                return 5
        after = state.get("after_" + command, "active" if command == "start" else "inactive")
        for unit in words[1:]:
            units[unit] = dict(after) if isinstance(after, dict) else {"ActiveState": after}
        save(state)
        return 0
    if command == "show":
        asked = next((a.split("=", 1)[1].split(",") for a in args if a.startswith("--property=")),
                     ["Id", "ActiveState", "ExecMainStatus"])
        defaults = {"ActiveState": "inactive", "SubState": "dead", "Result": "success", "ExecMainStatus": "0",
                    "StatusText": "", "Job": ""}
        blocks = []
        for unit in words[1:]:
            entry = dict(defaults, Id=unit, **units.get(unit, {}))
            blocks.append("".join(f"{name}={entry.get(name, '')}\n" for name in asked))
        sys.stdout.write("\n".join(blocks))
        return 0
    sys.stderr.write(f"Unknown command verb {command}.\n")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
