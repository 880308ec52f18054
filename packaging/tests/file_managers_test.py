#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# The file managers' entries: the Nautilus extension's presets reader without Nautilus, and the
# desktop files checked by desktop-file-validate (skipped where the tool is missing).
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
ENTRIES = os.path.join(SOURCE, "packaging", "file-managers")


def load_extension():
    # The extension must load where Nautilus is not installed: gi is made unavailable.
    sys.modules["gi"] = None
    spec = importlib.util.spec_from_file_location("pixmill_extension", os.path.join(ENTRIES, "pixmill.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class NautilusExtension(unittest.TestCase):
    def test_presets_file_names_the_menu(self):
        extension = load_extension()
        self.assertIsNone(extension.Nautilus)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        cases = [
            (None, list(extension.DEFAULT_PRESETS)),
            ('<?xml version="1.0"?>\n<PRESETS><PRESET name="Print 4000"><RESOLUTION>4000x4000</RESOLUTION>'
             '</PRESET><preset name="web_1600 größer"/><PRESET/><PRESET name="Print 4000"/><OTHER name="x"/>'
             '</PRESETS>', ["Print 4000", "web_1600 größer"]),
            ("<PRESETS></PRESETS>", []),
            ("<PRESETS><PRESET name='cut", []),
            ("<CONFIG><PRESET name='x'/></CONFIG>", []),
        ]
        for text, names in cases:
            path = os.path.join(folder, "presets.xml")
            if text is not None:
                with open(path, "w", encoding="utf-8") as file:
                    file.write(text)
            self.assertEqual(extension.preset_names(path), names, text)
        self.assertEqual(extension.presets_path({"XDG_CONFIG_HOME": "/x"}), "/x/pixmill/presets.xml")
        self.assertEqual(extension.presets_path({"XDG_CONFIG_HOME": "rel"}),
                         os.path.join(os.path.expanduser("~"), ".config", "pixmill", "presets.xml"))
        self.assertEqual(extension.pixmill_command(["/a b.jpg"], "Web 1600"),
                         ["pixmill", "--preset", "Web 1600", "--", "/a b.jpg"])


class DesktopFiles(unittest.TestCase):
    def validate(self, path):
        if not shutil.which("desktop-file-validate"):
            self.skipTest("desktop-file-validate is not installed")
        result = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
        # A KIO service menu is of KDE's type Service, whose keys the freedesktop checker does not know.
        return [line for line in result.stdout.splitlines() if 'the type is "Service"' not in line]

    def test_entries_validate(self):
        for path in (os.path.join(SOURCE, "app", "pixmill.desktop"), os.path.join(ENTRIES, "pixmill-servicemenu.desktop")):
            self.assertEqual(self.validate(path), [], path)

    def test_every_entry_passes_all_selected_files_of_the_types_opened(self):
        def types(path, key):
            with open(path, encoding="utf-8") as file:
                text = file.read()
            self.assertIn("Exec=pixmill %F\n", text, path)
            return set(text.split("\n" + key + "=")[1].split("\n")[0].strip(";").split(";"))

        opened = types(os.path.join(SOURCE, "app", "pixmill.desktop"), "MimeType")
        self.assertEqual(types(os.path.join(ENTRIES, "pixmill-servicemenu.desktop"), "MimeType"), opened)
        self.assertEqual(types(os.path.join(ENTRIES, "pixmill.nemo_action"), "Mimetypes"), opened)
        self.assertEqual(load_extension().IMAGE_TYPES, opened)


if __name__ == "__main__":
    unittest.main()
