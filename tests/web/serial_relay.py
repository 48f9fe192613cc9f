"""A WebSocket relay from a browser's stand-in SerialPort to a serial device on this machine.

Each connection is one open() of the port: its query gives the line (baudRate, dataBits,
parity, stopBits, flowControl), which the relay sets on the device with termios the way the
driver's POSIX back end sets a real port, and sends the text message "opened"; then bytes go
both ways as binary messages until either side ends. A device that fails (the virtual scale's
pseudo-terminal vanishing) ends the connection with code 1011, which the stand-in reports as a
lost device.

Devices are named when the relay is made (name -> path): a page picks one by name and never
passes a path. Loopback only.
"""
import asyncio
import errno
import fcntl
import os
import termios
import threading
import urllib.parse

import websockets
import websockets.server

SPEEDS = {1200: termios.B1200, 2400: termios.B2400, 4800: termios.B4800, 9600: termios.B9600,
          19200: termios.B19200, 38400: termios.B38400, 57600: termios.B57600,
          115200: termios.B115200}
PARITIES = {"none": 0, "even": termios.PARENB, "odd": termios.PARENB | termios.PARODD}
IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED, CC = range(7)
DEVICE_LOST = 1011


class LineRefused(Exception):
    pass


def parse_line(query):
    """The line an open() asked for, as (baud, data bits, parity, stop bits, flow control)."""
    fields = urllib.parse.parse_qs(query)
    get = lambda name, default: fields.get(name, [default])[0]  # noqa: E731
    try:
        line = (int(get("baudRate", "0")), int(get("dataBits", "8")), get("parity", "none"),
                int(get("stopBits", "1")), get("flowControl", "none"))
    except ValueError as error:
        raise LineRefused("bad line: %s" % error) from None
    baud, data_bits, parity, stop_bits, flow = line
    if (baud not in SPEEDS or data_bits not in (7, 8) or parity not in PARITIES
            or stop_bits not in (1, 2) or flow not in ("none", "hardware")):
        raise LineRefused("unsupported line %r" % (line,))
    return line


def line_attributes(attributes, line):
    """`attributes` (tcgetattr's list) made raw and set to `line`."""
    baud, data_bits, parity, stop_bits, flow = line
    tio = list(attributes)
    tio[CC] = list(tio[CC])
    # cfmakeraw
    tio[IFLAG] &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP
                    | termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON)
    tio[OFLAG] &= ~termios.OPOST
    tio[LFLAG] &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG
                    | termios.IEXTEN)
    tio[ISPEED] = tio[OSPEED] = SPEEDS[baud]
    tio[CFLAG] &= ~(termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB
                    | termios.CRTSCTS | termios.HUPCL)
    tio[CFLAG] |= (termios.CS7 if data_bits == 7 else termios.CS8) | PARITIES[parity]
    tio[CFLAG] |= (termios.CSTOPB if stop_bits == 2 else 0) | termios.CLOCAL | termios.CREAD
    tio[CFLAG] |= termios.CRTSCTS if flow == "hardware" else 0
    # A 7-bit line strips the eighth bit; a parity line checks it. The pseudo-terminal keeps
    # these input flags (it drops CSIZE and PARENB), and the virtual scale reads the line
    # from them.
    tio[IFLAG] &= ~(termios.INPCK | termios.ISTRIP | termios.IGNPAR | termios.PARMRK
                    | termios.IXOFF | termios.IXANY)
    tio[IFLAG] |= (termios.ISTRIP if data_bits < 8 else 0) | (
        termios.INPCK if parity != "none" else 0)
    tio[CC][termios.VMIN] = 1
    tio[CC][termios.VTIME] = 0
    return tio


def apply_line(fd, line):
    """Sets `line` on `fd`. A pseudo-terminal forces CS8 and clears PARENB, and the C library
    may then report EINVAL although every other field was taken: that counts as set."""
    wanted = line_attributes(termios.tcgetattr(fd), line)
    try:
        termios.tcsetattr(fd, termios.TCSANOW, wanted)
        return
    except termios.error as error:
        if error.args[0] != errno.EINVAL:
            raise
    now = termios.tcgetattr(fd)
    dropped = termios.CSIZE | termios.PARENB
    taken = (now[:CFLAG] == wanted[:CFLAG] and now[LFLAG:CC] == wanted[LFLAG:CC]
             and now[CFLAG] & ~dropped == wanted[CFLAG] & ~dropped)
    if not taken:
        raise termios.error(errno.EINVAL, "the device refused the line")


class SerialRelay:
    """The relay on a free loopback port, in a thread of its own. `lines` lists every line
    opened, as (device name, line); `drop(name)` ends that device's connections as if it
    had been unplugged."""

    def __init__(self, devices):
        self.devices = dict(devices)
        self.lines = []
        self._connections = {}  # name -> set of websockets
        self._locks = {}
        self._loop = asyncio.new_event_loop()
        started = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(started,), daemon=True)
        self._thread.start()
        started.wait(10)
        self.origin = "ws://127.0.0.1:%d" % self.port

    def url(self, name):
        return "%s/%s" % (self.origin, urllib.parse.quote(name))

    def _run(self, started):
        asyncio.set_event_loop(self._loop)

        async def serve():
            self._server = await websockets.server.serve(self._handle, "127.0.0.1", 0,
                                                         max_size=1 << 16)
            self.port = self._server.sockets[0].getsockname()[1]
            started.set()
            await self._server.wait_closed()

        self._loop.run_until_complete(serve())

    async def _handle(self, socket, _path=None):
        target = urllib.parse.urlsplit(socket.path)
        name = urllib.parse.unquote(target.path.lstrip("/"))
        if name not in self.devices:
            await socket.close(4004, "no such device")
            return
        try:
            line = parse_line(target.query)
        except LineRefused as error:
            await socket.close(4000, str(error))
            return
        # One open at a time per device, as a real port's exclusive open. The page may see
        # the last connection closed a moment before the relay let the device go, so a new
        # one waits that moment before it counts the device as busy.
        lock = self._locks.setdefault(name, asyncio.Lock())
        try:
            await asyncio.wait_for(lock.acquire(), 2)
        except asyncio.TimeoutError:
            await socket.close(4003, "device busy")
            return
        try:
            await self._serve_device(socket, name, line)
        finally:
            lock.release()

    async def _serve_device(self, socket, name, line):
        try:
            fd = os.open(self.devices[name], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as error:
            await socket.close(4001, "open failed: %s" % error.strerror)
            return
        try:
            apply_line(fd, line)
            termios.tcflush(fd, termios.TCIFLUSH)
            self.lines.append((name, line))
            self._connections.setdefault(name, set()).add(socket)
            await socket.send("opened")  # the device is ready: open() may resolve
            await self._relay(socket, fd)
        except termios.error as error:
            await socket.close(4002, "line refused: %s" % (error.args[-1],))
        finally:
            self._connections.get(name, set()).discard(socket)
            os.close(fd)

    async def _relay(self, socket, fd):
        loop = asyncio.get_running_loop()
        incoming = asyncio.Queue()

        def readable():
            try:
                incoming.put_nowait(os.read(fd, 4096) or None)
            except BlockingIOError:
                pass
            except OSError:  # EIO: the other end of the pseudo-terminal is gone
                incoming.put_nowait(None)

        loop.add_reader(fd, readable)
        to_page = asyncio.ensure_future(self._to_page(socket, incoming))
        to_device = asyncio.ensure_future(self._to_device(socket, fd))
        try:
            done, _ = await asyncio.wait({to_page, to_device},
                                         return_when=asyncio.FIRST_COMPLETED)
        finally:
            loop.remove_reader(fd)
            to_page.cancel()
            to_device.cancel()
        if any(not task.cancelled() and task.result() == "lost" for task in done):
            await socket.close(DEVICE_LOST, "device lost")

    @staticmethod
    async def _to_page(socket, incoming):
        while True:
            data = await incoming.get()
            if data is None:
                return "lost"
            try:
                await socket.send(data)
            except websockets.ConnectionClosed:
                return "closed"

    @staticmethod
    async def _to_device(socket, fd):
        try:
            async for message in socket:
                data = message.encode() if isinstance(message, str) else message
                while data:
                    try:
                        data = data[os.write(fd, data):]
                    except BlockingIOError:
                        await asyncio.sleep(0.005)
        except websockets.ConnectionClosed:
            pass
        except OSError:  # the device went away under a write
            return "lost"
        return "closed"

    def drop(self, name):
        """Ends the device's open connections abruptly: the page sees the device lost."""
        def abort():
            for socket in list(self._connections.get(name, ())):
                socket.transport.abort()
        self._loop.call_soon_threadsafe(abort)

    def close(self):
        def stop():
            self._server.close()
        self._loop.call_soon_threadsafe(stop)
        self._thread.join(10)
        if not self._thread.is_alive():
            self._loop.close()
