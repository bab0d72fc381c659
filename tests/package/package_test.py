#!/usr/bin/env python3
"""The Debian packages as a user gets them.

Builds the packages once with CPack (into a temporary folder), reads them with dpkg-deb,
validates the desktop entry and the AppStream metainfo, installs the program with DESTDIR into
a temporary prefix and runs it from there.

Usage: package_test.py --build-dir DIR --version X.Y.Z --app-id ID [--cmake CMAKE] [--cpack CPACK]
                       [unittest options]
"""

import argparse
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import wave
import xml.etree.ElementTree as ET

import numpy as np

ARGS = None


def run(command, **kwargs):
    """Runs a command, returns its completed process; output captured as text."""
    return subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)


def checked(command, **kwargs):
    result = run(command, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} failed ({result.returncode}):\n"
                             f"{result.stdout}\n{result.stderr}")
    return result.stdout


def control_fields(deb):
    """The control file of a .deb as a dict (continuation lines joined)."""
    fields, key = {}, None
    for line in checked(["dpkg-deb", "-f", deb]).splitlines():
        if line.startswith((" ", "\t")) and key:
            fields[key] += "\n" + line.strip()
        elif ":" in line:
            key, value = line.split(":", 1)
            fields[key] = value.strip()
    return fields


def depends_names(depends):
    """Package names of a Depends line, alternatives included, versions dropped."""
    names = set()
    for clause in depends.split(","):
        for alternative in clause.split("|"):
            name = alternative.strip().split(" ")[0].split(":")[0]
            if name:
                names.add(name)
    return names


def package_paths(deb):
    """The paths a .deb installs (dpkg-deb -c), without the leading "./" and folders."""
    paths = set()
    for line in checked(["dpkg-deb", "-c", deb]).splitlines():
        path = line.split(None, 5)[5].split(" -> ")[0]
        if not path.endswith("/"):
            paths.add(path.removeprefix("./"))
    return paths


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    if header[:8] != b"\x89PNG\r\n\x1a\n" or header[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG")
    return struct.unpack(">II", header[16:24])


def write_cadence_wav(path, seconds=40.0, rate=44100):
    """I-IV-V-I in A major, two seconds a chord: bass, triad and three harmonics per note."""
    t = np.arange(int(seconds * rate)) / rate
    signal = np.zeros_like(t)
    tonic = 57  # A3 as a MIDI note
    for index, offset in enumerate([0, 5, 7, 0] * int(seconds / 8 + 1)):
        start, end = int(index * 2.0 * rate), int((index + 1) * 2.0 * rate)
        if start >= len(t):
            break
        root = tonic + offset
        for note in (root - 24, root, root + 4, root + 7):
            f0 = 440.0 * 2 ** ((note - 69) / 12)
            for harmonic in range(1, 5):
                signal[start:end] += np.sin(2 * np.pi * f0 * harmonic * t[start:end]) / harmonic
    pcm = (signal / np.max(np.abs(signal)) * 0.8 * 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = pathlib.Path(ARGS.build_dir).resolve()
        cls.app_id = ARGS.app_id
        cls.version = ARGS.version
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="tonivox-package-")).resolve()
        # A program below the build tree may use the build's resources; this one must not.
        assert not cls.tmp.is_relative_to(cls.build), "the temporary folder lies in the build tree"

        out = cls.tmp / "packages"
        checked([ARGS.cpack, "--config", cls.build / "CPackConfig.cmake", "-B", out])
        arch = checked(["dpkg", "--print-architecture"]).strip()
        cls.program_deb = out / f"tonivox_{cls.version}_{arch}.deb"
        cls.server_deb = out / f"tonivox-keylib-server_{cls.version}_{arch}.deb"
        for deb in (cls.program_deb, cls.server_deb):
            assert deb.is_file(), f"no {deb.name} among {sorted(p.name for p in out.glob('*.deb'))}"
        print(f"package: {cls.program_deb.name} {cls.program_deb.stat().st_size} bytes", file=sys.stderr)

        # The package unpacked, as dpkg would install it, and a DESTDIR install of the component.
        cls.unpacked = cls.tmp / "unpacked"
        checked(["dpkg-deb", "-x", cls.program_deb, cls.unpacked])
        cls.destdir = cls.tmp / "destdir"
        checked([ARGS.cmake, "--install", cls.build, "--component", "tonivox", "--prefix", "/usr"],
                env={**os.environ, "DESTDIR": str(cls.destdir)})
        cls.prefix = cls.destdir / "usr"

        cls.home = cls.tmp / "home"
        cls.home.mkdir()
        cls.env = {**os.environ, "HOME": str(cls.home), "XDG_CONFIG_HOME": str(cls.home / ".config")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def program_files(self):
        return {
            "usr/bin/tonivox",
            "usr/share/tonivox/KeyNetV5.onnx",
            "usr/share/tonivox/keynet_v5_cqt_basis.f32",
            f"usr/share/applications/{self.app_id}.desktop",
            f"usr/share/metainfo/{self.app_id}.metainfo.xml",
            f"usr/share/icons/hicolor/scalable/apps/{self.app_id}.svg",
            f"usr/share/icons/hicolor/48x48/apps/{self.app_id}.png",
            f"usr/share/icons/hicolor/128x128/apps/{self.app_id}.png",
            f"usr/share/icons/hicolor/256x256/apps/{self.app_id}.png",
        }

    def test_program_package_holds_the_program_and_nothing_of_the_server(self):
        fields = control_fields(self.program_deb)
        self.assertEqual(fields["Package"], "tonivox")
        self.assertEqual(fields["Version"], self.version)
        self.assertTrue(fields.get("Maintainer"))
        self.assertTrue(fields["Description"].startswith("Keeps Auto-Tune in the key"))
        paths = package_paths(self.program_deb)
        self.assertLessEqual(self.program_files(), paths)
        self.assertNotIn("usr/bin/tonivox-keylib-server", paths)

    def test_program_depends_on_its_libraries_and_runtime_data(self):
        names = depends_names(control_fields(self.program_deb)["Depends"])
        wanted = {
            "Qt 6": r"libqt6core6",
            "libpulse": r"libpulse0",
            "FFTW": r"libfftw3-single3",
            "Rubber Band": r"librubberband\d+",
            "FFmpeg formats": r"libavformat\d+",
            "FFmpeg codecs": r"libavcodec\d+",
            "FFmpeg resampler": r"libswresample\d+",
            "SQLite": r"libsqlite3-0",
            "libplist": r"libplist-?\d.*",
            "Tesseract": r"libtesseract\d+",
            "Tesseract Chinese data": r"tesseract-ocr-chi-sim",
            "Tesseract English data": r"tesseract-ocr-eng",
            "OpenCV DNN": r"libopencv-dnn\d+.*",
            "CJK font": r"fonts-noto-cjk",
            "QML Controls": r"qml6-module-qtquick-controls",
            "QML Dialogs": r"qml6-module-qtquick-dialogs",
            "SVG": r"libqt6svg6",
        }
        for what, pattern in wanted.items():
            self.assertTrue(any(re.fullmatch(pattern, n) for n in names), f"{what} missing from {sorted(names)}")

    def test_server_package_is_separate(self):
        fields = control_fields(self.server_deb)
        self.assertEqual(fields["Package"], "tonivox-keylib-server")
        self.assertEqual(fields["Version"], self.version)
        self.assertTrue(fields["Description"].startswith("Development key-library server"))
        self.assertEqual(package_paths(self.server_deb), {"usr/bin/tonivox-keylib-server"})
        names = depends_names(fields["Depends"])
        self.assertIn("libsqlite3-0", names)
        self.assertNotIn("fonts-noto-cjk", names)

    def test_package_and_destdir_install_agree(self):
        installed = {str(p.relative_to(self.destdir)) for p in self.destdir.rglob("*") if not p.is_dir()}
        self.assertEqual(installed, package_paths(self.program_deb))

    def test_desktop_entry_is_valid_and_names_the_program(self):
        entry = self.prefix / "share/applications" / f"{self.app_id}.desktop"
        self.assertEqual(desktop_validator_complaints(entry), [])
        keys = dict(line.split("=", 1) for line in entry.read_text().splitlines() if "=" in line)
        self.assertEqual(keys["StartupWMClass"], self.app_id)
        self.assertEqual(keys["Icon"], self.app_id)
        self.assertEqual(keys["SingleMainWindow"], "true")
        self.assertTrue((self.prefix / "bin" / keys["Exec"].split()[0]).is_file())

    def test_metainfo_is_valid_and_carries_this_release(self):
        metainfo = self.prefix / "share/metainfo" / f"{self.app_id}.metainfo.xml"
        result = run(["appstreamcli", "validate", "--no-net", metainfo])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        root = ET.parse(metainfo).getroot()
        self.assertEqual(root.findtext("id"), self.app_id)
        self.assertEqual(root.find("launchable").text, f"{self.app_id}.desktop")
        self.assertEqual(root.find("releases/release").get("version"), self.version)

    def test_icons_are_rendered_at_their_sizes(self):
        for size in (48, 128, 256):
            png = self.prefix / f"share/icons/hicolor/{size}x{size}/apps/{self.app_id}.png"
            self.assertEqual(png_size(png), (size, size))

    def test_installed_programs_find_their_resources(self):
        song = self.tmp / "cadence.wav"
        if not song.exists():
            write_cadence_wav(song)
        for root in (self.prefix, self.unpacked / "usr"):
            with self.subTest(root=str(root)):
                result = run([root / "bin/tonivox", "--keytest-v5", song], env=self.env)
                self.assertEqual(result.returncode, 0, result.stderr)
                # The model and the basis, read from the prefix, hear the cadence's key.
                self.assertRegex(result.stdout, r"cadence\.wav\tkey=A 大调 confidence=")

    def test_version_is_the_package_version(self):
        for root in (self.prefix, self.unpacked / "usr"):
            with self.subTest(root=str(root)):
                result = run([root / "bin/tonivox", "--version"], env=self.env)
                self.assertEqual(result.stdout.strip(), f"Tonivox {self.version}")
        report = self.tmp / "report.txt"
        checked([self.prefix / "bin/tonivox", "--export-diagnostics", report], env=self.env)
        lines = report.read_text(encoding="utf-8").splitlines()
        self.assertIn(f"App 版本：{self.version} (build ?)", lines)
        self.assertIn(f"Bundle ID：{self.app_id}.desktop", lines)


def desktop_validator_complaints(entry):
    """desktop-file-validate's messages about `entry`. A validator older than the 1.5 format
    (Debian 12 ships 0.26) rejects the format's version and its SingleMainWindow key; those two
    messages are dropped, and only when the validator rejects a plain 1.5 entry as well."""
    messages = [line for line in run(["desktop-file-validate", entry]).stdout.splitlines() if line.strip()]
    with tempfile.NamedTemporaryFile("w", suffix=".desktop", delete=False) as probe:
        probe.write("[Desktop Entry]\nType=Application\nVersion=1.5\nName=Probe\nExec=true\n")
    try:
        predates_1_5 = "is not a known version" in run(["desktop-file-validate", probe.name]).stdout
    finally:
        os.unlink(probe.name)
    if predates_1_5:
        stale = ('value "1.5" for key "Version"', 'key "SingleMainWindow"')
        messages = [m for m in messages if not any(s in m for s in stale)]
    return messages


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--app-id", required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack", default="cpack")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
