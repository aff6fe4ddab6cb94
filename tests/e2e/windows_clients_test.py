"""End to end under Wine: the Windows build in console mode and the Windows
HTTP clients that fetch packages on Windows machines: WinHTTP, the background
transfer service (BITS) and MSXML's DOMDocument, run as small client
programs of our own (tests/e2e/clients) in the same Wine prefix.

The prefix is this test's own (VELMORA_E2E_CLIENTS_WINEPREFIX, by default
e2e-clients-wineprefix next to the program), with a Wine server that did not
boot it: BITS does not start in the server that ran wineboot. Every client's
output goes to a file (Wine's background processes keep a pipe open). The
programs run in the C.UTF-8 locale: Wine reads file names as UTF-8 there,
and its ANSI code page is 1252 (a locale the system does not have would make
Wine read file names as ASCII).

Set by ctest: VELMORA_PROGRAM, VELMORA_WINE=1, VELMORA_WINHTTP_FETCH,
VELMORA_BITS_DOWNLOAD, VELMORA_MSXML_LIST.
"""
import os
import subprocess
import tempfile
import unittest

from velmoratest import harness, temp_folder, write_files
from velmoratest.harness import Connection, Server
from velmoratest.wine import prefix_server_under, winpath

WINHTTP = os.environ.get("VELMORA_WINHTTP_FETCH", "")
BITS = os.environ.get("VELMORA_BITS_DOWNLOAD", "")
MSXML = os.environ.get("VELMORA_MSXML_LIST", "")
PREFIX = os.environ.get("VELMORA_E2E_CLIENTS_WINEPREFIX") or os.path.join(
    os.path.dirname(os.path.abspath(harness.PROGRAM or ".")), "e2e-clients-wineprefix")

PACKAGE = bytes((i * 13 + 5) % 256 for i in range(300_000))
PACKAGES = {"plus+sign.bin": PACKAGE, "one.bin": PACKAGE, "names/café.txt": b"cafe", "names/日本.txt": b"nihon",
            "ascii/a.zip": b"a"}
DECLARATION = b'<?xml version="1.0" encoding="windows-1252"?>'


@unittest.skipUnless(harness.UNDER_WINE, "the Windows build and Windows clients under Wine")
class WindowsClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        assert harness.PROGRAM and WINHTTP and BITS and MSXML, "VELMORA_PROGRAM and the client programs"
        cls.root = temp_folder(cls, "velmora-e2e-clients-")
        cls.packages = write_files(os.path.join(cls.root, "packages"), PACKAGES)
        cls.env = dict(prefix_server_under(cls, PREFIX, None), LC_ALL="C.UTF-8")
        cls.server = cls.start()

    @classmethod
    def start(cls, *options):
        server = Server(cls.packages, extra=options, env=cls.env)
        cls.addClassCleanup(server.kill)
        server.wait_until_listening()
        return server

    def url(self, path, server=None):
        return f"http://127.0.0.1:{(server or self.server).port}/packages/{path}"

    def client(self, program, *args, timeout=180):
        """Runs a client program in the prefix: (exit status, output, error output)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["timeout", "--kill-after=10", str(timeout), "wine", program, *args],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=self.env)
            text = lambda f: (f.seek(0), f.read())[1].decode("utf-8", "replace").replace("\r\n", "\n")
            return result.returncode, text(out), text(err)

    def test_winhttp_and_bits_fetch_a_package_with_a_plus_in_its_name(self):
        for name, program, command in [("WinHTTP", WINHTTP, ["get"]), ("BITS", BITS, [])]:
            with self.subTest(name):
                target = os.path.join(self.root, name + ".bin")
                code, output, err = self.client(program, *command, self.url("plus+sign.bin"), winpath(target))
                self.assertEqual(code, 0, output + err)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), PACKAGE, output)

    def test_msxml_reads_a_listing_of_names_beyond_ascii(self):
        c = Connection(self.server.port)
        _, headers, _, body = c.request("GET /packages/names/ListFolderContents.asp HTTP/1.1")
        self.assertEqual(int(headers["Content-Length"]), len(body))
        # é is in code page 1252, 日本 only as references.
        self.assertTrue(body.startswith(DECLARATION + b'<FileIndex><Folder Name="names">'), body)
        self.assertIn(b'<File Name="caf\xe9.txt" />', body)
        self.assertIn(b'<File Name="&#26085;&#26412;.txt" />', body)
        # An all-ASCII listing keeps its bytes.
        _, _, _, body = c.request("GET /packages/ascii/ListFolderContents.asp HTTP/1.1")
        self.assertEqual(body, b'<FileIndex><Folder Name="ascii"><File Name="a.zip" /></Folder></FileIndex>')
        c.close()

        code, output, err = self.client(MSXML, self.url("names/ListFolderContents.asp"))
        self.assertEqual(code, 0, output + err)
        self.assertEqual(sorted(output.splitlines()), ["File: café.txt", "File: 日本.txt"])

    def test_a_name_sent_back_in_the_listings_bytes_is_served(self):
        c = Connection(self.server.port)
        for target in ["/packages/names/caf%E9.txt", "/packages/names/caf\xe9.txt"]:  # escaped, and the raw byte
            with self.subTest(target):
                status, _, _, body = c.request(f"GET {target} HTTP/1.1")
                self.assertEqual((status, body), ("HTTP/1.1 200 OK", b"cafe"))
        c.close()

    def test_winhttp_head_reports_the_size_only_with_headsizes(self):
        for server, size in [(self.server, 0), (self.start("-headsizes"), len(PACKAGE))]:
            with self.subTest(size=size):
                code, output, err = self.client(WINHTTP, "head", self.url("one.bin", server))
                self.assertEqual((code, output), (0, f"status=200 content-length={size}\n"), err)


if __name__ == "__main__":
    unittest.main()
