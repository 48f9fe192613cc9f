"""libqel_weigher.so through ctypes, with the prototypes of qel_weigher.h.

QEL_WEIGHER_LIB and QEL_VIRTUAL_SCALE name the library and the virtual scale program.
"""
import ctypes
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest


class Qelscale(ctypes.Structure):
    """Opaque: only pointers to it cross the interface."""


QelscalePtr = ctypes.POINTER(Qelscale)
QelMessageHandler = ctypes.CFUNCTYPE(
    None, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p)


def load_library(path):
    lib = ctypes.CDLL(path)
    lib.Qelscale_Create.argtypes = []
    lib.Qelscale_Create.restype = QelscalePtr
    lib.Qelscale_Release.argtypes = [QelscalePtr]
    lib.Qelscale_Release.restype = None
    lib.Qelscale_GetWeight_.argtypes = [QelscalePtr]
    lib.Qelscale_GetWeight_.restype = ctypes.c_char_p
    lib.Qelscale_OpenComPort_.argtypes = [QelscalePtr, ctypes.c_char_p]
    lib.Qelscale_OpenComPort_.restype = ctypes.c_short
    lib.Qel_SetMessageHandler.argtypes = [QelMessageHandler, ctypes.c_void_p]
    lib.Qel_SetMessageHandler.restype = None
    return lib


LIB = load_library(os.environ["QEL_WEIGHER_LIB"])
TRUE = -1
FALSE = 0


class VirtualScale:
    def __init__(self, *args):
        self.process = subprocess.Popen(
            [os.environ["QEL_VIRTUAL_SCALE"], *args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = self.process.stdout.readline().decode().strip()

    def command(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        return self.process.stdout.readline().decode().strip()

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=5)
        self.process.stdin.close()
        self.process.stdout.close()


class MessageRecorder:
    """Installs a handler that records (text, caption, critical, context)."""

    def __init__(self, context=None):
        self.messages = []
        self.context = context
        # ctypes keeps no reference of its own: the callback must outlive its use.
        self.callback = QelMessageHandler(self._receive)
        LIB.Qel_SetMessageHandler(self.callback, context)

    def _receive(self, text, caption, critical, context):
        self.messages.append(
            (text.decode("utf-8"), caption.decode("utf-8"), critical, context))

    def remove(self):
        LIB.Qel_SetMessageHandler(QelMessageHandler(), None)


class CInterfaceTest(unittest.TestCase):
    def setUp(self):
        self.recorder = MessageRecorder(context=0x5CA1E)

    def tearDown(self):
        self.recorder.remove()

    def test_probe_and_readings_from_the_virtual_scale(self):
        scale = VirtualScale("--weight", "3.75")
        self.addCleanup(scale.close)
        driver = LIB.Qelscale_Create()
        self.assertTrue(driver)
        try:
            self.assertEqual(LIB.Qelscale_OpenComPort_(driver, scale.port.encode()), TRUE)
            started = time.monotonic()
            self.assertEqual(LIB.Qelscale_GetWeight_(driver), b"3.750")
            self.assertGreaterEqual(time.monotonic() - started, 0.6)
            self.assertEqual(scale.command("mode negative"), "ok")
            self.assertEqual(LIB.Qelscale_OpenComPort_(driver, scale.port.encode()), TRUE)
            self.assertEqual(LIB.Qelscale_GetWeight_(driver), b"0")
        finally:
            LIB.Qelscale_Release(driver)
        self.assertEqual(self.recorder.messages, [])

    def test_open_failure_reaches_the_handler_as_utf8(self):
        driver = LIB.Qelscale_Create()
        try:
            self.assertEqual(LIB.Qelscale_OpenComPort_(driver, b"COM99"), FALSE)
            self.assertEqual(LIB.Qelscale_GetWeight_(driver), b"0")
        finally:
            LIB.Qelscale_Release(driver)
        expected = ("Не могу открыть порт COM99: 2", "Qel_weigher", 0, 0x5CA1E)
        self.assertEqual(self.recorder.messages, [expected, expected])

    def test_each_thread_starts_on_com1(self):
        # Creation on another thread resets only that thread's port.
        driver = LIB.Qelscale_Create()
        LIB.Qelscale_OpenComPort_(driver, b"/nonexistent/port")
        worker = threading.Thread(target=lambda: LIB.Qelscale_Release(LIB.Qelscale_Create()))
        worker.start()
        worker.join()
        LIB.Qelscale_GetWeight_(driver)
        LIB.Qelscale_Release(driver)
        texts = [m[0] for m in self.recorder.messages]
        self.assertEqual(texts, ["Не могу открыть порт /nonexistent/port: 2"] * 2)

    def test_a_call_inside_a_message_keeps_to_its_own_cycle(self):
        """A host whose message handler runs an event loop (a modal dialog) may call the
        driver again while the message is up. The call it interrupts still closes exactly
        the descriptor it opened and decodes only what its own read returned."""
        healthy = VirtualScale("--weight", "2.5")
        self.addCleanup(healthy.close)
        driver = LIB.Qelscale_Create()
        self.addCleanup(LIB.Qelscale_Release, driver)
        texts, nested = [], []

        def during_message(text, caption, critical, context):
            texts.append(text.decode("utf-8"))
            if len(texts) == 1:
                nested.append(LIB.Qelscale_OpenComPort_(driver, healthy.port.encode()))

        handler = QelMessageHandler(during_message)

        def descriptors():
            return len(os.listdir("/proc/self/fd"))

        # GetWeight_ on a scale that hangs up in the middle of the cycle. Its port is chosen
        # before the scale is there, so that the reading is the first open the scale sees.
        where = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, where, True)
        link = os.path.join(where, "scale")
        self.assertEqual(LIB.Qelscale_OpenComPort_(driver, link.encode()), FALSE)
        vanishing = VirtualScale("--mode", "hangup", "--symlink", link)
        self.addCleanup(vanishing.close)
        LIB.Qel_SetMessageHandler(handler, None)
        before = descriptors()
        # No reading, and as many descriptors open as before.
        self.assertEqual((LIB.Qelscale_GetWeight_(driver), descriptors()), (b"0", before))
        self.assertEqual((texts, nested), (["Ошибка чтения данных из СОМ-порта:5"], [TRUE]))

        # OpenComPort_ on another one.
        texts.clear()
        nested.clear()
        vanishing = VirtualScale("--mode", "hangup")
        self.addCleanup(vanishing.close)
        before = descriptors()
        self.assertEqual((LIB.Qelscale_OpenComPort_(driver, vanishing.port.encode()),
                          descriptors()), (FALSE, before))
        self.assertEqual((texts, nested), (["Ошибка чтения данных из СОМ-порта:5"], [TRUE]))

        # The nested call chose the healthy scale last; it reads as ever.
        self.assertEqual(LIB.Qelscale_GetWeight_(driver), b"2.500")
        self.assertEqual(len(texts), 1)

    def test_null_arguments_do_not_crash(self):
        LIB.Qelscale_Release(None)
        self.assertEqual(LIB.Qelscale_GetWeight_(None), b"0")
        self.assertEqual(LIB.Qelscale_OpenComPort_(None, b"COM1"), FALSE)
        driver = LIB.Qelscale_Create()
        try:
            self.assertEqual(LIB.Qelscale_OpenComPort_(driver, None), FALSE)
        finally:
            LIB.Qelscale_Release(driver)
        self.assertEqual(self.recorder.messages, [])


if __name__ == "__main__":
    unittest.main()
