"""The Windows zip as an administrator meets it: unzipped, the .exe carries
the version in its version resource and serves a package under Wine."""
import os
import struct
import subprocess
import unittest

from velmoratest import temp_folder, write_files
from velmoratest.packages import build_package

VERSION = os.environ["VELMORA_VERSION"]
FOLDER = f"VelmoraService-{VERSION}-win64"


def version_resource(exe):
    """(file version, product version) of the fixed part of the version
    resource, and the texts of its string table, read from the file."""
    data = open(exe, "rb").read()
    start = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    assert start > 0, "no version resource"
    fixed = data.index(struct.pack("<I", 0xFEEF04BD), start)
    _, _, fms, fls, pms, pls = struct.unpack_from("<6I", data, fixed)
    as_text = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"  # noqa: E731
    texts = {}
    for key in ("FileVersion", "ProductVersion", "ProductName", "CompanyName"):
        at = data.index((key + "\0").encode("utf-16-le"), fixed) + 2 * (len(key) + 1)
        at = (at + 3) & ~3  # values start on a 32-bit boundary
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        texts[key] = data[at:end].decode("utf-16-le")
    return as_text(fms, fls), as_text(pms, pls), texts


class WindowsZipTest(unittest.TestCase):
    def setUp(self):
        self.out = temp_folder(self, "velmora-zip-")

    def test_unzipped_program_has_its_version_and_serves(self):
        archive = build_package(self.out, ".zip")
        self.assertEqual(os.path.basename(archive), FOLDER + ".zip")
        subprocess.run(["unzip", "-q", archive, "-d", self.out], check=True)
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, FOLDER))),
                         ["LICENSE", "README.md", "VelmoraService.exe"])
        exe = os.path.join(self.out, FOLDER, "VelmoraService.exe")

        file_version, product_version, texts = version_resource(exe)
        self.assertEqual((file_version, product_version), (VERSION + ".0", VERSION + ".0"))
        self.assertEqual(texts, {"FileVersion": VERSION, "ProductVersion": VERSION,
                                 "ProductName": "Harbrook Velmora Service", "CompanyName": "Harbrook"})

        # The harness runs VELMORA_PROGRAM under Wine (read when it is imported): here the unzipped copy.
        os.environ.update(VELMORA_PROGRAM=exe, VELMORA_WINE="1")
        from velmoratest.harness import Connection, Server

        packages = write_files(os.path.join(self.out, "packages"), {"setup.msi": b"zipped program's package"})
        server = Server(packages, log_file=os.path.join(self.out, "velmora.log"))
        try:
            server.wait_until_listening()
            c = Connection(server.port)
            status, _, _, body = c.request("GET /packages/setup.msi HTTP/1.1")
            c.close()
            self.assertEqual((status, body), ("HTTP/1.1 200 OK", b"zipped program's package"))
        finally:
            server.kill()


if __name__ == "__main__":
    unittest.main()
