# Reads the chooser's window as a screen reader does, over AT-SPI, and fails when a control has
# no name, a name with a raw mnemonic mark, or when an expired certificate is not announced as
# unavailable. With --rows it only prints what the list says it is for, then its rows in order.
#   python3 accessible_names.py TITLE [--rows]
import sys
import time

import gi

gi.require_version('Atspi', '2.0')
from gi.repository import Atspi  # noqa: E402

CONTROLS = {'push button', 'list', 'list item', 'scroll pane', 'text', 'check box', 'combo box'}


def find_window(title):
    for _ in range(300):
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is None or app.get_name() != 'npcorvane-chooser':
                continue
            for j in range(app.get_child_count()):
                frame = app.get_child_at_index(j)
                if frame is not None and frame.get_name() == title:
                    return frame
        time.sleep(0.1)
    return None


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def main(title):
    window = find_window(title)
    if window is None:
        print('the chooser window is not on the accessibility bus')
        return 1
    faults, controls = [], 0
    for node in walk(window):
        role, name = node.get_role_name(), node.get_name() or ''
        states = node.get_state_set()
        if role not in CONTROLS and not states.contains(Atspi.StateType.FOCUSABLE):
            continue
        controls += 1
        print(f'{role}: {name}')
        if not name.strip():
            faults.append(f'a {role} has no accessible name')
        elif name.count(' ') % 2 == 1 and name[:len(name) // 2] == name[len(name) // 2 + 1:]:
            faults.append(f'the {role} "{name}" says its name twice')
        elif '_' in name:
            faults.append(f'the {role} "{name}" reads out a mnemonic mark')
        if role == 'list item' and ('Expired' in name) == states.contains(Atspi.StateType.SENSITIVE):
            faults.append(f'the list item "{name}" is announced as {"available" if "Expired" in name else "unavailable"}')
    if controls < 6:
        faults.append(f'only {controls} controls are on the accessibility bus')
    for fault in faults:
        print(fault)
    return 1 if faults else 0


def rows(title):
    window = find_window(title)
    if window is None:
        print('the chooser window is not on the accessibility bus')
        return 1
    # Without the marks that isolate each inserted text's direction.
    plain = {ord('\u2068'): None, ord('\u2069'): None}
    for node in walk(window):
        if node.get_role_name() == 'list':
            print((node.get_description() or '').translate(plain))
        elif node.get_role_name() == 'list item':
            print((node.get_name() or '').translate(plain))
    return 0


if __name__ == '__main__':
    sys.exit(rows(sys.argv[1]) if sys.argv[2:] == ['--rows'] else main(sys.argv[1]))
