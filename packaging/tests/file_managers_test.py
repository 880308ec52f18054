#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# The file managers' entries: the Nautilus extension's presets reader without Nautilus, the image
# types of every entry, and desktop-file-validate (skipped where the tool is missing).
import os
import shutil
import subprocess
import sys
import tempfile
import types
import unittest

SOURCE = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
ENTRIES = os.path.join(SOURCE, "packaging", "file-managers")
DESKTOP = os.path.join(SOURCE, "app", "pixmill.desktop")
SERVICE_MENU = os.path.join(ENTRIES, "pixmill-servicemenu.desktop")

# The extension must load where Nautilus is not installed: gi is made unavailable.
sys.modules["gi"] = None
extension = types.ModuleType("pixmill_extension")
with open(os.path.join(ENTRIES, "pixmill.py"), encoding="utf-8") as source:
    exec(compile(source.read(), source.name, "exec"), extension.__dict__)


class FileManagers(unittest.TestCase):
    def test_presets_file_names_the_menu(self):
        self.assertIsNone(extension.Nautilus)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "presets.xml")
        self.assertEqual(extension.preset_names(path), list(extension.DEFAULT_PRESETS))
        stored = ('<?xml version="1.0"?>\n<PRESETS><PRESET name="Print 4000"><RESOLUTION>4000</RESOLUTION>'
                  '</PRESET><preset name="web_1600 größer"/><PRESET/><PRESET name="Print 4000"/><OTHER name="x"/>'
                  '</PRESETS>')
        for text, names in [(stored, ["Print 4000", "web_1600 größer"]), ("<PRESETS/>", []),
                            ("<PRESETS><PRESET name='cut", []), ("<CONFIG><PRESET name='x'/></CONFIG>", [])]:
            with open(path, "w", encoding="utf-8") as file:
                file.write(text)
            self.assertEqual(extension.preset_names(path), names, text)
        self.assertEqual(extension.presets_path({"XDG_CONFIG_HOME": "/x"}), "/x/pixmill/presets.xml")
        self.assertEqual(extension.presets_path({"XDG_CONFIG_HOME": "relative"}),
                         os.path.expanduser("~/.config/pixmill/presets.xml"))

    def test_every_entry_passes_all_selected_files_of_the_types_opened(self):
        def types(path, key):
            with open(path, encoding="utf-8") as file:
                text = file.read()
            self.assertIn("Exec=pixmill %F\n", text, path)
            return set(text.split("\n" + key + "=")[1].split("\n")[0].strip(";").split(";"))

        opened = types(DESKTOP, "MimeType")
        self.assertEqual(types(SERVICE_MENU, "MimeType"), opened)
        self.assertEqual(types(os.path.join(ENTRIES, "pixmill.nemo_action"), "Mimetypes"), opened)
        self.assertEqual(extension.IMAGE_TYPES, opened)

    def test_entries_validate(self):
        if not shutil.which("desktop-file-validate"):
            self.skipTest("desktop-file-validate is not installed")
        for path in (DESKTOP, SERVICE_MENU):
            lines = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True).stdout
            # A KIO service menu is of KDE's type Service, whose keys the freedesktop checker does not know.
            self.assertEqual([line for line in lines.splitlines() if 'the type is "Service"' not in line], [])


if __name__ == "__main__":
    unittest.main()
