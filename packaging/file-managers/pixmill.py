# SPDX-License-Identifier: MIT
# Nautilus's "Resize with Pixmill" entry and its submenu of the user's presets (python3-nautilus).
#
# Nautilus loads this file from /usr/share/nautilus-python/extensions. The presets are read again
# each time the menu opens, so a preset saved in Pixmill shows up at once.
import os
import subprocess
import xml.etree.ElementTree as ElementTree

# What Pixmill ships before the user saves presets of their own.
DEFAULT_PRESETS = ("Web 1600", "Email 1024", "Thumbnails 320", "Same size, no location")

# The types of the files Pixmill takes.
IMAGE_TYPES = frozenset((
    "image/jpeg", "image/png", "image/gif", "image/bmp", "image/x-bmp", "image/heic", "image/heif",
    "image/avif", "image/webp", "image/tiff", "image/jxl"))


def presets_path(environ=os.environ):
    """The user's presets file: $XDG_CONFIG_HOME/pixmill/presets.xml, else ~/.config/pixmill."""
    config = environ.get("XDG_CONFIG_HOME", "")
    if not config.startswith("/"):
        config = os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "pixmill", "presets.xml")


def preset_names(path):
    """The names of the presets in `path` in their stored order: the shipped defaults when the file
    does not exist, none when it cannot be read (a damaged file names no preset for certain)."""
    try:
        root = ElementTree.parse(path).getroot()
    except FileNotFoundError:
        return list(DEFAULT_PRESETS)
    except (OSError, ElementTree.ParseError):
        return []
    if root.tag.upper() != "PRESETS":
        return []
    names = []
    for preset in root:
        name = preset.get("name", "")
        if preset.tag.upper() == "PRESET" and name and name not in names:
            names.append(name)
    return names


def pixmill_command(paths, preset=None):
    """The command that hands `paths` to the Pixmill window (it starts one when none is open)."""
    return ["pixmill"] + (["--preset", preset] if preset else []) + ["--"] + list(paths)


def launch(command):
    subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)


try:
    import gi
    try:
        gi.require_version("Nautilus", "4.0")
    except ValueError:
        gi.require_version("Nautilus", "3.0")
    from gi.repository import GObject, Nautilus
except (ImportError, ValueError):
    # Outside Nautilus (its tests, a machine without python3-nautilus) only the helpers above exist.
    Nautilus = None


def local_image_paths(files):
    """The paths of the selected files when every one is a local image, else none."""
    paths = []
    for file in files:
        location = file.get_location()
        path = location.get_path() if location is not None else None
        if path is None or file.get_mime_type() not in IMAGE_TYPES:
            return []
        paths.append(path)
    return paths


if Nautilus is not None:

    class PixmillMenuProvider(GObject.GObject, Nautilus.MenuProvider):
        def get_file_items(self, *args):
            # Nautilus 43 and later pass (files); older versions (window, files).
            paths = local_image_paths(args[-1])
            if not paths:
                return []
            resize = Nautilus.MenuItem(name="Pixmill::Resize", label="Resize with Pixmill",
                                       tip="Resize the selected images with Pixmill's current settings")
            resize.connect("activate", self.activated, pixmill_command(paths))
            items = [resize]
            names = preset_names(presets_path())
            if names:
                presets = Nautilus.MenuItem(name="Pixmill::Presets", label="Resize with Pixmill Preset",
                                            tip="Resize the selected images with one of your presets")
                submenu = Nautilus.Menu()
                presets.set_submenu(submenu)
                for index, name in enumerate(names):
                    # A menu label takes "_" as the mark of its access key.
                    item = Nautilus.MenuItem(name="Pixmill::Preset%d" % index, label=name.replace("_", "__"))
                    item.connect("activate", self.activated, pixmill_command(paths, name))
                    submenu.append_item(item)
                items.append(presets)
            return items

        def activated(self, item, command):
            launch(command)
